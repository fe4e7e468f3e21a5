// When the watcher looks, when it fetches the command record, and what a fetch's answer becomes.
#include "WatcherTest.h"

#include "Identifiers.h"

namespace drovix::testing {
namespace {

using CadenceTest = WatcherTest;

const std::string norecord = "DrovixRescue: standing by, no command record in this container yet";

TEST_F(CadenceTest, FetchesAtStartAndAtEveryTickWhileTheAppIsNotRunning)
{
    watcher->start();
    // The first look fetches before start returns; the answer waits for the main thread.
    EXPECT_EQ(transcript, "0s fetch");
    loop.advance(30);
    EXPECT_EQ(transcript, "0s fetch; 0s " + norecord + "; 10s fetch; 20s fetch; 30s fetch");
    EXPECT_THAT(containersOpened, ElementsAre("iCloud." + std::string(mainAppBundleIdentifier)));
}

TEST_F(CadenceTest, FetchOutcomesAreReportedOncePerChangeOfReason)
{
    const std::string failed = "DrovixRescue: standing by, can't read the command record: ";
    for (const char* error : {"down", "down", "not signed in", "down", ""}) {
        fetchError = *error ? std::optional<std::string>(error) : std::nullopt;
        watcher->look();
        loop.runUntilIdle();
    }
    EXPECT_THAT(lines,
                ElementsAre(failed + "down", failed + "not signed in", failed + "down", norecord));
}

TEST_F(CadenceTest, WhileTheAppRunsFetchesOnlyMoreThan45SecondsApart)
{
    running = 1;
    start();
    loop.advance(145);
    watcher->look(); // exactly 45 s after the look at 100 s
    loop.advance(0.5);
    watcher->look();
    EXPECT_EQ(transcript, "0s fetch; 0s " + norecord + "; 50s fetch; 100s fetch; 145.5s fetch");
}

TEST(CadenceTableTest, QuietForThirtySecondsAfterAnActionThenReportsTheSameRecordOnce)
{
    const std::string acted = "0s fetch; 0s DrovixRescue: acting on start (0s old); 0s open "
                              "/Applications/Drovix.app; ";
    const std::string again = "s DrovixRescue: standing by, already acted on command n1";
    const struct {
        int running;
        double wallJump, seconds;
        std::string transcript;
    } cases[] = {{0, 0, 60, acted + "40s fetch; 40" + again + "; 50s fetch; 60s fetch"},
                 // The tick at 10 s passed the running gate and stopped at the quiet period.
                 {1, 0, 60, acted + "60s fetch; 60" + again},
                 // Set back 100 s, the wall clock is more than 30 s past the action after 130 s.
                 {0, -100, 140, acted + "140s fetch; 140" + again}};
    for (const auto& c : cases) {
        Scene scene;
        scene.record = scene.command("start", "n1");
        scene.start();
        scene.running = c.running;
        scene.loop.setWallTime(scene.loop.now() + c.wallJump);
        scene.loop.advance(c.seconds);
        EXPECT_EQ(scene.transcript, c.transcript);
    }
}

TEST_F(CadenceTest, AReleasedWatcherIsNotKeptAliveAndDoesNothing)
{
    holdFetches = true;
    watcher->start();
    std::weak_ptr<RescueWatcher> weak = watcher;
    watcher.reset();
    EXPECT_TRUE(weak.expired());
    record = command("start", "n1");
    completeHeldFetches();
    loop.advance(60);
    EXPECT_EQ(transcript, "0s fetch");
}

} // namespace
} // namespace drovix::testing
