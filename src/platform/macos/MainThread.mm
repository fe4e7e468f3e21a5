// The main thread's services: NSTimer on the main run loop, the main dispatch queue, and sleeps
// measured on the clock that keeps counting while the Mac sleeps.
#include "Services.h"

#import <Foundation/Foundation.h>

#include <cstdint>
#include <dispatch/dispatch.h>
#include <functional>
#include <memory>
#include <time.h>
#include <utility>

#if !__has_feature(objc_arc)
#error "This file is built with automatic reference counting"
#endif

namespace drovix {

namespace {

// Nanoseconds on the continuous clock: monotonic, and counting while the Mac sleeps.
std::uint64_t continuousNow()
{
    return clock_gettime_nsec_np(CLOCK_MONOTONIC_RAW);
}

// Whole nanoseconds in a wait; not a number and negative waits are none, and an absurd one is
// held to a century so that the arithmetic below cannot overflow.
std::uint64_t waitNanoseconds(double seconds)
{
    constexpr double longest = 100.0 * 365.0 * 24.0 * 3600.0;
    if (!(seconds > 0.0))
        return 0;
    if (seconds > longest)
        seconds = longest;
    return static_cast<std::uint64_t>(seconds * static_cast<double>(NSEC_PER_SEC));
}

// One sleep in progress. Dispatch offers no public timer on the continuous clock, so two
// wake-ups stand in for one: the uptime clock is exact while the Mac is awake but stops while it
// sleeps; the wall clock keeps counting through sleep but moves when the date is set. Whichever
// wake-up comes first reads the continuous clock: the sleep ends once the deadline has passed,
// and a wake-up that came too early waits again for what is left.
struct PendingSleep {
    std::uint64_t deadline = 0;
    std::function<void(SleepOutcome)> resume;
};

enum class WakeClock { uptime, wall };

void armWakeUp(std::shared_ptr<PendingSleep> pending, WakeClock clock);

void wakeUp(const std::shared_ptr<PendingSleep>& pending, WakeClock clock)
{
    if (!pending->resume)
        return; // The other wake-up has ended this sleep.
    if (continuousNow() < pending->deadline) {
        armWakeUp(pending, clock);
        return;
    }
    auto resume = std::exchange(pending->resume, nullptr);
    resume(SleepOutcome::elapsed);
}

void armWakeUp(std::shared_ptr<PendingSleep> pending, WakeClock clock)
{
    const std::uint64_t now = continuousNow();
    const auto remaining =
        static_cast<std::int64_t>(pending->deadline > now ? pending->deadline - now : 0);
    const dispatch_time_t when = clock == WakeClock::uptime
                                     ? dispatch_time(DISPATCH_TIME_NOW, remaining)
                                     : dispatch_walltime(nullptr, remaining);
    // dispatch_after applies the system's default leeway.
    dispatch_after(when, dispatch_get_main_queue(), ^{
      wakeUp(pending, clock);
    });
}

class MainQueueThread final : public MainThread {
public:
    std::shared_ptr<RepeatingTimer> scheduleRepeating(double intervalSeconds,
                                                      std::function<void()> tick) override
    {
        @autoreleasepool {
            // Scheduled on the current run loop, which is the main one: callers are on the main
            // thread. The run loop keeps the timer for as long as it runs.
            [NSTimer scheduledTimerWithTimeInterval:intervalSeconds
                                            repeats:YES
                                              block:^(NSTimer*) {
                                                tick();
                                              }];
            return std::make_shared<RepeatingTimer>();
        }
    }

    void post(std::function<void()> job) override
    {
        dispatch_async(dispatch_get_main_queue(), ^{
          job();
        });
    }

    void sleep(double seconds, std::function<void(SleepOutcome)> resume) override
    {
        auto pending = std::make_shared<PendingSleep>();
        pending->deadline = continuousNow() + waitNanoseconds(seconds);
        pending->resume = std::move(resume);
        armWakeUp(pending, WakeClock::uptime);
        armWakeUp(pending, WakeClock::wall);
    }
};

} // namespace

std::unique_ptr<MainThread> makeMainThread()
{
    return std::make_unique<MainQueueThread>();
}

} // namespace drovix
