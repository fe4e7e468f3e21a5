// When the watcher looks and when it fetches the command record.
#include "WatcherTest.h"

using ::testing::ElementsAre;

namespace drovix::testing {
namespace {

using CadenceTest = WatcherTest;

TEST_F(CadenceTest, FetchesAtStartAndAtEveryTickWhileTheAppIsNotRunning)
{
    start();
    EXPECT_THAT(fetches(), ElementsAre("0s fetch"));
    fake.loop.advance(30);
    EXPECT_THAT(fetches(), ElementsAre("0s fetch", "10s fetch", "20s fetch", "30s fetch"));

    // One container handle, opened for the command container at the first fetch and kept.
    EXPECT_EQ(fake.store.containersOpened, 1);
    EXPECT_THAT(fake.store.containerIdentifiers, ElementsAre("iCloud.com.drovix.Drovix"));
    // Every look asks about the main application by its bundle identifier.
    EXPECT_EQ(fake.workspace.queriedIdentifiers.front(), "com.drovix.Drovix");
    // Missing record: reported once, however many looks find it missing.
    EXPECT_THAT(lines(), ElementsAre("DrovixRescue: standing by, no command record in this "
                                     "container yet"));
}

TEST_F(CadenceTest, WhileTheAppRunsFetchesOnlyAfterMoreThan45Seconds)
{
    fake.workspace.running = 1;
    start();
    fake.loop.advance(100);
    // The first look passes the gate (never looked before); then the first tick more than 45 s
    // after the last look that passed.
    EXPECT_THAT(fetches(), ElementsAre("0s fetch", "50s fetch", "100s fetch"));

    // Exactly 45 s is not enough; a moment more is.
    fake.loop.advance(45);
    watcher->look();
    EXPECT_EQ(fake.store.fetches, 3);
    fake.loop.advance(0.001);
    watcher->look();
    EXPECT_EQ(fake.store.fetches, 4);
}

TEST_F(CadenceTest, QuietForThirtySecondsAfterAnAction)
{
    storeCommand("start", "n1");
    start();
    fake.store.record.reset();
    fake.loop.advance(40);
    // The action at 0 s silences the ticks at 10, 20 and 30 s (30 is not more than 30).
    EXPECT_THAT(fetches(), ElementsAre("0s fetch", "40s fetch"));
}

TEST_F(CadenceTest, RunningLookThatHitsTheQuietPeriodStillCountsForTheRunningGate)
{
    storeCommand("start", "n1");
    start();
    fake.workspace.running = 1;
    fake.loop.advance(100);
    // The tick at 10 s passes the running gate and stops at the quiet period; the next look to
    // pass the running gate is the one at 60 s, not the one at 40 s.
    EXPECT_THAT(fetches(), ElementsAre("0s fetch", "60s fetch"));
}

TEST_F(CadenceTest, ClockSetBackAfterAnActionKeepsTheWatcherQuietUntilItCatchesUp)
{
    storeCommand("start", "n1");
    start();
    const Instant actedAt = fake.loop.now();
    fake.loop.advance(5);
    fake.loop.setWallTime(actedAt - 100);
    fake.loop.advance(200);
    // Wall time passes actedAt + 30 at monotonic 135 s; the tick at 140 s is the first to fetch.
    EXPECT_EQ(fetches().at(1), "140s fetch");
}

TEST_F(CadenceTest, FetchFailuresAreReportedOncePerChangeOfReason)
{
    fake.store.error = "The network is down";
    start();
    fake.loop.advance(20);
    fake.store.error = "Not signed in";
    fake.loop.advance(20);
    fake.store.error = "The network is down";
    fake.loop.advance(10);
    EXPECT_THAT(lines(),
                ElementsAre("DrovixRescue: standing by, can't read the command record: The "
                            "network is down",
                            "DrovixRescue: standing by, can't read the command record: Not "
                            "signed in",
                            "DrovixRescue: standing by, can't read the command record: The "
                            "network is down"));
    EXPECT_EQ(fake.store.fetches, 6);
}

TEST_F(CadenceTest, EachFetchCompletionIsHandledOnItsOwnEvenWhenTheyOverlap)
{
    fake.store.holdCompletions = true;
    start();
    fake.loop.advance(10);
    ASSERT_EQ(fake.store.heldFetches(), 2u);
    storeCommand("start", "n1");
    fake.store.completeHeldFetches();
    fake.loop.runUntilIdle();
    EXPECT_THAT(lines(), ElementsAre("DrovixRescue: acting on start (0s old)",
                                     "DrovixRescue: standing by, already acted on command n1"));
}

TEST_F(CadenceTest, NothingHappensOnceTheWatcherIsGone)
{
    fake.store.holdCompletions = true;
    start();
    std::weak_ptr<RescueWatcher> weak = watcher;
    watcher.reset();
    // Neither the timer nor the outstanding fetch keeps the watcher alive.
    EXPECT_TRUE(weak.expired());

    storeCommand("start", "n1");
    fake.store.completeHeldFetches();
    fake.loop.advance(60);
    EXPECT_EQ(fake.store.fetches, 1);
    EXPECT_TRUE(lines().empty());
    EXPECT_EQ(fake.workspace.pendingOpens(), 0u);
}

} // namespace
} // namespace drovix::testing
