// The floor the agent is measured against: one wake of the smallest program that could do its
// job, scanning the process table for one executable and reading one small file.
#pragma once

#include <cstddef>

namespace drovix::bench {

struct MinimalWakeResult {
    int instances = 0;
    std::size_t bytesRead = 0;
};

// Counts the processes whose executable is exactly `executable` and reads `file` whole. Missing
// processes and a missing file are not errors: they count as none. Plain C calls only, so that
// the minimal loop needs no library beyond libc.
MinimalWakeResult minimalWake(const char* executable, const char* file);

} // namespace drovix::bench
