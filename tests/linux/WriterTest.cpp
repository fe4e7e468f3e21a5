// drovix-command as built, run as a user runs it, on the record file of a scratch home; and what
// its status says of a record, at a fixed instant.
#include "CommandStatus.h"
#include "StandInService.h"
#include "Support.h"
#include "platform/cloudkit/CommandRecordJson.h"
#include "platform/linux/Time.h"

#include <termios.h>

#include <cstring>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>

namespace drovix {
namespace {

using namespace support;

// The exit status of a writer run in home for container iCloud.t, then every line it wrote; input,
// when given, is what the person types.
std::string runWriter(const std::string& writer, const std::string& home, Strings arguments,
                      const std::optional<std::string>& input = std::nullopt)
{
    arguments.insert(arguments.begin(), {writer, "--container", "iCloud.t"});
    if (input)
        arguments.insert(arguments.begin(),
                         {"/bin/sh", "-c", "printf %s \"$0\" | exec \"$@\"", *input});
    Child child(arguments, {"HOME=" + home});
    std::string output;
    while (const auto line = child.readLine())
        output += *line + "\n";
    const std::optional<int> status = child.reap();
    return std::to_string(status ? WEXITSTATUS(*status) : -1) + "\n" + output;
}

TEST(Writer, SendsFreshCommandsWithNewNoncesAndTheIssueTimeAskedForAndNothingByMistake)
{
    const Scratch home;
    const std::string file =
        home.path + "/.local/share/cloud/iCloud.t/private/_defaultZone/command.json";
    const auto run = [&](Strings arguments, const std::string& writer = DROVIX_COMMAND_WRITER) {
        return runWriter(writer, home.path, std::move(arguments));
    };
    EXPECT_EQ("0\nno command yet\n", run({"status"}));
    std::vector<std::string> nonces;
    for (const char* age : {"30", "-30"}) {
        EXPECT_THAT(run({"--age", age, "restart"}),
                    ::testing::ContainsRegex("^0\nwrote .*\nfresh for another "));
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
                  "\na command for Drovix itself: DrovixRescue leaves it alone\n",
              sent);
    EXPECT_THAT(run({"--help"}), ::testing::HasSubstr("/_defaultZone/command.json\n"));
    EXPECT_THAT(run({"--version"}), ::testing::HasSubstr("\nthe record: the file " + home.path));
    EXPECT_THAT(run({"--version"}, DROVIX_WEB_COMMAND_WRITER),
                ::testing::HasSubstr(" through " DROVIX_TEST_SOCKET ", container iCloud."));
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
        {{"erstat"}, unknown("erstat", " (did you mean \"restart\"?)")},
        {{"send", "Start"},
         "\"Start\" is not \"start\": DrovixRescue answers only lowercase start "
         "and restart; nothing was sent (drovix-command start)"},
        {{"sigin"}, unknown("sigin", " (did you mean \"sign-in\"?)")},
        {{"stop"}, unknown("stop", "")},
        {{"send"}, "send takes one kind (see --help)"},
        {{"status", "now"}, "status takes no more words (see --help)"},
        {{"--age", "5", "status"},
         "--nonce, --issued-at and --age are for start, restart and send"},
        {{"--age", "3s", "start"}, "--age takes a number of seconds, not \"3s\""},
        {{"--age", "-1e10", "--age", "-10000000001", "start"},
         "--age takes a number of seconds, not \"-10000000001\""},
        {{"--issued-at", "99999999999", "start"},
         "--issued-at takes milliseconds since the Unix epoch (13 digits this century), not "
         "\"99999999999\""},
        {{"sign-in"}, "this build has no CloudKit API token: there is nothing to sign in to"}};
    for (const auto& [arguments, said] : mistakes)
        EXPECT_EQ("2\ndrovix-command: " + said + "\n", run(arguments));
    EXPECT_EQ(before, *posix::readRegularFile(file, maxRecordJsonSize));

    // What can't be done is said, with exit status 1, or 2 without a home to write in.
    ASSERT_FALSE(posix::replaceFile(file, "{\"fields\": 1"));
    EXPECT_THAT(run({"status"}), ::testing::StartsWith("1\ndrovix-command: can't read the command "
                                                       "record: command.json is not valid JSON: "));
    EXPECT_EQ("2\ndrovix-command: can't read the command record: sign-in required — run "
              "drovix-command sign-in\n",
              run({"status"}, DROVIX_WEB_COMMAND_WRITER));
    EXPECT_EQ("2\ndrovix-command: sign-in required — run drovix-command sign-in\n",
              run({"start"}, DROVIX_WEB_COMMAND_WRITER));
    writeFile(home.path + "/.local/share/cloud/iCloud.x", "");
    EXPECT_EQ("1\ndrovix-command: can't create " + home.path +
                  "/.local/share/cloud/iCloud.x/private: Not a directory\n",
              run({"--container", "iCloud.x", "start"}));
    Child homeless({DROVIX_COMMAND_WRITER, "start"}, {"PATH=/bin"});
    EXPECT_EQ("drovix-command: no home folder to find the command record in", homeless.readLine());
    EXPECT_EQ(2 << 8, homeless.reap());
}

// The writer of the web services against a service that answers each request as a row says:
// "saved" (and saves), "late" (the same, by a clock 300 s ahead; "undated" with no Date to tell),
// "lost" (saves, then hangs up), "down" (hangs up), "failing" (500), "refused" (AUTHENTICATION_
// FAILED), "renewed" (saves, renews the token after a sign-in stored another), "ask" (421).
TEST(ServiceWriter, SaysWhatBecameOfEachCommandAndNeverThatItWasSentWhenItIsNotKnown)
{
    const Scratch home;
    const std::string tokenFile = home.path + "/.config/cloud/iCloud.t/web-auth-token";
    ASSERT_FALSE(posix::replaceFile(tokenFile, "s3cret-t0ken\n"));
    std::mutex mutex;
    std::istringstream replies;
    std::string record = R"({"recordName":"command","serverErrorCode":"NOT_FOUND"})";
    StandInService service(DROVIX_TEST_SOCKET, [&](const StandInRequest& request) {
        std::lock_guard lock(mutex);
        std::string reply = "down";
        replies >> reply;
        const double now = SystemClock().now() + (reply == "late" || reply == "undated" ? 300 : 0);
        if (request.target.find("/modify?") != std::string::npos &&
            std::string_view("saved late undated lost renewed").find(reply) != std::string::npos) {
            const std::string sent = request.body.substr(request.body.find("\"record\":") + 9);
            // Before the fields, which a reader must find all the same.
            record = R"({"modified":{"timestamp":)" + std::to_string(std::llround(now * 1000)) +
                     "}," + sent.substr(1, sent.rfind("}}]"));
        }
        char date[64];
        const time_t seconds = time_t(now);
        std::strftime(date, sizeof date, "Date: %a, %d %b %Y %H:%M:%S GMT\r\n",
                      std::gmtime(&seconds));
        if (reply == "undated")
            date[0] = '\0';
        // A renewal, once a sign-in stored another token meanwhile, or a sign-out removed it.
        if ((reply == "renewed" && !posix::replaceFile(tokenFile, "newer-t0ken\n")) ||
            (reply == "signed-out" && fs::remove(tokenFile)))
            std::strcpy(date, "X-Apple-CloudKit-Session: renewed\r\n");
        const std::map<std::string, std::pair<int, std::string>> answers = {
            {"failing", {500, R"({"serverErrorCode":"INTERNAL_ERROR"})"}},
            {"refused", {401, R"({"serverErrorCode":"AUTHENTICATION_FAILED"})"}},
            {"ask", {421, R"({"serverErrorCode":"AUTHENTICATION_REQUIRED","redirectURL":"x:/"})"}}};
        if (reply == "lost" || reply == "down")
            return StandInReply{0, "", "", StandInReply::reset};
        const auto found = answers.find(reply);
        return found != answers.end() ? StandInReply{found->second.first, found->second.second}
                                      : StandInReply{200, "{\"records\":[" + record + "]}", date};
    });
    const std::string fresh = "\nfresh for another 1[12]. s: a Mac running DrovixRescue acts on it "
                              "within about 10 s, or 50 s while Drovix runs\n",
                      prompt =
                          "Sign in to iCloud in a browser, at\n  x:/\nThe page the browser "
                          "ends on shows a token: copy it, paste it here and press Return\n"
                          "\\(it is not shown; the address the browser ended on works too\\):\n",
                      late = "this computer's clock is 300 s behind the service's: ";
    // Arguments, replies, what it says (a regular expression), what the person types.
    struct Row {
        std::string arguments, answers, said, typed = "";
    };
    const Row table[] = {
        {"--nonce n1 restart", "saved", "0\nsent restart to iCloud.t, nonce n1" + fresh},
        {"--nonce n2 start", "lost saved", "0\nsent start to iCloud.t, nonce n2" + fresh},
        {"restart", "lost down",
         "3\ndrovix-command: may have been sent: check `drovix-command status` before sending "
         "again \\(Empty reply from server; looking the record up failed too: Empty reply from "
         "server\\). Sending restart again reuses nonce (\\w+), so that an agent acts on it at "
         "most once\n"},
        {"restart", "saved", "0\nsent restart to iCloud.t, nonce (\\w+)" + fresh},
        {"--nonce n3 restart", "failing saved",
         "1\ndrovix-command: the command was not saved: INTERNAL_ERROR, and the record holds "
         "another command\n"},
        {"--nonce n4 restart", "refused",
         "1\ndrovix-command: the command was not saved: AUTHENTICATION_FAILED — run "
         "drovix-command sign-in\n"},
        {"restart", "undated late",
         "0\ndrovix-command: " + late +
             "the command is dated by the service's clock\nsent "
             "restart to iCloud.t, nonce (\\w+)" +
             fresh},
        {"status", "late",
         "0\ndrovix-command: this computer's clock is (?:299|300) s behind the service's: "
         "ages are counted on the service's clock\nrestart, "
         "nonce (\\w+)\nissued .*, (?:in )?. s(?: ago)?" +
             fresh},
        {"status", "down",
         "1\ndrovix-command: can't read the command record: Empty reply from server\n"},
        {"status", "signed-out", "0\nrestart, nonce \\w+\nissued .*\n.*\n"},
        {"sign-in", "saved",
         "1\ndrovix-command: the service gave no sign-in address: it answered without one\n"},
        {"sign-in", "ask",
         "2\n" + prompt +
             "drovix-command: no web auth token came: nothing was signed in, and "
             "the stored token is as it was\n",
         "\n"},
        {"sign-in", "ask saved",
         "0\n" + prompt +
             "drovix-command: that holds no web auth token: paste the token the "
             "page shows, or the whole address\nsigned in; the token is in " +
             tokenFile + "\n",
         "https://x.test/cb?code=1\nhttps://x.test/?ckSession=o%2Bk\n"},
        {"--nonce n7 restart", "other saved",
         "1\ndrovix-command: the command was not saved: the service answered with another record, "
         "and the record holds another command\n"},
        {"--nonce n6 start", "renewed", "0\nsent start to iCloud.t, nonce n6" + fresh},
        {"sign-in", "ask refused",
         "1\n" + prompt +
             "drovix-command: nothing was signed in, and the stored token is as it "
             "was: the service does not accept that token \\(AUTHENTICATION_FAILED\\)\n",
         "q\n"},
    };
    const auto answering = [&](const char* answers) {
        std::lock_guard lock(mutex);
        replies = std::istringstream(answers);
    };
    std::vector<std::string> nonces;
    for (const auto& [arguments, answers, said, typed] : table) {
        answering(answers.c_str());
        std::istringstream words(arguments);
        const std::string output = runWriter(DROVIX_WEB_COMMAND_WRITER, home.path,
                                             Strings(std::istream_iterator<std::string>(words), {}),
                                             typed.empty() ? std::nullopt : std::optional(typed));
        std::smatch match;
        EXPECT_TRUE(std::regex_match(output, match, std::regex(said))) << output;
        nonces.push_back(match.size() > 1 ? match[1].str() : "");
        std::string left;
        EXPECT_FALSE(replies >> left) << output << " left " << left;
    }
    // Sent again after a doubt, a command keeps its nonce; corrected, too.
    EXPECT_EQ(nonces[2], nonces[3]);
    EXPECT_EQ(nonces[6], nonces[7]);
    // Neither a renewal of the token it replaced nor a token refused replaced a sign-in's.
    EXPECT_EQ("newer-t0ken\n", *posix::readRegularFile(tokenFile, 100));

    // On a terminal the token is not shown, and echo is back whether a token or a signal ends it.
    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_TRUE(terminal >= 0 && ::grantpt(terminal) == 0 && ::unlockpt(terminal) == 0);
    const posix::FileDescriptor typist(terminal), side(::open(::ptsname(terminal), O_RDWR));
    auto echoes = [&, t = termios{}]() mutable {
        return ::tcgetattr(side.get(), &t) == 0 && (t.c_lflag & ECHO);
    };
    for (const int signal : {0, SIGTERM}) {
        answering(signal ? "ask" : "ask saved");
        Child writer({"/bin/sh", "-c", "exec \"$@\" <\"$0\"", ::ptsname(terminal),
                      DROVIX_WEB_COMMAND_WRITER, "--container", "iCloud.t", "sign-in"},
                     {"HOME=" + home.path});
        for (int wait = 0; echoes() && wait < 1500; ++wait)
            std::this_thread::sleep_for(10ms);
        signal ? ::kill(writer.pid(), signal) : int(::write(typist.get(), "typed-t0ken\n", 12));
        const int status = writer.reap().value_or(-1);
        EXPECT_EQ(signal, WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
        char shown = 0;
        EXPECT_TRUE(echoes() && ::read(terminal, &shown, 1) < 0) << "echoed: " << shown;
    }
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
        {record("restart"), 179.9, "restart|179 s ago|" + stale},
        {record("restart"), 180, "restart|3 min ago|" + stale},
        {record("restart"), 7199.5, "restart|120 min ago|" + stale},
        {record("restart"), 7200, "restart|2 h ago|" + stale},
        {record("restart"), 3 * 86400.0, "restart|3 days ago|" + stale},
        {record("restart"), -599.5, "restart|in 10 min|" + ahead + "479 s"},
        {record("Restart"), 0, "Restart|0 s ago|" + drovixOwn},
        // The first second of the calendar, its last, and the first past it, as now.
        {record("start", -62167219200.0), -62167219200.0 - at,
         "start, nonce n1\nissued 0000-01-01T00:00:00+00:00, 0 s ago\nfresh for another 120" +
             fresh},
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
