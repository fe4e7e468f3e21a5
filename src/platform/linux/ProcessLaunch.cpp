// Double fork with an exec-error pipe.
//
// The agent starts an application and then forgets it: whoever ends the application later, no
// zombie may stay behind, and no thread may sit waiting for it. The intermediate child forks the
// program and exits at once; the agent reaps that child right away, and the program, orphaned,
// belongs to init (or the nearest subreaper) from its first instruction. The alternative,
// reaping automatically by ignoring SIGCHLD, changes a process-wide setting that every other
// waitpid() in the process, a test harness's included, relies on.
#include "platform/linux/ProcessLaunch.h"

#include "platform/posix/Posix.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <iterator>

extern char** environ;

namespace drovix {

namespace {

// Where the child failed, reported through the pipe with its errno, and how the error says it.
enum class Stage : std::int32_t { fork, setsid, standardStreams, workingFolder, exec };
constexpr const char* stageTexts[] = {
    "fork failed: ", "setsid failed: ", "no /dev/null for its streams: ", "can't enter /: ", ""};

struct ChildReport {
    Stage stage;
    std::int32_t error;
};

// Everything from here to exec runs in a child of a multi-threaded process: system calls only,
// nothing that allocates or takes a lock.
[[noreturn]] void reportAndExit(int pipe, Stage stage)
{
    const ChildReport report{stage, errno};
    (void)!::write(pipe, &report, sizeof report);
    ::_exit(127);
}

[[noreturn]] void becomeProgram(const char* path, int devNull, int pipe)
{
    // The agent ignores SIGPIPE and its threads may block signals: the program starts afresh.
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal)
        ::sigaction(signal, &defaultAction, nullptr);

    if (::setsid() < 0)
        reportAndExit(pipe, Stage::setsid);
    // The application gets none of the agent's streams, as an application opened from the
    // desktop does: output written into the agent's log, or into a pipe nobody reads, would
    // end it with SIGPIPE at its first line.
    for (const int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        if (::dup2(devNull, stream) < 0)
            reportAndExit(pipe, Stage::standardStreams);
    if (::chdir("/") != 0)
        reportAndExit(pipe, Stage::workingFolder);
    // Descriptors the agent inherited without close-on-exec (Linux 5.11 or later).
    ::close_range(3, ~0u, CLOSE_RANGE_CLOEXEC);

    char* const arguments[] = {const_cast<char*>(path), nullptr};
    ::execve(path, arguments, environ);
    reportAndExit(pipe, Stage::exec);
}

} // namespace

std::optional<std::string> startDetachedProgram(const std::string& executablePath)
{
    posix::FileDescriptor devNull(
        posix::retryOnInterrupt([] { return ::open("/dev/null", O_RDWR | O_CLOEXEC); }));
    if (!devNull.valid())
        return executablePath +
               " can't be started: " + posix::systemFailure("/dev/null").description;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return executablePath + " can't be started: " + posix::systemFailure("pipe2").description;
    posix::FileDescriptor reportReader(ends[0]);
    posix::FileDescriptor reportWriter(ends[1]);

    const char* path = executablePath.c_str();
    const pid_t intermediate = ::fork();
    if (intermediate < 0)
        return executablePath + " can't be started: " + posix::systemFailure("fork").description;
    if (intermediate == 0) {
        // _Fork, unlike fork, may be called here: it runs no fork handlers.
        const pid_t program = ::_Fork();
        if (program < 0)
            reportAndExit(reportWriter.get(), Stage::fork);
        if (program == 0)
            becomeProgram(path, devNull.get(), reportWriter.get());
        ::_exit(0);
    }

    reportWriter.reset();
    int status = 0;
    (void)posix::retryOnInterrupt([&] { return ::waitpid(intermediate, &status, 0); });

    // The pipe reaches end of file once the program's exec closed the last writer; a report
    // arrives instead when something failed first.
    ChildReport report{};
    std::size_t received = 0;
    auto* bytes = reinterpret_cast<char*>(&report);
    while (received < sizeof report) {
        const ssize_t count = posix::retryOnInterrupt(
            [&] { return ::read(reportReader.get(), bytes + received, sizeof report - received); });
        if (count <= 0)
            break;
        received += static_cast<std::size_t>(count);
    }
    if (received == sizeof report) {
        const auto stage = static_cast<std::size_t>(report.stage);
        return executablePath +
               " can't be started: " + (stage < std::size(stageTexts) ? stageTexts[stage] : "") +
               posix::errorText(report.error);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return executablePath + " can't be started: the launching process failed";
    return std::nullopt;
}

} // namespace drovix
