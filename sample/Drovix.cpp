// A stand-in for the main application on Linux, and the only program the tests start as one:
// says its pid on standard error once it is ready, and runs until asked to quit.
//
// Whoever opens it passes no arguments, so what it does is read from its own bundle, the word in
// Contents/Resources/behaviour:
//   stubborn   ignore quit requests, so that only a forced quit ends it
//   forking    first start a helper process of the same executable, which ends with it
//   (other)    quit when asked, with exit status 0
// DROVIX_SAMPLE_LIFETIME=SECONDS in the environment ends it by itself after that long, so that no
// instance outlives a test or demonstration that failed to clean up.
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

bool behaviourIs(const char* wanted)
{
    char path[PATH_MAX + 32];
    const ssize_t length = ::readlink("/proc/self/exe", path, PATH_MAX);
    if (length <= 0)
        return false;
    path[length] = '\0';
    std::strcpy(std::strrchr(path, '/'), "/../Resources/behaviour");
    char word[16] = {};
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        (void)!::read(fd, word, sizeof word - 1);
        ::close(fd);
    }
    return std::strncmp(word, wanted, std::strlen(wanted)) == 0;
}

} // namespace

int main()
{
    // Dispositions and the signal mask survive exec; start from known ones.
    std::signal(SIGALRM, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    sigset_t quitSignal;
    sigemptyset(&quitSignal);
    sigaddset(&quitSignal, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &quitSignal, nullptr);

    if (behaviourIs("forking")) {
        const pid_t parent = ::getpid();
        if (::fork() == 0 && (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent))
            return 1;
    }
    // A pending alarm does not pass to a forked helper: each process sets its own.
    if (const char* lifetime = std::getenv("DROVIX_SAMPLE_LIFETIME"))
        if (const long seconds = std::strtol(lifetime, nullptr, 10); seconds > 0)
            ::alarm(unsigned(seconds));
    sigset_t alarmSignal;
    sigemptyset(&alarmSignal);
    sigaddset(&alarmSignal, SIGALRM);
    ::sigprocmask(SIG_UNBLOCK, &alarmSignal, nullptr);

    const int pid = int(::getpid());
    if (behaviourIs("stubborn")) {
        std::signal(SIGTERM, SIG_IGN);
        ::sigprocmask(SIG_UNBLOCK, &quitSignal, nullptr);
        std::fprintf(stderr, "Drovix: running as pid %d, ignoring quit requests\n", pid);
        for (;;)
            ::pause();
    }
    std::fprintf(stderr, "Drovix: running as pid %d\n", pid);
    int received = 0;
    while (::sigwait(&quitSignal, &received) != 0) {
    }
    std::fprintf(stderr, "Drovix: pid %d asked to quit, quitting\n", pid);
    return 0;
}
