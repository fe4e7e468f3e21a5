// Fuzzes the watcher itself: the input is decoded into events of the simulated desktop (records
// written, store failures, instances starting and quitting, clock jumps, time passing), and every
// invariant of the month-long soak is checked after each of them.
#include "WatcherSimulation.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

namespace {

using namespace drovix::simulation;

// Two hours of virtual time at most per input, in steps of five minutes at most: long enough
// for stale commands and many looks in a row, short enough for hundreds of runs a second.
constexpr double longestRun = 2 * 3600.0;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ByteChoices choices(std::span(data, size));
    SimulationLimits limits;
    limits.longestAdvance = 300;
    const RunOutcome outcome = runSimulation(choices, limits, longestRun);
    if (outcome.violations.empty())
        return 0;
    std::fprintf(stderr, "%s\n", outcome.figures.summary().c_str());
    for (const std::string& violation : outcome.violations)
        std::fprintf(stderr, "violation %s\n", violation.c_str());
    for (const std::string& event : outcome.recentEvents)
        std::fprintf(stderr, "  after %s\n", event.c_str());
    std::abort();
}
