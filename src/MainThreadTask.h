// A fire-and-forget job on the main thread that can suspend in sleeps.
#pragma once

#include "platform/MainThread.h"

#include <coroutine>
#include <exception>
#include <memory>
#include <utility>

namespace drovix {

namespace detail {

// Owns a suspended job until it is resumed. If the platform drops the resumption without
// calling it (its main thread is going away), the job's frame is destroyed instead of leaked.
class SuspendedJob {
public:
    explicit SuspendedJob(std::coroutine_handle<> handle) : handle_(handle) {}
    SuspendedJob(const SuspendedJob&) = delete;
    SuspendedJob& operator=(const SuspendedJob&) = delete;
    ~SuspendedJob()
    {
        if (handle_)
            handle_.destroy();
    }
    void resume() { std::exchange(handle_, {}).resume(); }

private:
    std::coroutine_handle<> handle_;
};

} // namespace detail

// The coroutine type of a main-thread job. Its body starts as a job posted to the main thread,
// after the work that started it; the frame frees itself when the body ends.
class MainThreadTask {
public:
    struct promise_type;

    // Moves the job onto the main thread: the first thing every job awaits.
    struct PostToMainThread {
        MainThread& mainThread;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> handle) const
        {
            auto job = std::make_shared<detail::SuspendedJob>(handle);
            mainThread.post([job] { job->resume(); });
        }
        void await_resume() const noexcept {}
    };

    struct promise_type {
        MainThread& mainThread;

        // The job's first parameter names the main thread it runs on.
        template <typename... Args>
        explicit promise_type(MainThread& thread, Args&&...) : mainThread(thread)
        {
        }

        MainThreadTask get_return_object() noexcept { return {}; }
        PostToMainThread initial_suspend() noexcept { return {mainThread}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() noexcept {}
        void unhandled_exception() noexcept { std::terminate(); }
    };
};

// Suspends the current main-thread job for seconds on the monotonic clock. Resumes with the
// outcome; a cancelled wait resumes early.
class SleepFor {
public:
    SleepFor(MainThread& mainThread, double seconds) : mainThread_(mainThread), seconds_(seconds) {}
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle)
    {
        auto job = std::make_shared<detail::SuspendedJob>(handle);
        mainThread_.sleep(seconds_, [this, job](SleepOutcome outcome) {
            outcome_ = outcome;
            job->resume();
        });
    }
    SleepOutcome await_resume() const noexcept { return outcome_; }

private:
    MainThread& mainThread_;
    double seconds_;
    SleepOutcome outcome_ = SleepOutcome::elapsed;
};

} // namespace drovix
