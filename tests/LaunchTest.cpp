// Finding the main application and opening it.
#include "WatcherTest.h"

#include <thread>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace drovix::testing {
namespace {

class LaunchTest : public WatcherTest {
protected:
    LaunchTest()
    {
        fake.workspace.installedUrl.reset();
        fake.workspace.ownBundle = AppUrl{"/P/Main.app/Contents/Library/Sub/Agent.app"};
    }
};

TEST_F(LaunchTest, PrefersTheInstalledApplicationAndNeverComputesTheFallback)
{
    fake.workspace.installedUrl = AppUrl{"/Applications/Drovix.app"};
    fake.workspace.existingPaths.insert("/P/Main.app");
    watcher->launchMainApp();
    EXPECT_THAT(fake.transcript.entries(), ElementsAre("0s open /Applications/Drovix.app"));
    EXPECT_EQ(fake.workspace.ownBundleQueries, 0);
    EXPECT_THAT(fake.workspace.queriedIdentifiers, ElementsAre("com.drovix.Drovix"));
}

TEST_F(LaunchTest, FallsBackToTheBundleFourLevelsAboveTheAgent)
{
    fake.workspace.existingPaths.insert("/P/Main.app");
    EXPECT_EQ(watcher->locateMainApp(), AppUrl{"/P/Main.app"});
    watcher->launchMainApp();
    EXPECT_THAT(fake.transcript.entries(), ElementsAre("0s open /P/Main.app"));
    ASSERT_EQ(fake.workspace.openConfigurations.size(), 1u);
    EXPECT_TRUE(fake.workspace.openConfigurations[0].activates);
}

TEST_F(LaunchTest, SaysSoWhenNeitherWayFindsIt)
{
    // Only the agent's own bundle and its parents below the candidate exist.
    fake.workspace.existingPaths = {"/P/Main.app/Contents", "/P"};
    EXPECT_EQ(watcher->locateMainApp(), std::nullopt);
    watcher->launchMainApp();
    EXPECT_THAT(lines(), ElementsAre("DrovixRescue: asked to start Drovix but couldn't find it"));
    EXPECT_EQ(fake.workspace.pendingOpens(), 0u);
}

TEST_F(LaunchTest, OpenOutcomeIsLoggedWhenThePlatformReportsIt)
{
    fake.workspace.existingPaths.insert("/P/Main.app");
    watcher->launchMainApp();
    EXPECT_THAT(lines(), IsEmpty());
    fake.workspace.finishOpens();
    watcher->launchMainApp();
    fake.workspace.finishOpens("The application cannot be opened\nfor an unexpected reason.");
    EXPECT_THAT(lines(), ElementsAre("DrovixRescue: started Drovix",
                                     "DrovixRescue: couldn't start Drovix \xE2\x80\x94 The "
                                     "application cannot be opened\\nfor an unexpected reason."));
}

TEST_F(LaunchTest, OpenCompletionOutlivingTheWatcherStillLogs)
{
    fake.workspace.existingPaths.insert("/P/Main.app");
    watcher->launchMainApp();
    watcher.reset();
    fake.workspace.finishOpens();
    EXPECT_THAT(lines(), ElementsAre("DrovixRescue: started Drovix"));
}

} // namespace
} // namespace drovix::testing
