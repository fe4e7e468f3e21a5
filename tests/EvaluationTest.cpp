// How a fetched command record is refused or acted on.
#include "WatcherTest.h"

#include <cmath>
#include <limits>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace drovix::testing {
namespace {

using EvaluationTest = WatcherTest;

constexpr const char* acted = "0s open /Applications/Drovix.app";

TEST_F(EvaluationTest, RefusesRecordsThatAreNotOursOrUnusableInStepOrder)
{
    watcher->considerRecord(CommandRecord{std::nullopt, "n1", fake.loop.now()});
    watcher->considerRecord(CommandRecord{"start", std::nullopt, fake.loop.now()});
    watcher->considerRecord(CommandRecord{"Start", "n1", fake.loop.now()});
    watcher->considerRecord(CommandRecord{"lock", "n1", std::nullopt});
    watcher->considerRecord(CommandRecord{"restart", "n1", std::nullopt});
    EXPECT_THAT(lines(),
                ElementsAre("DrovixRescue: standing by, the command record has no kind or nonce",
                            "DrovixRescue: standing by, latest command is Start, which is "
                            "Drovix's to answer, not ours",
                            "DrovixRescue: standing by, latest command is lock, which is "
                            "Drovix's to answer, not ours",
                            "DrovixRescue: standing by, command n1 carries no readable issuedAt, "
                            "refusing it"));
    EXPECT_EQ(fake.workspace.pendingOpens(), 0u);
}

TEST_F(EvaluationTest, FreshnessWindowIsInclusiveInBothDirections)
{
    watcher->considerRecord(command("start", "a", 120.0));
    watcher->considerRecord(command("start", "b", 120.5));
    watcher->considerRecord(command("start", "c", -120.0));
    watcher->considerRecord(command("restart", "d", -121.0));
    watcher->considerRecord(command("start", "e", -0.5));
    watcher->considerRecord(command("start", "f", 59.9));
    EXPECT_THAT(lines(),
                ElementsAre("DrovixRescue: acting on start (120s old)",
                            "DrovixRescue: standing by, command start is 120s old, outside the "
                            "120s window",
                            "DrovixRescue: acting on start (-120s old)",
                            "DrovixRescue: standing by, command restart is -121s old, outside "
                            "the 120s window",
                            "DrovixRescue: acting on start (0s old)",
                            "DrovixRescue: acting on start (59s old)"));
    EXPECT_EQ(fake.workspace.pendingOpens(), 4u);
}

TEST_F(EvaluationTest, AgesBeyondMeasureAreRefusedNotActedOn)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    watcher->considerRecord(CommandRecord{"start", "a", nan});
    watcher->considerRecord(CommandRecord{"restart", "b", -infinity});
    watcher->considerRecord(CommandRecord{"start", "c", 1e300});
    EXPECT_THAT(lines(), ElementsAre("DrovixRescue: standing by, command start has an age beyond "
                                     "measure, outside the 120s window",
                                     "DrovixRescue: standing by, command restart has an age beyond "
                                     "measure, outside the 120s window",
                                     "DrovixRescue: standing by, command start has an age beyond "
                                     "measure, outside the 120s window"));
    EXPECT_EQ(fake.workspace.pendingOpens(), 0u);
}

TEST_F(EvaluationTest, OnlyTheLastNonceActedOnIsRemembered)
{
    watcher->considerRecord(command("start", "A"));
    watcher->considerRecord(command("start", "A"));
    watcher->considerRecord(command("restart", "A"));
    watcher->considerRecord(command("quit", "A"));
    watcher->considerRecord(command("start", "B"));
    watcher->considerRecord(command("start", "A"));
    EXPECT_THAT(lines(), ElementsAre("DrovixRescue: acting on start (0s old)",
                                     "DrovixRescue: standing by, already acted on command A",
                                     "DrovixRescue: standing by, latest command is quit, which is "
                                     "Drovix's to answer, not ours",
                                     "DrovixRescue: acting on start (0s old)",
                                     "DrovixRescue: acting on start (0s old)"));
    EXPECT_EQ(fake.workspace.pendingOpens(), 3u);
}

TEST_F(EvaluationTest, NoncesAreComparedByCanonicalEquivalence)
{
    watcher->considerRecord(command("start", "caf\u00e9"));
    watcher->considerRecord(command("start", "cafe\u0301"));
    watcher->considerRecord(command("start", "CAF\u00c9"));
    EXPECT_THAT(lines(), ElementsAre("DrovixRescue: acting on start (0s old)",
                                     "DrovixRescue: standing by, already acted on command "
                                     "cafe\u0301",
                                     "DrovixRescue: acting on start (0s old)"));
}

TEST_F(EvaluationTest, AnActionClearsTheLastReasonSoItIsLoggedAgain)
{
    watcher->considerRecord(command("quit", "q"));
    watcher->considerRecord(command("quit", "q"));
    watcher->considerRecord(command("start", "s"));
    watcher->considerRecord(command("quit", "q"));
    EXPECT_THAT(lines(), ElementsAre("DrovixRescue: standing by, latest command is quit, which is "
                                     "Drovix's to answer, not ours",
                                     "DrovixRescue: acting on start (0s old)",
                                     "DrovixRescue: standing by, latest command is quit, which is "
                                     "Drovix's to answer, not ours"));
}

TEST_F(EvaluationTest, StartAlwaysLaunchesAndRestartLaunchesWhenNothingRuns)
{
    fake.workspace.running = 1;
    watcher->considerRecord(command("start", "a"));
    fake.workspace.running = 0;
    watcher->considerRecord(command("restart", "b"));
    // Neither path asks anything to quit.
    EXPECT_THAT(fake.transcript.entries(),
                ElementsAre("0s DrovixRescue: acting on start (0s old)", acted,
                            "0s DrovixRescue: acting on restart (0s old)", acted));
    EXPECT_TRUE(fake.workspace.openConfigurations.at(0).activates);
}

TEST_F(EvaluationTest, SameRecordSeenAgainAfterTheQuietPeriodIsReportedOnce)
{
    storeCommand("start", "n1", 3);
    start();
    fake.loop.advance(70);
    EXPECT_THAT(fake.transcript.entries(),
                ElementsAre("0s fetch", "0s DrovixRescue: acting on start (3s old)", acted,
                            "40s fetch",
                            "40s DrovixRescue: standing by, already acted on command n1",
                            "50s fetch", "60s fetch", "70s fetch"));
}

TEST_F(EvaluationTest, StaleCommandIsReportedAgainAsItsAgeGrows)
{
    storeCommand("restart", "old", 200);
    start();
    fake.loop.advance(10);
    EXPECT_THAT(lines(), ElementsAre("DrovixRescue: standing by, command restart is 200s old, "
                                     "outside the 120s window",
                                     "DrovixRescue: standing by, command restart is 210s old, "
                                     "outside the 120s window"));
}

TEST_F(EvaluationTest, CommandFromTheFutureBecomesFreshWhenTheClockCatchesUp)
{
    storeCommand("start", "later", -135);
    start();
    fake.loop.advance(20);
    EXPECT_THAT(lines(), ElementsAre("DrovixRescue: standing by, command start is -135s old, "
                                     "outside the 120s window",
                                     "DrovixRescue: standing by, command start is -125s old, "
                                     "outside the 120s window",
                                     "DrovixRescue: acting on start (-115s old)"));
}

TEST_F(EvaluationTest, RecordTextCannotSplitOrForgeLogLines)
{
    watcher->considerRecord(
        command("reboot\nDrovixRescue: acting on start (0s old)", "n\u2028\x1b[2J\\"));
    watcher->considerRecord(command("start", "ok\r\x7f\u0085"));
    EXPECT_THAT(lines(),
                ElementsAre("DrovixRescue: standing by, latest command is reboot\\nDrovixRescue: "
                            "acting on start (0s old), which is Drovix's to answer, not ours",
                            "DrovixRescue: acting on start (0s old)"));
    watcher->considerRecord(command("start", "ok\r\x7f\u0085"));
    EXPECT_EQ(lines().back(),
              "DrovixRescue: standing by, already acted on command ok\\r\\x7f\\u0085");
    EXPECT_THAT(lines(), ::testing::Not(::testing::Contains(::testing::HasSubstr("\n"))));
}

} // namespace
} // namespace drovix::testing
