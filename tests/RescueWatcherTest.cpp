// The watcher on virtual time: its look cadence, its decisions, launching and restarting.
#include "RescueWatcher.h"
#include "Identifiers.h"
#include "fake/FakePlatform.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

namespace drovix::testing {
namespace {

using ::testing::ElementsAre;
using Text = std::optional<std::string>;

// A watcher on the fake platform: the fixture of a test, or one row of a table.
struct Scene : FakePlatform {
    std::shared_ptr<RescueWatcher> watcher = std::make_shared<RescueWatcher>(platform());

    CommandRecord command(const std::string& kind, const std::string& nonce, double age = 0)
    {
        return CommandRecord{kind, nonce, now() - age};
    }
};

struct WatcherTest : ::testing::Test, Scene {};

const std::string opened = "open /Applications/Drovix.app";

// Ends by letting the watcher go with a fetch answer that would act still to be handed over.
TEST_F(WatcherTest, FetchesAtStartAndAtEveryTickReportsEachChangeOfReasonOnceAndLetsGo)
{
    const std::string failed = "s DrovixRescue: standing by, can't read the command record: ";
    watcher->start();
    // The first look fetches before start returns; the answer waits for the main thread.
    EXPECT_EQ(transcript, "0s fetch");
    advance(10);
    for (const char* error : {"down", "down", "not signed in", "down"})
        fetchError = error, advance(10);
    EXPECT_EQ(transcript, "0s fetch; 0s DrovixRescue: standing by, no command record in this "
                          "container yet; 10s fetch; 20s fetch; 20" +
                              failed + "down; 30s fetch; 40s fetch; 40" + failed +
                              "not signed in; 50s fetch; 50" + failed + "down");
    EXPECT_THAT(containersOpened, ElementsAre("iCloud." + std::string(mainAppBundleIdentifier)));
    record = command("restart", "r1"), transcript.clear();
    watcher->look();
    const std::weak_ptr<RescueWatcher> weak = std::exchange(watcher, nullptr);
    EXPECT_TRUE(weak.expired()); // neither the timer nor the fetch answer keeps it
    advance(20);
    EXPECT_EQ(transcript, "50s fetch");
}

TEST(WatcherTableTest, AStoredRecordIsActedOnOnceAndReportedOnceAfterTheQuietPeriod)
{
    const std::string acted = "0s fetch; 0s DrovixRescue: acting on start (0s old); 0s " + opened;
    const std::string again = "s DrovixRescue: standing by, already acted on command n1";
    const std::string ahead = "s DrovixRescue: standing by, command start is ";
    const std::string window = "s old, outside the 120s window; ";
    const std::string caughtUp = "0s fetch; 0" + ahead + "-135" + window + "10s fetch; 10" + ahead +
                                 "-125" + window + "20s fetch; 20s " +
                                 "DrovixRescue: acting on start (-115s old); 20s " + opened;
    const std::string restarted =
        "0s fetch; 0s DrovixRescue: acting on restart (0s old); 0s DrovixRescue: restarting Drovix "
        "(1 running); 0s terminate app1; 10s DrovixRescue: Drovix wouldn't quit, forcing it; 10s "
        "force app1; 10s fetch; 10";
    const std::tuple<std::string, double, std::deque<int>, double, double, std::string> cases[] = {
        {"start", 0, {0}, 0, 60, acted + "; 40s fetch; 40" + again + "; 50s fetch; 60s fetch"},
        // The tick at 10 s passed the running gate and stopped at the quiet period.
        {"start", 0, {0, 1}, 0, 60, acted + "; 60s fetch; 60" + again},
        // Set 5 s ahead, the wall clock is exactly 45 s past the first look at the tick at 40 s.
        {"start", 0, {1}, 5, 50, acted + "; 50s fetch; 50" + again},
        // Set back 100 s, the wall clock is more than 30 s past the action after 130 s.
        {"start", 0, {0}, -100, 140, acted + "; 140s fetch; 140" + again},
        {"start", -135, {0}, 0, 20, caughtUp},
        // During the waits of a restart, the look at 10 s, posted after the wait that ends then,
        // passes both gates: only the stored nonce holds it back.
        {"restart", 0, {1}, 100, 20, restarted + again + "; 11s " + opened}};
    for (const auto& [kind, age, running, wallJump, seconds, transcript] : cases) {
        Scene scene;
        scene.record = scene.command(kind, "n1", age), scene.running = running;
        scene.watcher->start(), scene.advance(0); // the first look's answer handed over
        scene.wallOffset += wallJump, scene.advance(seconds);
        EXPECT_EQ(scene.transcript, transcript);
    }
}

TEST(WatcherTableTest, EndsInTheFirstRefusalInStepOrderOrInAnAction)
{
    const std::string open = "; 0s " + opened;
    const std::string by = "standing by, ";
    const std::string missing = by + "the command record has no kind or nonce";
    const std::string notOurs = ", which is Drovix's to answer, not ours";
    const std::string again = by + "already acted on command A";
    const std::string beyond = " has an age beyond measure, outside the 120s window";
    // After acting on "start" with nonce A; an absent age is an unreadable issuedAt.
    const std::tuple<Text, Text, std::optional<double>, std::string> cases[] = {
        {std::nullopt, "B", 0, missing},
        {"start", std::nullopt, 0, missing},
        {"Start", "A", std::nullopt, by + "latest command is Start" + notOurs},
        {"x\ny\\", "B", 0, by + "latest command is x\\ny\\" + notOurs},
        {"restart", "A", 500, again},
        {"start", "A", std::nullopt, again},
        {"start", "B", std::nullopt, by + "command B carries no readable issuedAt, refusing it"},
        {"start", "B", 120.0, "acting on start (120s old)" + open},
        {"restart", "B", -120.0, "acting on restart (-120s old)" + open},
        {"start", "B", -0.5, "acting on start (0s old)" + open},
        {"start", "B", 120.5, by + "command start is 120s old, outside the 120s window"},
        {"restart", "B", -121, by + "command restart is -121s old, outside the 120s window"},
        {"restart", "B", std::nan(""), by + "command restart" + beyond},
        {"start", "B", INFINITY, by + "command start" + beyond},
        {"start", "B", -1e300, by + "command start" + beyond}};
    for (const auto& [kind, nonce, age, transcript] : cases) {
        Scene scene;
        scene.watcher->considerRecord(scene.command("start", "A")), scene.transcript.clear();
        const auto issuedAt = age ? std::optional(scene.now() - *age) : std::nullopt;
        scene.watcher->considerRecord(CommandRecord{kind, nonce, issuedAt});
        EXPECT_EQ(scene.transcript, "0s DrovixRescue: " + transcript);
    }
}

// Acting clears the last reason; "cafe\u0301" is "caf\u00e9" canonically.
TEST_F(WatcherTest, RemembersOnlyTheLastNonceAndFoldsRepeatedReasons)
{
    const std::string notOurs = "DrovixRescue: standing by, latest command is caf\u00e9, which is "
                                "Drovix's to answer, not ours";
    const std::string acting = "DrovixRescue: acting on start (0s old)";
    const std::string again = "DrovixRescue: standing by, already acted on command cafe\u0301";
    const std::pair<const char*, const char*> records[] = {
        {"caf\u00e9", "x"}, {"cafe\u0301", "y"}, {"start", "A"},         {"caf\u00e9", "x"},
        {"start", "B"},     {"start", "A"},      {"start", "caf\u00e9"}, {"start", "cafe\u0301"}};
    for (const auto& [kind, nonce] : records)
        watcher->considerRecord(command(kind, nonce));
    EXPECT_THAT(lines, ElementsAre(notOurs, acting, notOurs, acting, acting, acting, again));
}

// The outcome of an open is logged when the platform reports it, even with the watcher gone.
TEST(WatcherTableTest, LaunchOpensTheInstalledAppElseTheBundleFourLevelsAboveTheAgent)
{
    const std::string started = "; 0s DrovixRescue: started Drovix";
    const std::string couldNot = "; 0s DrovixRescue: couldn't start Drovix \u2014 no\\nway";
    const std::string notFound = "0s own bundle; 0s DrovixRescue: asked to start Drovix but "
                                 "couldn't find it";
    const std::tuple<std::optional<AppUrl>, std::set<std::string>, Text, std::string> cases[] = {
        {AppUrl{"/Applications/Drovix.app"}, {}, {}, "0s " + opened + started},
        {std::nullopt, {"/P/Main.app"}, "no\nway", "0s own bundle; 0s open /P/Main.app" + couldNot},
        {std::nullopt, {"/P", "/P/Main.app/Contents"}, {}, notFound}};
    for (const auto& [installed, existing, error, transcript] : cases) {
        Scene scene;
        scene.installedUrl = installed, scene.existingPaths = existing;
        scene.watcher->launchMainApp(), scene.watcher.reset();
        scene.finishOpens(error);
        EXPECT_EQ(scene.transcript, transcript);
    }
}

TEST(WatcherTableTest, EveryRestartEndsInOneLaunchAndThenLetsTheWatcherGo)
{
    const std::string one = "0s DrovixRescue: restarting Drovix (1 running); 0s terminate app1; ";
    const std::string forcing = "s DrovixRescue: Drovix wouldn't quit, forcing it; ";
    const std::string open = "s " + opened;
    // Instances seen by the acting check, the restart, then each check of the sequence; the last
    // count stays. Cancelled sleeps count as waits.
    // clang-format off
    const std::tuple<std::deque<int>, int, std::string> cases[] = {
        {{1, 1, 1, 1, 0}, 0, one + "3" + open}, // gone by the third check
        {{1}, 0, one + "10" + forcing + "10s force app1; 11" + open},
        {{1}, 11, one + "0" + forcing + "0s force app1; 0" + open},
        {{2, 2, 2, 1, 0}, 0, "0s DrovixRescue: restarting Drovix (2 running); 0s terminate app1; "
                             "0s terminate app2; 3" + open},
        {{1, 1, 0}, 0, one + "1" + open},                                      // gone at once
        {{1, 1, 0, 1, 1}, 0, one + "1" + forcing + "1s force app1; 2" + open}, // back again
        {{1, 1, 0, 1, 0}, 0, one + "1" + forcing + "2" + open},                // gone once more
        {{1, 0}, 0, "0s DrovixRescue: restarting Drovix (0 running); 1" + open}};
    // clang-format on
    for (const auto& [running, cancelledSleeps, transcript] : cases) {
        Scene scene;
        scene.running = running, scene.sleepsToCancel = cancelledSleeps;
        scene.watcher->considerRecord(scene.command("restart", "r1"));
        // The sequence holds the watcher until it ends.
        std::weak_ptr<RescueWatcher> weak = std::exchange(scene.watcher, nullptr);
        scene.advance(30);
        EXPECT_EQ(scene.transcript, "0s DrovixRescue: acting on restart (0s old); " + transcript);
        EXPECT_TRUE(weak.expired());
    }
}

} // namespace
} // namespace drovix::testing
