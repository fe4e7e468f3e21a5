// A stand-in for the main application on Linux: says its pid, runs until asked to quit.
//
// Environment (inherited from whoever opens it, since the agent passes no arguments):
//   DROVIX_SAMPLE_IGNORE_SIGTERM=1  ignore quit requests, so only a forced quit ends it
//   DROVIX_SAMPLE_LIFETIME=SECONDS  end by itself after that long, so no instance outlives a
//                                   test or demonstration that failed to clean up
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

int main()
{
    const int pid = int(::getpid());
    const char* ignoreQuit = std::getenv("DROVIX_SAMPLE_IGNORE_SIGTERM");
    const char* lifetime = std::getenv("DROVIX_SAMPLE_LIFETIME");

    // Dispositions and the signal mask survive exec; start from known ones.
    std::signal(SIGALRM, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    sigset_t quitSignal;
    sigemptyset(&quitSignal);
    sigaddset(&quitSignal, SIGTERM);
    sigset_t unblocked;
    sigemptyset(&unblocked);
    sigaddset(&unblocked, SIGALRM);
    ::sigprocmask(SIG_UNBLOCK, &unblocked, nullptr);

    if (lifetime) {
        const long seconds = std::strtol(lifetime, nullptr, 10);
        if (seconds > 0)
            ::alarm(unsigned(seconds));
    }

    if (ignoreQuit && std::strcmp(ignoreQuit, "1") == 0) {
        std::signal(SIGTERM, SIG_IGN);
        std::fprintf(stderr, "Drovix: running as pid %d, ignoring quit requests\n", pid);
        for (;;)
            ::pause();
    }

    ::sigprocmask(SIG_BLOCK, &quitSignal, nullptr);
    std::fprintf(stderr, "Drovix: running as pid %d\n", pid);
    int received = 0;
    while (::sigwait(&quitSignal, &received) != 0) {
    }
    std::fprintf(stderr, "Drovix: pid %d asked to quit, quitting\n", pid);
    return 0;
}
