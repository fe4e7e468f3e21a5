// The restart sequence: quit requests, the waits, forcing, and the launch that ends it.
#include "WatcherTest.h"

using ::testing::ElementsAre;

namespace drovix::testing {
namespace {

class RestartTest : public WatcherTest {
protected:
    // Acts on a fresh "restart" at 0 s and runs the sequence to its end.
    std::vector<std::string> restart()
    {
        watcher->considerRecord(command("restart", "r1"));
        fake.loop.advance(12);
        return fake.transcript.entries();
    }
};

TEST_F(RestartTest, LaunchesRightAfterTheCheckThatFindsTheAppGone)
{
    // The acting check and the restart query see it; the first two waits still do; the third
    // finds it gone, and so does the decision check.
    fake.workspace.scriptedRunning = {1, 1, 1, 1, 0, 0};
    EXPECT_THAT(restart(), ElementsAre("0s DrovixRescue: acting on restart (0s old)",
                                       "0s DrovixRescue: restarting Drovix (1 running)",
                                       "0s terminate app1", "3s open /Applications/Drovix.app"));
}

TEST_F(RestartTest, ForcesAnAppThatIgnoresTheQuitRequestAfterTenWaits)
{
    fake.workspace.running = 1;
    EXPECT_THAT(restart(),
                ElementsAre("0s DrovixRescue: acting on restart (0s old)",
                            "0s DrovixRescue: restarting Drovix (1 running)", "0s terminate app1",
                            "10s DrovixRescue: Drovix wouldn't quit, forcing it", "10s force app1",
                            "11s open /Applications/Drovix.app"));
    // The timer was never started here, so the only queries are the sequence's own: acting,
    // restart, ten checks after waits, the decision and the force list.
    EXPECT_EQ(fake.workspace.runningQueries, 14);
}

TEST_F(RestartTest, AsksEveryInstanceToQuitAndWaitsForAllOfThem)
{
    fake.workspace.scriptedRunning = {2, 2, 2, 1, 0, 0};
    EXPECT_THAT(restart(),
                ElementsAre("0s DrovixRescue: acting on restart (0s old)",
                            "0s DrovixRescue: restarting Drovix (2 running)", "0s terminate app1",
                            "0s terminate app2", "3s open /Applications/Drovix.app"));
}

TEST_F(RestartTest, InstancesGoneBeforeTheFirstCheckLaunchAfterOneWait)
{
    fake.workspace.scriptedRunning = {1, 1, 0, 0};
    EXPECT_THAT(restart(), ElementsAre("0s DrovixRescue: acting on restart (0s old)",
                                       "0s DrovixRescue: restarting Drovix (1 running)",
                                       "0s terminate app1", "1s open /Applications/Drovix.app"));
}

TEST_F(RestartTest, AnInstanceAppearingAtTheDecisionCheckIsForced)
{
    fake.workspace.scriptedRunning = {1, 1, 0, 1, 1, 0};
    EXPECT_THAT(restart(),
                ElementsAre("0s DrovixRescue: acting on restart (0s old)",
                            "0s DrovixRescue: restarting Drovix (1 running)", "0s terminate app1",
                            "1s DrovixRescue: Drovix wouldn't quit, forcing it", "1s force app1",
                            "2s open /Applications/Drovix.app"));
}

TEST_F(RestartTest, EmptyForceListStillSettlesBeforeLaunching)
{
    fake.workspace.scriptedRunning = {1, 1, 0, 1, 0, 0};
    EXPECT_THAT(restart(),
                ElementsAre("0s DrovixRescue: acting on restart (0s old)",
                            "0s DrovixRescue: restarting Drovix (1 running)", "0s terminate app1",
                            "1s DrovixRescue: Drovix wouldn't quit, forcing it",
                            "2s open /Applications/Drovix.app"));
}

TEST_F(RestartTest, NothingLeftAtTheQueryStillRunsTheSequence)
{
    fake.workspace.scriptedRunning = {1, 0, 0, 0};
    EXPECT_THAT(restart(), ElementsAre("0s DrovixRescue: acting on restart (0s old)",
                                       "0s DrovixRescue: restarting Drovix (0 running)",
                                       "1s open /Applications/Drovix.app"));
}

TEST_F(RestartTest, CancelledWaitsCountAsFullOnes)
{
    fake.workspace.running = 1;
    fake.loop.cancelNextSleeps(11);
    // Every wait ends at once, so all ten checks and the settle happen at 0 s.
    EXPECT_THAT(restart(),
                ElementsAre("0s DrovixRescue: acting on restart (0s old)",
                            "0s DrovixRescue: restarting Drovix (1 running)", "0s terminate app1",
                            "0s DrovixRescue: Drovix wouldn't quit, forcing it", "0s force app1",
                            "0s open /Applications/Drovix.app"));
}

TEST_F(RestartTest, LooksKeepRunningDuringTheWaitsWithoutActingAgain)
{
    fake.workspace.running = 1;
    storeCommand("restart", "r1");
    start();
    fake.loop.advance(60);
    EXPECT_THAT(fake.transcript.entries(),
                ElementsAre("0s fetch", "0s DrovixRescue: acting on restart (0s old)",
                            "0s DrovixRescue: restarting Drovix (1 running)", "0s terminate app1",
                            "10s DrovixRescue: Drovix wouldn't quit, forcing it", "10s force app1",
                            "11s open /Applications/Drovix.app", "50s fetch",
                            "50s DrovixRescue: standing by, already acted on command r1"));
    // The tick at 10 s ran before the tenth check; it looked and stopped at the running gate.
    EXPECT_GE(fake.workspace.runningQueries, 19);
}

TEST_F(RestartTest, SequenceKeepsTheWatcherAliveUntilItEnds)
{
    fake.workspace.running = 1;
    watcher->considerRecord(command("restart", "r1"));
    std::weak_ptr<RescueWatcher> weak = watcher;
    watcher.reset();
    EXPECT_FALSE(weak.expired());
    fake.loop.advance(12);
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(fake.transcript.entries().back(), "11s open /Applications/Drovix.app");
    EXPECT_EQ(fake.loop.pendingWork(), 0u);
}

TEST(RestartJobTest, JobDroppedByAMainThreadThatGoesAwayIsFreed)
{
    std::weak_ptr<RescueWatcher> weak;
    {
        FakePlatform fake;
        fake.workspace.running = 1;
        auto watcher = std::make_shared<RescueWatcher>(fake.platform());
        watcher->considerRecord(CommandRecord{"restart", "r1", fake.loop.now()});
        weak = watcher;
        watcher.reset();
        fake.loop.advance(3);
        EXPECT_FALSE(weak.expired());
    }
    // The suspended job, and the watcher it held, went with the loop instead of leaking.
    EXPECT_TRUE(weak.expired());
}

} // namespace
} // namespace drovix::testing
