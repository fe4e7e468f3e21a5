// On a Mac: a sleep of the main thread resumes once, though two wake-ups race to end it, and not
// before its time has passed on the continuous clock.
#include "platform/macos/Services.h"

#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <time.h>

namespace drovix {

TEST(ContinuousSleepTest, ResumesOnceAndNotEarly)
{
    const auto mainThread = makeMainThread();
    const auto start = clock_gettime_nsec_np(CLOCK_MONOTONIC_RAW);
    std::uint64_t slept = 0;
    int resumed = 0;
    mainThread->sleep(0.05, [&](SleepOutcome) {
        if (++resumed == 1) {
            slept = clock_gettime_nsec_np(CLOCK_MONOTONIC_RAW) - start;
            // Ends the run loop long after the first sleep's other wake-up has come.
            mainThread->sleep(0.5, [](SleepOutcome) { CFRunLoopStop(CFRunLoopGetMain()); });
        }
    });
    CFRunLoopRun();
    EXPECT_EQ(resumed, 1);
    EXPECT_GE(slept, 50'000'000u);
}

} // namespace drovix
