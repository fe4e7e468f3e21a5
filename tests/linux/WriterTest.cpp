// drovix-command as built, run as a user runs it, on the record file of a scratch home; and what
// its status says of a record, at a fixed instant.
#include "CommandStatus.h"
#include "Support.h"
#include "platform/cloudkit/CommandRecordJson.h"
#include "platform/linux/Time.h"

#include <regex>

namespace drovix {
namespace {

using namespace support;

TEST(Writer, SendsFreshCommandsWithNewNoncesAndTheIssueTimeAskedForAndNothingByMistake)
{
    const Scratch home;
    const std::string file =
        home.path + "/.local/share/cloud/iCloud.t/private/_defaultZone/command.json";
    // The exit status, then every line it wrote.
    const auto run = [&](Strings arguments, const std::string& writer = DROVIX_COMMAND_WRITER) {
        arguments.insert(arguments.begin(), {writer, "--container", "iCloud.t"});
        Child child(arguments, {"HOME=" + home.path});
        std::string output;
        while (const auto line = child.readLine())
            output += *line + "\n";
        const std::optional<int> status = child.reap();
        return std::to_string(status ? WEXITSTATUS(*status) : -1) + "\n" + output;
    };
    EXPECT_EQ("0\nno command yet\n", run({"status"}));
    std::vector<std::string> nonces;
    for (const char* age : {"30", "-30"}) {
        EXPECT_EQ('0', run({"--age", age, "restart"})[0]);
        const CommandRecord sent =
            *parseCommandRecordFile(*posix::readRegularFile(file, maxRecordJsonSize));
        EXPECT_TRUE(std::regex_match(*sent.nonce, std::regex("[0-9a-f]{16}"))) << *sent.nonce;
        nonces.push_back(*sent.nonce);
        EXPECT_NEAR(SystemClock().now() - std::stod(age), *sent.issuedAt, 1.0);
    }
    EXPECT_NE(nonces[0], nonces[1]);
    const std::string sent = run({"--issued-at", "1796575210123", "--nonce", "n1", "send", "x"});
    EXPECT_EQ("0\nwrote " + file + "\n" +
                  R"({"recordName":"command","fields":{"kind":{"value":"x","type":"STRING"},)"
                  R"("nonce":{"value":"n1","type":"STRING"},"issuedAt":{"value":1796575210123,)"
                  R"("type":"TIMESTAMP"}}})"
                  "\n",
              sent);
    EXPECT_THAT(run({"--help"}), ::testing::HasSubstr("/_defaultZone/command.json\n"));
    EXPECT_THAT(run({"help"}, DROVIX_WEB_COMMAND_WRITER),
                ::testing::HasSubstr("/web-auth-token\n"));
    // A mistake writes nothing.
    const auto unknown = [](const std::string& word, const std::string& suggestion) {
        return "unknown command \"" + word + "\"" + suggestion +
               "; nothing was sent. A command for Drovix itself goes with: drovix-command send " +
               word;
    };
    const std::string before = *posix::readRegularFile(file, maxRecordJsonSize);
    const std::pair<Strings, std::string> mistakes[] = {
        {{"restrat"}, unknown("restrat", " (did you mean \"restart\"?)")},
        {{"sigin"}, unknown("sigin", " (did you mean \"sign-in\"?)")},
        {{"stop"}, unknown("stop", "")},
        {{"send"}, "send takes one kind (see --help)"},
        {{"status", "now"}, "status takes no more words (see --help)"},
        {{"--age", "5", "status"},
         "--nonce, --issued-at and --age are for start, restart and send"},
        {{"--age", "3s", "start"}, "--age takes a number of seconds, not \"3s\""},
        {{"--issued-at", "12x", "start"},
         "--issued-at takes milliseconds since the Unix epoch, not \"12x\""},
        {{"sign-in"}, "this build has no CloudKit API token: there is nothing to sign in to"}};
    for (const auto& [arguments, said] : mistakes)
        EXPECT_EQ("2\ndrovix-command: " + said + "\n", run(arguments));
    EXPECT_EQ(before, *posix::readRegularFile(file, maxRecordJsonSize));

    // What can't be done is said, with exit status 1, or 2 without a home to write in.
    ASSERT_FALSE(posix::replaceFile(file, "{\"fields\": 1"));
    EXPECT_THAT(run({"status"}), ::testing::StartsWith("1\ndrovix-command: can't read the command "
                                                       "record: command.json is not valid JSON: "));
    EXPECT_EQ("1\ndrovix-command: can't read the command record: sign-in required — run "
              "drovix-command sign-in\n",
              run({"status"}, DROVIX_WEB_COMMAND_WRITER));
    Child homeless({DROVIX_COMMAND_WRITER, "start"}, {"PATH=/bin"});
    EXPECT_EQ("drovix-command: no home folder to find the command record in", homeless.readLine());
    EXPECT_EQ(2 << 8, homeless.reap());
}

TEST(Writer, SaysWhatTheCommandWaitingMeansNow)
{
    ::setenv("TZ", "UTC0", 1), ::tzset();
    const double at = 1796575210.5;
    const auto record = [&](std::optional<std::string> kind, std::optional<Instant> issuedAt = {}) {
        return std::optional(CommandRecord{std::move(kind), "n1", issuedAt.value_or(at)});
    };
    const std::string fresh = " s: a Mac running DrovixRescue acts on it within about 10 s, or 50 "
                              "s while Drovix runs",
                      stale = "issued more than 120 s ago: no Mac will act on it",
                      ahead =
                          "dated more than 120 s ahead of this clock: no Mac will act on it for "
                          "another ",
                      drovixOwn = "a command for Drovix itself: DrovixRescue leaves it alone";
    const std::tuple<std::optional<CommandRecord>, double, std::string> table[] = {
        {std::nullopt, 0, "no command yet"},
        {CommandRecord{"re\nstart", "n1", {}}, 0, "re\\nstart, nonce n1\n" + drovixOwn},
        {CommandRecord{"start", "n1", {}}, 0,
         "start, nonce n1\nit carries no readable issue time: no "
         "Mac will act on it"},
        {CommandRecord{"start", {}, at}, 0, "the command record has no kind or nonce"},
        {record("start"), 47.9, "start|47 s ago|fresh for another 72" + fresh},
        {record("restart"), 120, "restart|120 s ago|fresh for another 0" + fresh},
        {record("restart"), 121, "restart|121 s ago|" + stale},
        {record("restart"), 180, "restart|3 min ago|" + stale},
        {record("restart"), 7199.5, "restart|120 min ago|" + stale},
        {record("restart"), 7200, "restart|2 h ago|" + stale},
        {record("restart"), 3 * 86400.0, "restart|3 days ago|" + stale},
        {record("restart"), -599.5, "restart|in 10 min|" + ahead + "479 s"},
        {record("Restart"), 0, "Restart|0 s ago|" + drovixOwn},
        // The last second of the calendar, and the first past it, as now.
        {record("start", 253402300799.0), 253402300799.0 - at,
         "start, nonce n1\nissued 9999-12-31T23:59:59+00:00, 0 s ago\nfresh for another 120" +
             fresh},
        {record("start", 253402300800.0), 253402300800.0 - at,
         "start, nonce n1\nissued an instant beyond the calendar, 0 s ago\nfresh for another 120" +
             fresh},
    };
    for (auto [shown, age, said] : table) {
        // "kind|age|verdict" stands for the three lines of a record issued at the instant.
        if (const std::size_t bar = said.find('|'); bar != said.npos)
            said = said.substr(0, bar) + ", nonce n1\nissued 2026-12-06T16:40:10+00:00, " +
                   said.substr(bar + 1).replace(said.find('|', bar + 1) - bar - 1, 1, "\n");
        EXPECT_EQ(said + "\n", writer::describeCommand(shown, at + age)) << age;
    }
}

} // namespace
} // namespace drovix
