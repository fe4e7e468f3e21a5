// A main application that brings company, as real ones do: a helper process of its own
// executable, and a child that runs another program. Every process of its own quits when asked.
//
// Environment (inherited from whoever opens it):
//   DROVIX_FAULTY_HELPER=1         fork a helper that stays the same executable
//   DROVIX_FAULTY_OTHER=PATH       fork a child that runs PATH with the argument "120"
//   DROVIX_FAULTY_PIDS=FILE        append "main <pid>", "helper <pid>", "other <pid>" lines
//   DROVIX_SAMPLE_LIFETIME=SECONDS end by itself after that long, whatever happens to the test
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

void notePid(const char* role, pid_t pid)
{
    const char* file = std::getenv("DROVIX_FAULTY_PIDS");
    if (!file)
        return;
    const int fd = ::open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    const std::string line = std::string(role) + " " + std::to_string(pid) + "\n";
    // One write with O_APPEND: lines of concurrent processes never interleave.
    (void)!::write(fd, line.data(), line.size());
    ::close(fd);
}

[[noreturn]] void waitForQuitRequest(sigset_t quitSignal)
{
    int received = 0;
    while (::sigwait(&quitSignal, &received) != 0) {
    }
    ::_exit(0);
}

} // namespace

int main()
{
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGALRM, SIG_DFL);
    sigset_t quitSignal;
    sigemptyset(&quitSignal);
    sigaddset(&quitSignal, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &quitSignal, nullptr);
    if (const char* lifetime = std::getenv("DROVIX_SAMPLE_LIFETIME"))
        ::alarm(unsigned(std::strtoul(lifetime, nullptr, 10)));
    notePid("main", ::getpid());

    if (const char* helper = std::getenv("DROVIX_FAULTY_HELPER");
        helper && !std::strcmp(helper, "1")) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            notePid("helper", ::getpid());
            waitForQuitRequest(quitSignal);
        }
    }
    if (const char* other = std::getenv("DROVIX_FAULTY_OTHER")) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::sigprocmask(SIG_UNBLOCK, &quitSignal, nullptr);
            notePid("other", ::getpid());
            char* const arguments[] = {const_cast<char*>(other), const_cast<char*>("120"), nullptr};
            ::execv(other, arguments);
            ::_exit(127);
        }
    }
    waitForQuitRequest(quitSignal);
}
