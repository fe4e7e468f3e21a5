// What the tests on real processes share: scratch folders, sample bundles, child processes.
#pragma once

#include "platform/CommandRecordStore.h"
#include "platform/linux/MainThread.h"
#include "platform/linux/ProcessTable.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace drovix::support {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

// The main application of this build tree's agent under test, not the shipping one.
inline const std::string testIdentifier = DROVIX_TEST_IDENTIFIER;

// Whether fd turns readable within 15 s: a pipe has data, a pidfd's process ended.
inline bool readable(int fd)
{
    pollfd entry{fd, POLLIN, 0};
    return posix::retryOnInterrupt([&] { return ::poll(&entry, 1, 15'000); }) > 0;
}

// What one fetch from a store on loop ends in: "kind|nonce|issuedAt" ("-" for an absent field),
// "none", or the failure; "at once: " before it when the completion ran inside the fetch.
inline std::string fetched(MainLoop& loop, CommandRecordStore& store)
{
    std::optional<std::string> outcome;
    store.fetchCommandRecord([&](std::optional<CommandRecord> got, std::optional<std::string> e) {
        const std::string at = got && got->issuedAt ? std::to_string(int(*got->issuedAt)) : "-";
        outcome = got ? got->kind.value_or("-") + "|" + got->nonce.value_or("-") + "|" + at
                      : e.value_or("none");
        loop.quit();
    });
    if (outcome)
        return "at once: " + *outcome;
    for (int wait = 0; !outcome && wait < 200; ++wait) {
        loop.sleep(0.05, [&](SleepOutcome) { loop.quit(); });
        loop.run();
    }
    return outcome.value_or("no completion");
}

inline void writeFile(const std::string& path, const std::string& bytes)
{
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string infoPlist(const std::string& identifier, const std::string& executable)
{
    return "<?xml version=\"1.0\"?>\n<plist><dict><key>CFBundleIdentifier</key><string>" +
           identifier + "</string><key>CFBundleExecutable</key><string>" + executable +
           "</string></dict></plist>";
}

// A fresh folder, its path canonical as the kernel reports paths; it goes with what runs from it.
struct Scratch {
    explicit Scratch(const fs::path& in = fs::temp_directory_path())
        : path(fs::canonical(::mkdtemp((in / "drovix-XXXXXX").string().data())))
    {
    }
    ~Scratch()
    {
        // Only what runs from here, as its executable says, whatever the scan returned.
        for (const auto& process : bundleProcesses([&](auto& b) { return b.starts_with(path); })) {
            const auto exe = posix::readLink("/proc/" + std::to_string(process->pid()) + "/exe");
            if (exe && exe->starts_with(path + "/"))
                process->forceTerminate(), readable(process->pidfd());
        }
        fs::remove_all(path);
    }
    const std::string path;
    // path/name/Contents/MacOS/Drovix, for a bundle name or a bundle path.
    std::string program(const std::string& name) const
    {
        return (name.starts_with("/") ? name : path + "/" + name) + "/Contents/MacOS/Drovix";
    }
    // A bundle holding a copy of the sample Drovix (not a link: the kernel reports the target)
    // and the word that chooses its behaviour. Returns its path.
    std::string bundle(const std::string& name, const std::string& identifier,
                       const std::string& behaviour = "") const
    {
        writeFile(path + "/" + name + "/Contents/Info.plist", infoPlist(identifier, "Drovix"));
        writeFile(path + "/" + name + "/Contents/Resources/behaviour", behaviour);
        fs::create_directories(path + "/" + name + "/Contents/MacOS");
        fs::copy_file(DROVIX_SAMPLE, program(name), fs::copy_options::overwrite_existing);
        return path + "/" + name;
    }
};

// A process the test started, its output in a pipe; killed and reaped through its pidfd.
class Child {
public:
    explicit Child(const Strings& argv, Strings environment = {}, std::optional<uid_t> user = {})
    {
        if (environment.empty()) // instances that a crashed test leaves end by themselves
            environment = {"DROVIX_SAMPLE_LIFETIME=60", "HOME=/"};
        // Only system calls between fork and exec: the test has threads.
        const auto pointers = [](auto& texts) {
            std::vector<char*> out;
            for (auto& text : texts)
                out.push_back(const_cast<char*>(text.c_str()));
            return out.push_back(nullptr), out;
        };
        std::vector<char*> arguments = pointers(argv), variables = pointers(environment);
        int ends[2];
        EXPECT_EQ(0, ::pipe2(ends, O_CLOEXEC));
        output_.reset(ends[0]);
        const posix::FileDescriptor writer(ends[1]);
        const pid_t parent = ::getpid();
        // It dies with the test (a change of user would undo that, so it comes after) and holds
        // none of the descriptors that the test inherited.
        if ((pid_ = ::fork()) == 0 && ::dup2(ends[1], 1) == 1 && ::dup2(ends[1], 2) == 2 &&
            (!user || (::setgid(*user) == 0 && ::setuid(*user) == 0)) &&
            ::prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && ::getppid() == parent &&
            ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
            ::execve(arguments[0], arguments.data(), variables.data());
        if (pid_ == 0)
            ::_exit(127);
        pidfd_.reset(int(::syscall(SYS_pidfd_open, pid_, 0)));
    }
    ~Child() { ::syscall(SYS_pidfd_send_signal, pidfd_.get(), SIGKILL, nullptr, 0), reap(); }
    pid_t pid() const { return pid_; }
    std::optional<std::string> readLine()
    {
        char c = 0;
        std::string line;
        while (readable(output_.get()) && ::read(output_.get(), &c, 1) == 1 && c != '\n')
            line += c;
        return c == '\n' ? std::optional(line) : std::nullopt;
    }
    // The pid a sample Drovix says once it is ready: "Drovix: running as pid N...".
    pid_t ready()
    {
        return pid_t(std::atol(readLine().value_or(std::string(23, ' ')).c_str() + 23));
    }
    // The wait status once it ended, absent after 15 s; unreaped, it stays a zombie.
    std::optional<int> reap(bool reap = true)
    {
        int status = 0;
        if (reaped_ || !readable(pidfd_.get()) || (reap && ::waitpid(pid_, &status, 0) != pid_))
            return std::nullopt;
        reaped_ = reap;
        return status;
    }

private:
    pid_t pid_ = -1;
    posix::FileDescriptor pidfd_, output_;
    bool reaped_ = false;
};

} // namespace drovix::support
