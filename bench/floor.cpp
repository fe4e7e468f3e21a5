// The floor the agent's footprint is measured against: the least a program can do for the same
// job. Every 10 seconds it counts the processes whose executable is EXECUTABLE (one readlink of
// /proc/<pid>/exe each) and reads FILE whole; plain C calls, nothing cached, nothing else.
//
//   drovix_floor EXECUTABLE FILE      runs until killed
#include <dirent.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr long wakeInterval = 10;

// Where each wake's count goes, so that the comparison of each link is not optimised away.
volatile int instancesFound = 0;

int wake(const char* executable, const char* file)
{
    int instances = 0;
    if (DIR* proc = opendir("/proc")) {
        const std::size_t executableLength = std::strlen(executable);
        char link[sizeof "/proc/" + sizeof(dirent::d_name) + sizeof "/exe"];
        char target[4096];
        while (const dirent* entry = readdir(proc)) {
            if (entry->d_name[0] < '1' || entry->d_name[0] > '9')
                continue;
            std::snprintf(link, sizeof link, "/proc/%s/exe", entry->d_name);
            const ssize_t length = readlink(link, target, sizeof target);
            if (length > 0 && static_cast<std::size_t>(length) == executableLength &&
                std::memcmp(target, executable, executableLength) == 0)
                ++instances;
        }
        closedir(proc);
    }
    const int descriptor = open(file, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (descriptor >= 0) {
        char buffer[64 * 1024];
        while (read(descriptor, buffer, sizeof buffer) > 0) {
        }
        close(descriptor);
    }
    return instances;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fputs("usage: drovix_floor EXECUTABLE FILE\n", stderr);
        return 2;
    }
    // Absolute deadlines keep the period from drifting by the time each wake takes.
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    for (;;) {
        instancesFound = wake(argv[1], argv[2]);
        deadline.tv_sec += wakeInterval;
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
        }
    }
}
