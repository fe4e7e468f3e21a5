// Running applications against real processes: the /proc scan, signals through pidfds, and
// opening bundles (one instance, detached, no zombie, clear errors). The sample application is
// a copy of this test executable placed in a bundle.
#include "LinuxTestSupport.h"
#include "platform/linux/ProcessTable.h"
#include "platform/linux/AppWorkspace.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <vector>

namespace drovix {
namespace {

using testing::ChildProcess;
using testing::TempFolder;

std::string uniqueIdentifier(const std::string& test)
{
    return "org.example.drovix-test." + test + "." + std::to_string(::getpid());
}

std::string executableOf(const std::string& bundle, const std::string& name)
{
    return bundle + "/Contents/MacOS/" + name;
}

template <typename Handle>
std::vector<pid_t> pidsOf(const std::vector<std::unique_ptr<Handle>>& applications)
{
    std::vector<pid_t> pids;
    for (const auto& application : applications)
        pids.push_back(dynamic_cast<const BundleProcess&>(*application).pid());
    return pids;
}

std::vector<std::unique_ptr<BundleProcess>> processesOf(const std::string& bundle)
{
    return bundleProcesses([&](const std::string& running) { return running == bundle; });
}

// Ends whatever still runs from the bundle when the test is over, pass or fail.
class BundleCleanup {
public:
    explicit BundleCleanup(std::string bundle) : bundle_(std::move(bundle)) {}
    ~BundleCleanup()
    {
        for (const auto& process : processesOf(bundle_)) {
            process->forceTerminate();
            testing::waitForExit(process->pidfd());
        }
    }

private:
    std::string bundle_;
};

TEST(ProcessStatus, ReadsStateAndRealUser)
{
    const auto status = parseProcessStatus("Name:\tx\nState:\tS (sleeping)\nTgid:\t7\n"
                                           "Uid:\t1000\t0\t0\t0\nGid:\t1\t1\t1\t1\n");
    ASSERT_TRUE(status);
    EXPECT_EQ('S', status->state);
    EXPECT_EQ(1000u, status->realUid);
    EXPECT_EQ('Z', parseProcessStatus("State:\tZ (zombie)\nUid:\t0\t0\t0\t0")->state);
    EXPECT_FALSE(parseProcessStatus("State:\tR (running)\n"));
    EXPECT_FALSE(parseProcessStatus("Uid:\t0\t0\t0\t0\n"));
    EXPECT_FALSE(parseProcessStatus("State:\tR\nUid:\tx\n"));
    EXPECT_FALSE(parseProcessStatus(""));
}

TEST(RunningApplications, ListsLiveProcessesOfThisUserRunningFromBundlesWithTheIdentifier)
{
    TempFolder folder;
    const std::string wanted = uniqueIdentifier("scan");
    const std::string other = wanted + ".other";
    const std::string a =
        testing::makeBundle(folder.path(), "A.app", wanted, testing::waitingChild);
    const std::string b = testing::makeBundle(folder.path(), "B.app", other, testing::waitingChild);
    const std::string z =
        testing::makeBundle(folder.path(), "Z.app", wanted, testing::exitingChild);
    const std::string r =
        testing::makeBundle(folder.path(), "R.app", wanted, testing::waitingChild);

    ChildProcess first(executableOf(a, testing::waitingChild));
    ChildProcess second(executableOf(a, testing::waitingChild));
    ChildProcess elsewhere(executableOf(b, testing::waitingChild));
    ChildProcess zombie(executableOf(z, testing::exitingChild));
    ChildProcess replaced(executableOf(r, testing::waitingChild));
    ASSERT_TRUE(zombie.waitUntilEnded());

    // An update replaces the program on disk while it runs: the kernel then reports its
    // executable as ".../R (deleted)".
    const std::string replacedPath = executableOf(r, testing::waitingChild);
    ASSERT_EQ(0, ::unlink(replacedPath.c_str()));
    testing::makeBundle(folder.path(), "R.app", wanted, testing::waitingChild);
    ASSERT_TRUE(posix::readLink("/proc/" + std::to_string(replaced.pid()) + "/exe")
                    ->ends_with(" (deleted)"));

    std::optional<ChildProcess> otherUser;
    if (::getuid() == 0) {
        // Root can start the sample as nobody, which must not count as the agent's user.
        ASSERT_EQ(0, ::chmod(folder.path().c_str(), 0755));
        otherUser.emplace(executableOf(a, testing::waitingChild), false, 65534);
        ASSERT_TRUE(testing::eventually([&] {
            const auto link = posix::readLink("/proc/" + std::to_string(otherUser->pid()) + "/exe");
            return link && link->ends_with(testing::waitingChild);
        }));
    }

    LinuxWorkspace workspace;
    std::vector<pid_t> expected{first.pid(), second.pid(), replaced.pid()};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, pidsOf(workspace.runningApplications(wanted)));
    EXPECT_EQ(std::vector<pid_t>{elsewhere.pid()}, pidsOf(workspace.runningApplications(other)));
    EXPECT_TRUE(workspace.runningApplications(uniqueIdentifier("none")).empty());

    // Once the ones of the identifier are gone, the list is empty: nothing is remembered.
    for (ChildProcess* child : {&first, &second, &replaced})
        ::kill(child->pid(), SIGKILL), child->reap();
    EXPECT_TRUE(workspace.runningApplications(wanted).empty());
}

TEST(RunningApplications, SignalOnlyTheProcessTheyWereMadeFor)
{
    TempFolder folder;
    const std::string plain = testing::makeBundle(folder.path(), "Plain.app",
                                                  uniqueIdentifier("plain"), testing::waitingChild);
    const std::string stubborn = testing::makeBundle(
        folder.path(), "Stubborn.app", uniqueIdentifier("stubborn"), testing::stubbornChild);

    ChildProcess quitting(executableOf(plain, testing::waitingChild));
    auto handles = processesOf(plain);
    ASSERT_EQ(1u, handles.size());
    handles[0]->terminate();
    const std::optional<int> quit = quitting.reap();
    ASSERT_TRUE(quit);
    EXPECT_TRUE(WIFSIGNALED(*quit) && WTERMSIG(*quit) == SIGTERM);
    // Reaped: its pid may go to anyone now, but the handle can no longer reach it.
    EXPECT_EQ(ESRCH, handles[0]->sendSignal(SIGTERM));

    ChildProcess refusing(executableOf(stubborn, testing::stubbornChild), true);
    ASSERT_EQ("ready", refusing.readLine());
    handles = processesOf(stubborn);
    ASSERT_EQ(1u, handles.size());
    handles[0]->terminate();
    handles[0]->forceTerminate();
    const std::optional<int> forced = refusing.reap();
    ASSERT_TRUE(forced);
    EXPECT_TRUE(WIFSIGNALED(*forced) && WTERMSIG(*forced) == SIGKILL)
        << "the SIGTERM should have been ignored";
}

// Opens and waits for the completion; absent when it did not come in time.
std::optional<std::optional<std::string>> openAndWait(LinuxWorkspace& workspace,
                                                      const std::string& path)
{
    auto done = std::make_shared<std::promise<std::optional<std::string>>>();
    workspace.openApplication(
        AppUrl{path}, OpenConfiguration{},
        [done](std::optional<std::string> error) { done->set_value(std::move(error)); });
    auto result = done->get_future();
    if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready)
        return std::nullopt;
    return result.get();
}

std::vector<std::string> descriptorsOf(pid_t pid)
{
    std::vector<std::string> names;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string statusLine(pid_t pid, const std::string& key)
{
    const std::string status = testing::readFile("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("\n" + key + ":\t");
    if (at == std::string::npos)
        return {};
    const std::size_t start = at + key.size() + 3;
    return status.substr(start, status.find('\n', start) - start);
}

TEST(OpenApplication, StartsOneDetachedInstanceAndNoneWhileItRuns)
{
    TempFolder folder;
    const std::string bundle = testing::makeBundle(folder.path(), "Sample.app",
                                                   uniqueIdentifier("open"), testing::waitingChild);
    const BundleCleanup cleanup(bundle);
    LinuxWorkspace workspace;

    // The agent ignores SIGPIPE and may hold descriptors from its own parent that are not
    // close-on-exec; the application must inherit neither.
    const posix::FileDescriptor inherited(::open("/dev/null", O_RDONLY));
    ASSERT_TRUE(inherited.valid());
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &previous);
    auto opening = std::async(std::launch::async, [&] { return openAndWait(workspace, bundle); });
    const auto first = openAndWait(workspace, bundle);
    const auto second = opening.get();
    ::sigaction(SIGPIPE, &previous, nullptr);
    ASSERT_TRUE(first && second) << "an open did not complete";
    EXPECT_EQ(std::nullopt, *first);
    EXPECT_EQ(std::nullopt, *second);

    auto running = processesOf(bundle);
    ASSERT_EQ(1u, running.size()) << "two opens at once must start one instance";
    const pid_t pid = running[0]->pid();
    EXPECT_EQ(pid, ::getsid(pid)) << "not in a session of its own";
    EXPECT_NE(std::to_string(::getpid()), statusLine(pid, "PPid")) << "still our child";
    // The dynamic loader briefly holds a library open while the program starts; an inherited
    // descriptor would stay.
    const std::vector<std::string> standardOnly{"0", "1", "2"};
    EXPECT_TRUE(testing::eventually([&] { return descriptorsOf(pid) == standardOnly; },
                                    std::chrono::seconds(2)))
        << "open descriptors: " << ::testing::PrintToString(descriptorsOf(pid));
    const std::string proc = "/proc/" + std::to_string(pid);
    for (const std::string& stream : standardOnly)
        EXPECT_EQ("/dev/null", *posix::readLink(proc + "/fd/" + stream));
    EXPECT_EQ("/", *posix::readLink(proc + "/cwd"));
    EXPECT_EQ("0000000000000000", statusLine(pid, "SigIgn"));

    const auto again = openAndWait(workspace, bundle);
    ASSERT_TRUE(again);
    EXPECT_EQ(std::nullopt, *again);
    EXPECT_EQ(std::vector<pid_t>{pid}, pidsOf(processesOf(bundle)));

    running[0]->terminate();
    ASSERT_TRUE(testing::waitForExit(running[0]->pidfd()));
    EXPECT_TRUE(processesOf(bundle).empty());
    EXPECT_TRUE(testing::zombieChildren().empty());
    EXPECT_EQ(-1, ::waitpid(-1, nullptr, WNOHANG));
    EXPECT_EQ(ECHILD, errno) << "the agent kept a child process";
}

TEST(OpenApplication, SaysWhatIsWrongWithABundleItCannotStart)
{
    TempFolder folder;
    const std::string base = folder.path();
    const std::string identifier = uniqueIdentifier("broken");
    LinuxWorkspace workspace;
    const auto failure = [&](const std::string& path) {
        const auto outcome = openAndWait(workspace, path);
        EXPECT_TRUE(outcome) << "no completion for " << path;
        return outcome && *outcome ? **outcome : std::string("(no error)");
    };

    EXPECT_EQ(base + "/Missing.app doesn't exist", failure(base + "/Missing.app"));

    testing::writeFile(base + "/File.app", "");
    EXPECT_EQ(base + "/File.app is no application bundle", failure(base + "/File.app"));

    testing::makeFolders(base + "/Empty.app/Contents");
    EXPECT_EQ(base + "/Empty.app has no readable Contents/Info.plist: No such file or directory",
              failure(base + "/Empty.app"));

    testing::makeFolders(base + "/Garbage.app/Contents");
    testing::writeFile(base + "/Garbage.app/Contents/Info.plist", "garbage");
    EXPECT_EQ(base + "/Garbage.app has no readable Contents/Info.plist: not a property list",
              failure(base + "/Garbage.app"));

    for (const std::string name : {"Nameless", "Escaping"}) {
        const std::string bundle = base + "/" + name + ".app";
        testing::makeFolders(bundle + "/Contents");
        testing::writeFile(bundle + "/Contents/Info.plist",
                           testing::infoPlist(identifier, name == "Escaping"
                                                              ? std::optional<std::string>("../x")
                                                              : std::nullopt));
        EXPECT_EQ(bundle + " has no usable CFBundleExecutable in Contents/Info.plist",
                  failure(bundle));
    }

    const std::string gone = testing::makeBundle(base, "Gone.app", identifier, "Gone", false);
    EXPECT_EQ(gone + " has no executable Contents/MacOS/Gone", failure(gone));

    const std::string locked = testing::makeBundle(base, "Locked.app", identifier, "Locked", false);
    testing::writeFile(executableOf(locked, "Locked"), "#!/bin/sh\n");
    ASSERT_EQ(0, ::chmod(executableOf(locked, "Locked").c_str(), 0644));
    EXPECT_EQ(executableOf(locked, "Locked") + " can't be started: Permission denied",
              failure(locked));

    const std::string junk = testing::makeBundle(base, "Junk.app", identifier, "Junk", false);
    testing::writeFile(executableOf(junk, "Junk"), "no program at all");
    ASSERT_EQ(0, ::chmod(executableOf(junk, "Junk").c_str(), 0755));
    EXPECT_EQ(executableOf(junk, "Junk") + " can't be started: Exec format error", failure(junk));

    EXPECT_TRUE(testing::zombieChildren().empty());
}

} // namespace
} // namespace drovix
