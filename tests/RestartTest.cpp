// Restarting: quit requests, the waits, forcing, and the launch that ends every path.
#include "WatcherTest.h"

#include <deque>

namespace drovix::testing {
namespace {

TEST(RestartTableTest, EveryPathEndsInOneLaunchAndThenLetsTheWatcherGo)
{
    const std::string acting = "0s DrovixRescue: acting on restart (0s old); ";
    const std::string one = acting + "0s DrovixRescue: restarting Drovix (1 running); "
                                     "0s terminate app1; ";
    const std::string forcing = "s DrovixRescue: Drovix wouldn't quit, forcing it; ";
    const std::string open = "s open /Applications/Drovix.app";
    const struct {
        // Instances seen by the acting check, the restart, then each check of the sequence;
        // after them, `thereafter`.
        std::deque<int> running;
        int thereafter, cancelledSleeps;
        std::string transcript;
    } cases[] = {
        {{1, 1, 1, 1, 0, 0}, 0, 0, one + "3" + open}, // gone by the third check
        {{}, 1, 0, one + "10" + forcing + "10s force app1; 11" + open},
        {{}, 1, 11, one + "0" + forcing + "0s force app1; 0" + open}, // cancelled waits count
        {{2, 2, 2, 1, 0, 0},
         0,
         0,
         acting +
             "0s DrovixRescue: restarting Drovix (2 running); 0s terminate app1; "
             "0s terminate app2; 3" +
             open},
        {{1, 1, 0, 0}, 0, 0, one + "1" + open},                                   // gone at once
        {{1, 1, 0, 1, 1}, 0, 0, one + "1" + forcing + "1s force app1; 2" + open}, // back again
        {{1, 1, 0, 1, 0}, 0, 0, one + "1" + forcing + "2" + open}, // gone by the force list
        {{1, 0}, 0, 0, acting + "0s DrovixRescue: restarting Drovix (0 running); 1" + open},
    };
    for (const auto& c : cases) {
        Scene scene;
        scene.scriptedRunning = c.running;
        scene.running = c.thereafter;
        scene.loop.cancelNextSleeps(c.cancelledSleeps);
        scene.consider("restart", "r1");
        // The sequence holds the watcher until it ends.
        std::weak_ptr<RescueWatcher> weak = scene.watcher;
        scene.watcher.reset();
        scene.loop.advance(30);
        EXPECT_EQ(scene.transcript, c.transcript);
        EXPECT_TRUE(weak.expired());
    }
}

using RestartTest = WatcherTest;

TEST_F(RestartTest, LooksDuringTheWaitsNeverActAgain)
{
    running = 1;
    record = command("restart", "r1");
    start();
    // Far enough for the look at 10 s to pass both gates: only the stored nonce holds it back.
    loop.setWallTime(loop.now() + 100);
    loop.advance(20);
    EXPECT_EQ(transcript, "0s fetch; 0s DrovixRescue: acting on restart (0s old); 0s DrovixRescue: "
                          "restarting Drovix (1 running); 0s terminate app1; 10s DrovixRescue: "
                          "Drovix wouldn't quit, forcing it; 10s force app1; 10s fetch; 10s "
                          "DrovixRescue: standing by, already acted on command r1; 11s open "
                          "/Applications/Drovix.app");
}

TEST(RestartJobTest, AJobDroppedByItsMainThreadIsFreedWithTheWatcherItHolds)
{
    std::weak_ptr<RescueWatcher> weak;
    {
        Scene scene;
        scene.running = 1;
        scene.consider("restart", "r1");
        weak = scene.watcher;
        scene.watcher.reset();
        scene.loop.advance(3);
        EXPECT_FALSE(weak.expired());
    }
    EXPECT_TRUE(weak.expired());
}

} // namespace
} // namespace drovix::testing
