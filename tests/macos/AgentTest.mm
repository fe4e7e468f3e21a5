// On a Mac, as LaunchServices runs them: the agent of the record file, opened with open inside the
// Cocoa sample Drovix of this build tree's identifier, opens Drovix when none runs, restarts one
// that quits when asked and one that must be forced, and acts on a nonce once.
#include "platform/cloudkit/CommandRecordJson.h"
#include "platform/posix/CommandRecordFileStore.h"

#import <AppKit/AppKit.h>
#include <gmock/gmock.h>

#include <filesystem>
#include <sstream>

namespace drovix {
namespace {

using namespace std::chrono;
using testing::AllOf, testing::Ge, testing::Lt, testing::MatchesRegex;
const std::string drovix = DROVIX_TEST_IDENTIFIER, rescue = drovix + ".Rescue";
const std::string sample = DROVIX_SAMPLE_BUNDLE, marker = "] DrovixRescue: ";

NSString* text(const std::string& bytes)
{
    return @(bytes.c_str());
}

// What a program says on standard output, once it ended; nothing when it failed.
std::string output(NSString* program, NSArray<NSString*>* arguments)
{
    NSTask* task = [[NSTask alloc] init];
    task.executableURL = [NSURL fileURLWithPath:program], task.arguments = arguments;
    task.standardOutput = [NSPipe pipe];
    if (![task launchAndReturnError:nil])
        return "";
    NSData* data = [[task.standardOutput fileHandleForReading] readDataToEndOfFile];
    [task waitUntilExit];
    return task.terminationStatus ? ""
                                  : std::string(static_cast<const char*>(data.bytes), data.length);
}

// The pids of an application's instances a moment from now; with end, each is forced to quit.
std::vector<pid_t> running(const std::string& identifier, bool end = false)
{
    [NSRunLoop.currentRunLoop runUntilDate:[NSDate dateWithTimeIntervalSinceNow:0.2]];
    std::vector<pid_t> pids;
    for (NSRunningApplication* instance in
         [NSRunningApplication runningApplicationsWithBundleIdentifier:text(identifier)])
        if (pids.push_back(instance.processIdentifier); end)
            [instance forceTerminate];
    return pids;
}

TEST(MacAgentTest, OpensRestartsAndForcesDrovix)
{
    ASSERT_TRUE(running(drovix).empty() && running(rescue).empty())
        << "this tree's sample Drovix or agent runs already, from a run cut short";
    const std::string scratch = std::filesystem::canonical(
        ::mkdtemp((std::filesystem::temp_directory_path() / "drovix-XXXXXX").string().data()));
    const std::string behaviour = sample + "/Contents/Resources/behaviour", log = scratch + "/log";
    const char* source = "nowhere";
    const std::shared_ptr<void> cleanup(nullptr, [&](void*) {
        running(drovix, true), running(rescue, true);
        std::filesystem::remove_all(scratch), std::filesystem::remove(behaviour);
        std::printf("The agent's lines were read from %s.\n", source);
    });
    const auto send = [&](const std::string& kind, const std::string& nonce) {
        const auto path = commandRecordPath("iCloud." + drovix, scratch.c_str(), nullptr);
        const auto now = system_clock::now().time_since_epoch() / 1ms;
        EXPECT_FALSE(posix::replaceFile(*path, commandRecordJson(kind, nonce, now)));
    };
    send("start", "first");
    output(@"/usr/bin/open", @[
        @"-n", @"--env", text("XDG_DATA_HOME=" + scratch), @"--stderr", text(log),
        text(sample + "/Contents/Library/LoginItems/DrovixRescue.app")
    ]);
    pid_t agent = 0;
    for (int look = 0; look < 50 && agent == 0; ++look)
        for (const pid_t pid : running(rescue))
            agent = pid;
    ASSERT_NE(0, agent) << "no agent runs after open";
    // The next line, "DrovixRescue: ...", and its time of day in seconds. NSLog writes to standard
    // error, here a file, unless this Mac keeps the lines to its unified log alone.
    std::size_t read = 0;
    const auto next = [&]() -> std::pair<double, std::string> {
        for (const auto end = steady_clock::now() + 70s; steady_clock::now() < end;) {
            const posix::Result<std::string> file = posix::readRegularFile(log, 1 << 20);
            const bool inFile = file && file->find(marker) != std::string::npos;
            source = inFile ? "standard error" : "the unified log (log show)";
            std::istringstream lines(inFile ? *file : output(@"/usr/bin/log", @[
                @"show", @"--style", @"compact", @"--last", @"10m", @"--predicate",
                text("processIdentifier == " + std::to_string(agent))
            ]));
            std::size_t index = 0;
            for (std::string line; std::getline(lines, line);)
                if (line.find(marker) != std::string::npos && index++ == read) {
                    int hours = 0, minutes = 0;
                    double at = 0;
                    std::sscanf(line.c_str() + 11, "%d:%d:%lf", &hours, &minutes, &at), ++read;
                    return {hours * 3600 + minutes * 60 + at, line.substr(line.find(marker) + 2)};
                }
            [NSRunLoop.currentRunLoop runUntilDate:[NSDate dateWithTimeIntervalSinceNow:0.5]];
        }
        return {0, "(no line for 70 s)"};
    };
    EXPECT_THAT(next().second, MatchesRegex("DrovixRescue: acting on start \\([0-9]+s old\\)"));
    EXPECT_EQ("DrovixRescue: started Drovix", next().second);
    // While Drovix runs the agent reads the record every 50 s or so: a restart of one that quits
    // when asked, then of one that refuses and is forced after ten waits of a second.
    for (const std::string word : {"obedient", "stubborn"}) {
        const std::vector<pid_t> before = running(drovix);
        ASSERT_EQ(1u, before.size());
        EXPECT_FALSE(posix::replaceFile(behaviour, word));
        send("restart", word);
        EXPECT_THAT(next().second,
                    MatchesRegex("DrovixRescue: acting on restart \\([0-9]+s old\\)"));
        auto [asked, restarting] = next();
        EXPECT_EQ("DrovixRescue: restarting Drovix (1 running)", restarting);
        if (word == "stubborn") {
            const auto [forced, forcing] = next();
            EXPECT_EQ("DrovixRescue: Drovix wouldn't quit, forcing it", forcing);
            EXPECT_THAT(forced - asked, AllOf(Ge(9.9), Lt(11.5)));
            asked = forced;
        }
        const auto [started, line] = next();
        EXPECT_EQ("DrovixRescue: started Drovix", line);
        EXPECT_THAT(started - asked, AllOf(Ge(0.9), Lt(5.0))); // a wait, then the open
        const std::vector<pid_t> after = running(drovix);
        EXPECT_TRUE(after.size() == 1 && after != before) << "no new Drovix";
    }
    send("restart", "stubborn"); // fresh again, with the nonce acted on
    EXPECT_EQ("DrovixRescue: standing by, already acted on command stubborn", next().second);
}

} // namespace
} // namespace drovix
