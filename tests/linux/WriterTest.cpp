// drovix-command as built, run as a user runs it, on the record file of a scratch home.
#include "Support.h"
#include "platform/cloudkit/CommandRecordJson.h"

#include <regex>

namespace drovix {
namespace {

using namespace support;

struct Writer : Scratch {
    std::string file = path + "/.local/share/cloud/iCloud.t/private/_defaultZone/command.json";
    // The exit status, then every line it wrote.
    std::string run(Strings arguments) const
    {
        arguments.insert(arguments.begin(), {DROVIX_COMMAND_WRITER, "--container", "iCloud.t"});
        Child writer(arguments, {"HOME=" + path, "TZ=UTC0"});
        std::string output;
        while (const auto line = writer.readLine())
            output += *line + "\n";
        const std::optional<int> status = writer.reap();
        return std::to_string(status ? WEXITSTATUS(*status) : -1) + "\n" + output;
    }
    CommandRecord record() const
    {
        return *parseCommandRecordFile(*posix::readRegularFile(file, maxRecordJsonSize));
    }
};

double now()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

TEST(Writer, SendsFreshCommandsWithNewNoncesAndTheIssueTimeAskedFor)
{
    const Writer writer;
    EXPECT_EQ("0\nno command yet\n", writer.run({"status"}));
    std::vector<std::string> nonces;
    for (const char* age : {"30", "-30"}) {
        EXPECT_EQ('0', writer.run({"--age", age, "restart"})[0]);
        const CommandRecord sent = writer.record();
        EXPECT_TRUE(std::regex_match(*sent.nonce, std::regex("[0-9a-f]{16}"))) << *sent.nonce;
        nonces.push_back(*sent.nonce);
        EXPECT_NEAR(now() - std::stod(age), *sent.issuedAt, 1.0);
    }
    EXPECT_NE(nonces[0], nonces[1]);
    EXPECT_EQ('0', writer.run({"--issued-at", "1796575210123", "--nonce", "n1", "send", "x"})[0]);
    EXPECT_EQ(1796575210123, std::llround(*writer.record().issuedAt * 1000));
    EXPECT_EQ("0\nx, nonce n1\nissued 2026-12-06T16:40:10+00:00, ",
              writer.run({"status"}).substr(0, 48));
}

TEST(Writer, ShowsTheCommandWaitingAndRefusesWordsItDoesNotKnow)
{
    const Writer writer;
    const std::string at = std::to_string(std::llround(now() * 1000));
    const std::pair<Strings, std::string> table[] = {
        {{"--issued-at", at, "--nonce", "n", "start"},
         "start, nonce n\nissued .*, 0 s ago\nfresh for another 1[12][0-9] s: a Mac running "
         "DrovixRescue acts on it within about 10 s, or 50 s while Drovix runs\n"},
        {{"--age", "121", "restart"},
         "restart, nonce .*\nissued .*, 2 min ago\nissued more than 120 s ago: no Mac will act on "
         "it\n"},
        {{"--age", "-600", "restart"},
         ".*\nissued .*, in 10 min\ndated more than 120 s ahead of this clock: no Mac will act on "
         "it for another 4[78][0-9] s\n"},
        {{"send", "Restart"},
         "Restart, .*\n.*\na command for Drovix itself: DrovixRescue leaves "
         "it alone\n"}};
    for (const auto& [arguments, status] : table) {
        ASSERT_EQ('0', writer.run(arguments)[0]);
        const std::string shown = writer.run({"status"});
        EXPECT_TRUE(std::regex_match(shown, std::regex("0\n" + status))) << shown;
    }

    const std::string before = *posix::readRegularFile(writer.file, maxRecordJsonSize);
    const std::pair<Strings, std::string> mistakes[] = {
        {{"restrat"},
         "unknown command \"restrat\" (did you mean \"restart\"?); nothing was sent. "
         "A command for Drovix itself goes with: drovix-command send restrat"},
        {{"stop"},
         "unknown command \"stop\"; nothing was sent. A command for Drovix itself goes "
         "with: drovix-command send stop"},
        {{"send"}, "send takes one kind (see --help)"},
        {{"status", "now"}, "status takes no more words (see --help)"},
        {{"--age", "5", "status"},
         "--nonce, --issued-at and --age are for start, restart and send"},
        {{"sign-in"}, "this build has no CloudKit API token: there is nothing to sign in to"}};
    for (const auto& [arguments, said] : mistakes)
        EXPECT_EQ("2\ndrovix-command: " + said + "\n", writer.run(arguments));
    EXPECT_EQ(before, *posix::readRegularFile(writer.file, maxRecordJsonSize));
    ASSERT_FALSE(posix::replaceFile(writer.file, "{\"fields\": 1"));
    EXPECT_EQ("1\ndrovix-command: can't read the command record: command.json is not "
              "valid JSON: parse error at line 1, column 13: syntax error while parsing object - "
              "unexpected end of input; expected '}'\n",
              writer.run({"status"}));
}

} // namespace
} // namespace drovix
