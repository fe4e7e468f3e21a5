// The epoll main loop: one timerfd armed for the earliest deadline, one eventfd for posts.
#include "platform/linux/MainThread.h"

#include "platform/linux/LogSink.h"
#include "platform/linux/Services.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>

namespace drovix {

namespace {

constexpr BootNanoseconds nanosecondsPerSecond = 1'000'000'000;
constexpr double longestDuration = 100.0 * 365.25 * 24 * 3600;

// NSTimer's rule for non-positive intervals.
constexpr double shortestRepeatInterval = 0.0001;

enum EventSource : std::uint32_t { wakeSource, timerSource };

void drain(int fd)
{
    std::uint64_t count = 0;
    // Both descriptors are non-blocking: EAGAIN means already drained.
    (void)posix::retryOnInterrupt([&] { return ::read(fd, &count, sizeof count); });
}

} // namespace

BootNanoseconds nextRepeatDeadline(BootNanoseconds deadline, BootNanoseconds interval,
                                   BootNanoseconds now)
{
    if (now < deadline)
        return deadline + interval;
    const BootNanoseconds missed = (now - deadline) / interval;
    return deadline + (missed + 1) * interval;
}

BootNanoseconds durationInNanoseconds(double seconds)
{
    if (!(seconds > 0))
        return 0;
    return static_cast<BootNanoseconds>(std::min(seconds, longestDuration) * 1e9);
}

BootNanoseconds MainLoop::now()
{
    timespec time{};
    ::clock_gettime(CLOCK_BOOTTIME, &time);
    return BootNanoseconds{time.tv_sec} * nanosecondsPerSecond + time.tv_nsec;
}

// What a repeating timer and its handle share.
struct MainLoop::TimerState final : RepeatingTimer {
    TimerState(std::function<void()> work, BootNanoseconds every)
        : tick(std::move(work)), interval(every)
    {
    }
    std::function<void()> tick;
    BootNanoseconds interval;
};

posix::Result<std::unique_ptr<MainLoop>> MainLoop::create()
{
    posix::FileDescriptor epoll(::epoll_create1(EPOLL_CLOEXEC));
    if (!epoll.valid())
        return posix::systemFailure("epoll_create1");
    posix::FileDescriptor wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake.valid())
        return posix::systemFailure("eventfd");
    posix::FileDescriptor timer(::timerfd_create(CLOCK_BOOTTIME, TFD_CLOEXEC | TFD_NONBLOCK));
    if (!timer.valid())
        return posix::systemFailure("timerfd_create");

    for (auto [fd, source] : {std::pair{wake.get(), wakeSource}, {timer.get(), timerSource}}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u32 = source;
        if (::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, fd, &event) != 0)
            return posix::systemFailure("epoll_ctl");
    }
    return std::unique_ptr<MainLoop>(
        new MainLoop(std::move(epoll), std::move(wake), std::move(timer)));
}

MainLoop::MainLoop(posix::FileDescriptor epoll, posix::FileDescriptor wake,
                   posix::FileDescriptor timer)
    : epoll_(std::move(epoll)), wake_(std::move(wake)), timer_(std::move(timer))
{
}

MainLoop::~MainLoop()
{
    // Destroying a sleep's resume function may free a suspended job, whose destructors may still
    // reach this loop: empty the members first and let the leftovers go while they stay valid.
    DeadlineQueue<Due> abandonedDue = std::exchange(due_, {});
    std::vector<std::function<void()>> abandonedPosts;
    {
        std::lock_guard lock(postedMutex_);
        abandonedPosts.swap(posted_);
    }
}

std::shared_ptr<RepeatingTimer> MainLoop::scheduleRepeating(double intervalSeconds,
                                                            std::function<void()> tick)
{
    const double seconds = intervalSeconds > 0 ? intervalSeconds : shortestRepeatInterval;
    auto state = std::make_shared<TimerState>(
        std::move(tick), std::max<BootNanoseconds>(durationInNanoseconds(seconds), 1));
    due_.push(present() + state->interval, state);
    return state;
}

void MainLoop::post(std::function<void()> job)
{
    {
        std::lock_guard lock(postedMutex_);
        posted_.push_back(std::move(job));
    }
    if (std::this_thread::get_id() == runningThread_.load(std::memory_order_relaxed))
        return;
    const std::uint64_t one = 1;
    // Cannot fail short of a counter overflow; the loop drains it at every wake.
    (void)posix::retryOnInterrupt([&] { return ::write(wake_.get(), &one, sizeof one); });
}

void MainLoop::sleep(double seconds, std::function<void(SleepOutcome)> resume)
{
    due_.push(present() + durationInNanoseconds(seconds), std::move(resume));
}

BootNanoseconds MainLoop::present() const
{
    return inJob_ ? jobStart_ : now();
}

void MainLoop::run()
{
    quitting_ = false;
    runningThread_ = std::this_thread::get_id();
    while (!quitting_) {
        // Jobs that this thread posted run without waiting. Should the timer refuse a deadline,
        // look again every second rather than never.
        if (!hasPostedJobs())
            waitForEvents(armTimer() ? -1 : 1000);
        runPostedJobs();
        if (!quitting_)
            runDueWork();
    }
    runningThread_ = std::thread::id();
}

void MainLoop::startJob()
{
    jobStart_ = now();
    inJob_ = true;
}

void MainLoop::runPostedJobs()
{
    // Only the jobs posted so far: those they post run after the due work, so that neither kind
    // can starve the other.
    {
        std::lock_guard lock(postedMutex_);
        postedBatch_.swap(posted_);
    }
    for (auto& job : postedBatch_) {
        startJob();
        job();
        inJob_ = false;
    }
    postedBatch_.clear();
}

bool MainLoop::hasPostedJobs()
{
    std::lock_guard lock(postedMutex_);
    return !posted_.empty();
}

void MainLoop::runDueWork()
{
    const BootNanoseconds dueBy = now();
    while (!due_.empty() && due_.earliestDeadline() <= dueBy) {
        const BootNanoseconds deadline = due_.earliestDeadline();
        dueBatch_.emplace_back(deadline, due_.pop());
    }
    for (auto& [deadline, due] : dueBatch_) {
        startJob();
        if (auto* resume = std::get_if<SleepResume>(&due)) {
            // Sleeps on this clock are never cut short.
            (*resume)(SleepOutcome::elapsed);
        } else {
            auto& timer = std::get<std::shared_ptr<TimerState>>(due);
            due_.push(nextRepeatDeadline(deadline, timer->interval, jobStart_), timer);
            timer->tick();
        }
        inJob_ = false;
    }
    dueBatch_.clear();
}

bool MainLoop::armTimer()
{
    const BootNanoseconds deadline =
        due_.empty() ? 0 : std::max<BootNanoseconds>(due_.earliestDeadline(), 1);
    if (deadline == armedDeadline_)
        return true;
    itimerspec setting{};
    setting.it_value.tv_sec = static_cast<time_t>(deadline / nanosecondsPerSecond);
    setting.it_value.tv_nsec = static_cast<long>(deadline % nanosecondsPerSecond);
    // An all-zero setting disarms the timer.
    if (::timerfd_settime(timer_.get(), TFD_TIMER_ABSTIME, &setting, nullptr) != 0)
        return false;
    armedDeadline_ = deadline;
    return true;
}

void MainLoop::waitForEvents(int timeoutMilliseconds)
{
    epoll_event events[2];
    const int count = posix::retryOnInterrupt(
        [&] { return ::epoll_wait(epoll_.get(), events, 2, timeoutMilliseconds); });
    for (int i = 0; i < count; ++i) {
        if (events[i].data.u32 == wakeSource) {
            drain(wake_.get());
        } else {
            drain(timer_.get());
            // The timer has fired and is disarmed until set again.
            armedDeadline_ = 0;
        }
    }
}

std::unique_ptr<MainLoop> makeMainThread()
{
    posix::Result<std::unique_ptr<MainLoop>> loop = MainLoop::create();
    if (!loop) {
        StandardErrorLog().log("DrovixRescue: can't run without a main loop — " + loop.error());
        std::exit(EXIT_FAILURE);
    }
    return std::move(*loop);
}

} // namespace drovix
