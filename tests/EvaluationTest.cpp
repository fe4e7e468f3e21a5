// How a fetched command record is refused or acted on.
#include "WatcherTest.h"

#include <limits>

namespace drovix::testing {
namespace {

TEST(EvaluationTableTest, EndsInTheFirstRefusalInStepOrderOrInAnAction)
{
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double infinity = std::numeric_limits<double>::infinity();
    const std::string open = "; 0s open /Applications/Drovix.app";
    const std::string missing = "standing by, the command record has no kind or nonce";
    const std::string again = "standing by, already acted on command A";
    const std::string beyond = " has an age beyond measure, outside the 120s window";
    // After acting on "start" with nonce A; an absent age is an unreadable issuedAt.
    const struct {
        std::optional<std::string> kind, nonce;
        std::optional<double> age;
        std::string transcript;
        int running = 0;
    } cases[] = {
        {std::nullopt, "B", 0, missing},
        {"start", std::nullopt, 0, missing},
        {"Start", "A", std::nullopt,
         "standing by, latest command is Start, which is Drovix's to answer, not ours"},
        {"x\ny\\", "B", 0,
         "standing by, latest command is x\\ny\\, which is Drovix's to answer, not ours"},
        {"restart", "A", 500, again},
        {"start", "A", std::nullopt, again},
        {"start", "B", std::nullopt,
         "standing by, command B carries no readable issuedAt, refusing it"},
        {"start", "B", 120.0, "acting on start (120s old)" + open, 1},
        {"restart", "B", -120.0, "acting on restart (-120s old)" + open},
        {"start", "B", -0.5, "acting on start (0s old)" + open},
        {"start", "B", 120.5, "standing by, command start is 120s old, outside the 120s window"},
        {"restart", "B", -121,
         "standing by, command restart is -121s old, outside the 120s window"},
        {"restart", "B", nan, "standing by, command restart" + beyond},
        {"start", "B", infinity, "standing by, command start" + beyond},
        {"start", "B", -1e300, "standing by, command start" + beyond}};
    for (const auto& c : cases) {
        Scene scene;
        scene.consider("start", "A");
        scene.transcript.clear();
        scene.running = c.running;
        const auto issuedAt = c.age ? std::optional(scene.loop.now() - *c.age) : std::nullopt;
        scene.watcher->considerRecord(CommandRecord{c.kind, c.nonce, issuedAt});
        EXPECT_EQ(scene.transcript, "0s DrovixRescue: " + c.transcript);
    }
}

using EvaluationTest = WatcherTest;

TEST_F(EvaluationTest, RemembersOnlyTheLastNonceAndFoldsRepeatedReasons)
{
    const std::string notOurs = "DrovixRescue: standing by, latest command is caf\u00e9, which is "
                                "Drovix's to answer, not ours";
    const std::string acting = "DrovixRescue: acting on start (0s old)";
    consider("caf\u00e9", "x");
    consider("cafe\u0301", "y"); // the same reason, canonically
    consider("start", "A");
    consider("caf\u00e9", "x"); // acting cleared the last reason
    consider("start", "B");
    consider("start", "A");
    consider("start", "caf\u00e9");
    consider("start", "cafe\u0301");
    EXPECT_THAT(lines,
                ElementsAre(notOurs, acting, notOurs, acting, acting, acting,
                            "DrovixRescue: standing by, already acted on command cafe\u0301"));
}

TEST_F(EvaluationTest, CommandFromTheFutureBecomesFreshWhenTheClockCatchesUp)
{
    record = command("start", "later", -135);
    start();
    loop.advance(20);
    EXPECT_THAT(lines, ElementsAre("DrovixRescue: standing by, command start is -135s old, "
                                   "outside the 120s window",
                                   "DrovixRescue: standing by, command start is -125s old, "
                                   "outside the 120s window",
                                   "DrovixRescue: acting on start (-115s old)"));
}

} // namespace
} // namespace drovix::testing
