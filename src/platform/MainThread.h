// The main thread's services: a repeating timer, posted jobs and suspendable sleeps.
#pragma once

#include <functional>
#include <memory>

namespace drovix {

// A repeating timer scheduled on the main run loop. It ticks for as long as the run loop runs:
// the agent never stops its look timer, and dropping the handle does not stop it either.
class RepeatingTimer {
public:
    virtual ~RepeatingTimer() = default;
};

enum class SleepOutcome { elapsed, cancelled };

class MainThread {
public:
    virtual ~MainThread() = default;

    // Calls tick on the main thread every intervalSeconds, the first time one interval from now.
    // Main thread only.
    virtual std::shared_ptr<RepeatingTimer> scheduleRepeating(double intervalSeconds,
                                                              std::function<void()> tick) = 0;

    // Runs job on the main thread after the work under way. Safe to call from any thread.
    virtual void post(std::function<void()> job) = 0;

    // Calls resume on the main thread once seconds have passed on the monotonic clock that keeps
    // counting while the machine sleeps. The outcome is cancelled when the wait was cut short.
    // If the main thread goes away first, resume is destroyed without being called.
    // Main thread only.
    virtual void sleep(double seconds, std::function<void(SleepOutcome)> resume) = 0;
};

} // namespace drovix
