// Helpers for the Linux layer's tests.
#include "LinuxTestSupport.h"

#include "platform/linux/BundlePaths.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace drovix::testing {

namespace {

// A sample application left behind by a crashed test ends by itself.
constexpr unsigned childLifetimeSeconds = 120;

[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error(what + ": " + posix::errorText(errno));
}

bool waitReadable(int fd, std::chrono::milliseconds timeout)
{
    pollfd entry{fd, POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() < 0)
            return false;
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

} // namespace

std::optional<int> runAsChildIfAsked(const char* program)
{
    // The path the child was started by, not /proc/self/exe: a test may replace the file on
    // disk before the child gets here.
    const std::string_view path = program ? program : "";
    if (!bundleOfExecutable(path))
        return std::nullopt;
    const std::string_view name = path.substr(path.rfind('/') + 1);
    if (name == exitingChild)
        return 0;
    if (name != waitingChild && name != stubbornChild)
        return std::nullopt;
    ::alarm(childLifetimeSeconds);
    if (name == stubbornChild) {
        ::signal(SIGTERM, SIG_IGN);
        (void)!::write(STDOUT_FILENO, "ready\n", 6);
    }
    for (;;)
        ::pause();
}

TempFolder::TempFolder()
{
    const char* base = ::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/drovix-linux-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        fail("mkdtemp");
    // As the kernel reports paths: with symbolic links resolved.
    path_ = std::filesystem::canonical(pattern).string();
}

TempFolder::~TempFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out)
        throw std::runtime_error("can't write " + path);
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void makeFolders(const std::string& path)
{
    std::filesystem::create_directories(path);
}

std::string infoPlist(std::optional<std::string> identifier, std::optional<std::string> executable)
{
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                       "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                       "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                       "<plist version=\"1.0\">\n<dict>\n";
    if (identifier)
        text += "\t<key>CFBundleIdentifier</key>\n\t<string>" + *identifier + "</string>\n";
    if (executable)
        text += "\t<key>CFBundleExecutable</key>\n\t<string>" + *executable + "</string>\n";
    return text + "</dict>\n</plist>\n";
}

std::string makeBundle(const std::string& folder, const std::string& name,
                       const std::string& identifier, const std::string& executable,
                       bool withProgram)
{
    const std::string bundle = folder + "/" + name;
    makeFolders(bundle + "/Contents/MacOS");
    writeFile(bundle + "/Contents/Info.plist", infoPlist(identifier, executable));
    if (withProgram) {
        // A copy, not a link: the kernel reports a linked executable under its real path.
        const posix::Result<std::string> self = posix::readLink("/proc/self/exe");
        if (!self)
            throw std::runtime_error(self.error());
        std::filesystem::copy_file(*self, bundle + "/Contents/MacOS/" + executable,
                                   std::filesystem::copy_options::overwrite_existing);
    }
    return bundle;
}

bool eventually(const std::function<bool()>& check, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!check()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool waitForExit(int pidfd, std::chrono::milliseconds timeout)
{
    return waitReadable(pidfd, timeout);
}

ChildProcess::ChildProcess(const std::string& program, bool captureOutput,
                           std::optional<uid_t> user)
{
    if (user) {
        startAs(program, *user);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix::FileDescriptor writer;
    if (captureOutput) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            fail("pipe2");
        output_.reset(ends[0]);
        writer.reset(ends[1]);
        posix_spawn_file_actions_adddup2(&actions, writer.get(), STDOUT_FILENO);
    }
    char* const arguments[] = {const_cast<char*>(program.c_str()), nullptr};
    const int error = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        errno = error;
        fail("posix_spawn " + program);
    }
    // Safe: the child is not reaped before this.
    pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
    if (!pidfd_.valid())
        fail("pidfd_open");
}

void ChildProcess::startAs(const std::string& program, uid_t user)
{
    const char* path = program.c_str();
    char* const arguments[] = {const_cast<char*>(path), nullptr};
    pid_ = ::fork();
    if (pid_ < 0)
        fail("fork");
    if (pid_ == 0) {
        // System calls only: this is a child of a process with threads.
        if (::setgid(user) != 0 || ::setuid(user) != 0)
            ::_exit(126);
        ::execve(path, arguments, environ);
        ::_exit(127);
    }
    pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
    if (!pidfd_.valid())
        fail("pidfd_open");
}

ChildProcess::~ChildProcess()
{
    if (reaped_)
        return;
    ::syscall(SYS_pidfd_send_signal, pidfd_.get(), SIGKILL, nullptr, 0);
    reap();
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout)
{
    std::string line;
    char c = 0;
    while (waitReadable(output_.get(), timeout) && ::read(output_.get(), &c, 1) == 1) {
        if (c == '\n')
            return line;
        line += c;
    }
    return std::nullopt;
}

std::optional<int> ChildProcess::reap(std::chrono::milliseconds timeout)
{
    if (reaped_ || !waitReadable(pidfd_.get(), timeout))
        return std::nullopt;
    int status = 0;
    if (posix::retryOnInterrupt([&] { return ::waitpid(pid_, &status, 0); }) != pid_)
        return std::nullopt;
    reaped_ = true;
    return status;
}

bool ChildProcess::waitUntilEnded(std::chrono::milliseconds timeout)
{
    return waitReadable(pidfd_.get(), timeout);
}

std::vector<pid_t> zombieChildren()
{
    std::vector<pid_t> zombies;
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return zombies;
    while (const dirent* entry = ::readdir(proc)) {
        const std::string stat = readFile(std::string("/proc/") + entry->d_name + "/stat");
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        char state = 0;
        int parent = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) == 2 && state == 'Z' &&
            parent == ::getpid())
            zombies.push_back(std::atoi(entry->d_name));
    }
    ::closedir(proc);
    std::sort(zombies.begin(), zombies.end());
    return zombies;
}

} // namespace drovix::testing
