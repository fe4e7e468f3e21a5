// The /proc scan behind the list of running applications, and pidfd signalling.
#include "platform/linux/ProcessTable.h"

#include "platform/linux/BundlePaths.h"

#include <dirent.h>
#include <limits.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <limits>

namespace drovix {

namespace {

constexpr std::size_t statusFileLimit = 64 * 1024;

// Through syscall(), so that the C library need not know these calls.
int openPidfd(pid_t pid)
{
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

int signalPidfd(int pidfd, int signal)
{
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

std::vector<pid_t> listedPids()
{
    const posix::Directory proc(::opendir("/proc"));
    if (!proc)
        return {};
    std::vector<pid_t> pids;
    while (const dirent* entry = ::readdir(proc.get())) {
        const std::string_view name = entry->d_name;
        pid_t pid = 0;
        const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
        if (error == std::errc() && end == name.data() + name.size() && pid > 0)
            pids.push_back(pid);
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}

// "/proc/<pid>/<leaf>", built in place: the scan makes one for every process on the machine.
class ProcPath {
public:
    ProcPath(pid_t pid, std::string_view leaf)
    {
        constexpr std::string_view prefix = "/proc/";
        char* out = std::copy(prefix.begin(), prefix.end(), text_);
        out = std::to_chars(out, text_ + sizeof text_, pid).ptr;
        *out++ = '/';
        *std::copy(leaf.begin(), leaf.end(), out) = '\0';
    }
    const char* c_str() const { return text_; }

private:
    // Room for the prefix, any pid, the slash, the longest leaf used here and the NUL.
    char text_[sizeof "/proc/" + std::numeric_limits<pid_t>::digits10 + 1 + sizeof "/status"];
};

// The process's executable, or nothing when it cannot be read. Most processes are the kernel's
// or other users', whose links refuse us: they cost one failed readlink and nothing more, no
// error text, no allocation.
std::optional<std::string> executableOf(pid_t pid)
{
    char target[PATH_MAX];
    const ssize_t length = ::readlink(ProcPath(pid, "exe").c_str(), target, sizeof target);
    // A full buffer may be a cut target; no bundle executable path is that long.
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target)
        return std::nullopt;
    return std::string(target, static_cast<std::size_t>(length));
}

} // namespace

int BundleProcess::sendSignal(int signal) const
{
    return signalPidfd(pidfd_.get(), signal) == 0 ? 0 : errno;
}

std::optional<uid_t> parseRealUid(std::string_view statusText)
{
    // "Name:" always comes first, so the line follows a newline.
    constexpr std::string_view key = "\nUid:";
    const std::size_t at = statusText.find(key);
    if (at == std::string_view::npos)
        return std::nullopt;
    const std::size_t start = statusText.find_first_not_of(" \t", at + key.size());
    uid_t uid = 0;
    if (start == std::string_view::npos ||
        std::from_chars(statusText.data() + start, statusText.data() + statusText.size(), uid).ec !=
            std::errc())
        return std::nullopt;
    return uid;
}

std::vector<std::unique_ptr<BundleProcess>>
bundleProcesses(const std::function<bool(const std::string& bundlePath)>& accepts)
{
    std::vector<std::unique_ptr<BundleProcess>> found;
    const uid_t user = ::getuid();
    for (const pid_t pid : listedPids()) {
        // Any of these reads may fail because the process ended meanwhile: it is then skipped.
        const std::optional<std::string> executable = executableOf(pid);
        if (!executable)
            continue;
        const std::optional<std::string> bundle = bundleOfExecutable(*executable);
        if (!bundle || !accepts(*bundle))
            continue;

        // From here on the pidfd pins the process. What /proc says is checked again afterwards,
        // and the pidfd is confirmed live last: had its process been reaped and the pid reused
        // in between, the checks would have read another process, and the final signal fails.
        posix::FileDescriptor pidfd(openPidfd(pid));
        if (!pidfd.valid())
            continue;
        if (executableOf(pid) != executable)
            continue;
        const posix::Result<std::string> statusText =
            posix::readRegularFile(ProcPath(pid, "status").c_str(), statusFileLimit);
        if (!statusText)
            continue;
        // A zombie needs no check of its own: its executable link can no longer be read.
        if (parseRealUid(*statusText) != user)
            continue;
        if (signalPidfd(pidfd.get(), 0) != 0)
            continue;
        found.push_back(std::make_unique<BundleProcess>(pid, std::move(pidfd)));
    }
    return found;
}

} // namespace drovix
