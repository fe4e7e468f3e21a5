// The minimal loop: every 10 seconds, one minimalWake(). The footprint comparison runs it beside
// the agent as the floor of what watching one application can cost.
//
//   drovix_minimal_loop EXECUTABLE FILE          runs until killed
//   drovix_minimal_loop --once EXECUTABLE FILE   one wake, prints what it found
#include "MinimalWake.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr long wakeInterval = 10;

int usage()
{
    std::fputs("usage: drovix_minimal_loop [--once] EXECUTABLE FILE\n", stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    const bool once = argc == 4 && std::strcmp(argv[1], "--once") == 0;
    if (argc != 3 && !once)
        return usage();
    const char* executable = argv[argc - 2];
    const char* file = argv[argc - 1];

    if (once) {
        const auto result = drovix::bench::minimalWake(executable, file);
        std::printf("%d running, %zu bytes read\n", result.instances, result.bytesRead);
        return 0;
    }

    // Absolute deadlines keep the period from drifting by the time each wake takes.
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    for (;;) {
        drovix::bench::minimalWake(executable, file);
        deadline.tv_sec += wakeInterval;
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
        }
    }
}
