// The C library's time.h, plus the Darwin clock reading the agent uses, declared as Apple's
// time.h declares it. Only the compile check on Linux sees this file.
#pragma once

#include_next <time.h>

extern "C" __uint64_t clock_gettime_nsec_np(clockid_t clock_id);
