// Finding the main application and opening it.
#include "WatcherTest.h"

namespace drovix::testing {
namespace {

TEST(LaunchTableTest, OpensTheInstalledAppElseTheBundleFourLevelsAboveTheAgent)
{
    const struct {
        std::optional<AppUrl> installed;
        std::set<std::string> existing;
        std::string transcript;
    } cases[] = {
        {AppUrl{"/Applications/Drovix.app"}, {"/P/Main.app"}, "0s open /Applications/Drovix.app"},
        {std::nullopt, {"/P/Main.app"}, "0s own bundle; 0s open /P/Main.app"},
        {std::nullopt,
         {"/P", "/P/Main.app/Contents"},
         "0s own bundle; 0s DrovixRescue: asked to start Drovix but couldn't find it"},
    };
    for (const auto& c : cases) {
        Scene scene;
        scene.installedUrl = c.installed;
        scene.existingPaths = c.existing;
        scene.watcher->launchMainApp();
        EXPECT_EQ(scene.transcript, c.transcript);
    }
}

using LaunchTest = WatcherTest;

TEST_F(LaunchTest, OpenOutcomeIsLoggedWhenThePlatformReportsItEvenWithTheWatcherGone)
{
    watcher->launchMainApp();
    finishOpens();
    watcher->launchMainApp();
    watcher.reset();
    finishOpens("cannot be opened\nfor a reason");
    EXPECT_THAT(lines, ElementsAre("DrovixRescue: started Drovix",
                                   "DrovixRescue: couldn't start Drovix \u2014 cannot be "
                                   "opened\\nfor a reason"));
}

} // namespace
} // namespace drovix::testing
