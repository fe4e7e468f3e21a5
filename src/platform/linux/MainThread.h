// The agent's main thread on Linux: an epoll loop that runs posted jobs, repeating timers, sleeps
// and what libcurl's multi interface asks of it, one at a time, and blocks in between.
#pragma once

#ifndef __linux__
#error "This file is the Linux implementation"
#endif

#include "platform/MainThread.h"
#include "platform/posix/Posix.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace drovix {

// Nanoseconds on the clock that keeps counting while the machine sleeps (CLOCK_BOOTTIME).
using BootNanoseconds = std::int64_t;

// Due work ordered by deadline and, for equal deadlines, by the order it was added.
template <typename Item> class DeadlineQueue {
public:
    void push(BootNanoseconds deadline, Item item)
    {
        heap_.push_back({deadline, nextOrder_++, std::move(item)});
        std::push_heap(heap_.begin(), heap_.end(), later);
    }

    bool empty() const { return heap_.empty(); }
    std::size_t size() const { return heap_.size(); }

    // Earliest deadline; the queue must not be empty.
    BootNanoseconds earliestDeadline() const { return heap_.front().deadline; }

    // Removes and returns the earliest item; the queue must not be empty.
    Item pop()
    {
        std::pop_heap(heap_.begin(), heap_.end(), later);
        Item item = std::move(heap_.back().item);
        heap_.pop_back();
        return item;
    }

private:
    struct Entry {
        BootNanoseconds deadline;
        std::uint64_t order;
        Item item;
    };

    // The heap keeps the entry for which this is false against all others at its front.
    static bool later(const Entry& a, const Entry& b)
    {
        return std::tie(a.deadline, a.order) > std::tie(b.deadline, b.order);
    }

    std::vector<Entry> heap_;
    std::uint64_t nextOrder_ = 0;
};

// The next deadline of a repeating timer that was due at deadline: a whole number of intervals
// later and after now. Ticks missed while the loop was busy are dropped, not run in a burst.
BootNanoseconds nextRepeatDeadline(BootNanoseconds deadline, BootNanoseconds interval,
                                   BootNanoseconds now);

// Seconds as a whole, non-negative number of nanoseconds, kept within a century so that
// deadlines cannot overflow. NaN counts as zero.
BootNanoseconds durationInNanoseconds(double seconds);

class MainLoop final : public MainThread {
public:
    // Sets up the loop's epoll, timer and wake descriptors.
    static posix::Result<std::unique_ptr<MainLoop>> create();

    // Posted jobs that never ran and sleeps that never ended are destroyed without being called.
    ~MainLoop() override;

    MainLoop(const MainLoop&) = delete;
    MainLoop& operator=(const MainLoop&) = delete;

    std::shared_ptr<RepeatingTimer> scheduleRepeating(double intervalSeconds,
                                                      std::function<void()> tick) override;
    void post(std::function<void()> job) override;
    void sleep(double seconds, std::function<void(SleepOutcome)> resume) override;

    // What libcurl's multi interface needs of the loop: descriptors watched for it, and one alarm.
    // Main thread only.
    //
    // Watches fd for events (EPOLLIN, EPOLLOUT); ready runs as a job with the events that came,
    // EPOLLERR and EPOLLHUP among them. Watching a descriptor again replaces both. Unwatch it
    // before it is closed.
    std::optional<posix::Failure> watch(int fd, std::uint32_t events,
                                        std::function<void(std::uint32_t events)> ready);
    void unwatch(int fd);
    // Runs ring once, as a job, seconds from now, unless the alarm is set again or cleared (with
    // no seconds) first.
    void setAlarm(std::optional<double> seconds, std::function<void()> ring);

    // Runs jobs, ticks and sleeps as they come due until quit() is called. Main thread only.
    void run();

    // Makes run() return once the work already due has run. Main thread only; post it from
    // elsewhere.
    void quit() { quitting_ = true; }

    // The present on the loop's clock.
    static BootNanoseconds now();

private:
    struct TimerState;
    using SleepResume = std::function<void(SleepOutcome)>;
    using Due = std::variant<SleepResume, std::shared_ptr<TimerState>>;

    MainLoop(posix::FileDescriptor epoll, posix::FileDescriptor wake, posix::FileDescriptor timer);

    BootNanoseconds present() const;
    // Runs job as one job of the loop, its present held (jobStart_).
    template <typename Job> void runJob(Job&& job)
    {
        jobStart_ = now();
        inJob_ = true;
        job();
        inJob_ = false;
    }
    bool hasPostedJobs();
    void runPostedJobs();
    void runReadyDescriptors();
    void runDueWork();
    bool armTimer();
    void waitForEvents(int timeoutMilliseconds);

    posix::FileDescriptor epoll_;
    posix::FileDescriptor wake_;
    posix::FileDescriptor timer_;

    // The thread inside run(): what it posts runs before the loop waits again, with no wake.
    std::atomic<std::thread::id> runningThread_;
    std::mutex postedMutex_;
    std::vector<std::function<void()>> posted_;
    // Batches swapped out of posted_ and due_, kept so that their room is reused wake after wake.
    std::vector<std::function<void()>> postedBatch_;
    std::vector<std::pair<BootNanoseconds, Due>> dueBatch_;

    DeadlineQueue<Due> due_;

    std::unordered_map<int, std::function<void(std::uint32_t)>> watched_;
    std::vector<std::pair<int, std::uint32_t>> readyBatch_;
    std::optional<BootNanoseconds> alarmDeadline_;
    std::function<void()> alarm_;
    // Read before each job, so that every sleep and timer a job schedules counts from the same
    // present: work scheduled together keeps the order of its durations.
    BootNanoseconds jobStart_ = 0;
    bool inJob_ = false;
    bool quitting_ = false;
};

} // namespace drovix
