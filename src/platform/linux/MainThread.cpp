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

// Events waited for at once; more ready descriptors wait for the next round.
constexpr int eventBatch = 8;

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

    for (const int fd : {wake.get(), timer.get()}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
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
    auto abandonedWatches = std::exchange(watched_, {});
    std::function<void()> abandonedAlarm = std::exchange(alarm_, {});
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

std::optional<posix::Failure> MainLoop::watch(int fd, std::uint32_t events,
                                              std::function<void(std::uint32_t)> ready)
{
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) != 0 &&
        (errno != EEXIST || ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &event) != 0))
        return posix::systemFailure("epoll_ctl");
    watched_[fd] = std::move(ready);
    return std::nullopt;
}

void MainLoop::unwatch(int fd)
{
    if (watched_.erase(fd) > 0)
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
}

void MainLoop::setAlarm(std::optional<double> seconds, std::function<void()> ring)
{
    alarmDeadline_.reset();
    alarm_ = std::move(ring);
    if (seconds)
        alarmDeadline_ = present() + durationInNanoseconds(*seconds);
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
            runReadyDescriptors();
        if (!quitting_)
            runDueWork();
    }
    runningThread_ = std::thread::id();
}

void MainLoop::runPostedJobs()
{
    // Only the jobs posted so far: those they post run after the due work, so that neither kind
    // can starve the other.
    {
        std::lock_guard lock(postedMutex_);
        postedBatch_.swap(posted_);
    }
    for (auto& job : postedBatch_)
        runJob(job);
    postedBatch_.clear();
}

bool MainLoop::hasPostedJobs()
{
    std::lock_guard lock(postedMutex_);
    return !posted_.empty();
}

void MainLoop::runReadyDescriptors()
{
    for (const auto& [fd, events] : readyBatch_) {
        // A job before may have stopped watching it.
        const auto watch = watched_.find(fd);
        if (watch == watched_.end())
            continue;
        // A copy: the job may stop watching its own descriptor.
        const std::function<void(std::uint32_t)> ready = watch->second;
        // Bindings named in initialisers: clang before 16 captures none.
        runJob([&ready, events = events] { ready(events); });
    }
    readyBatch_.clear();
}

void MainLoop::runDueWork()
{
    const BootNanoseconds dueBy = now();
    while (!due_.empty() && due_.earliestDeadline() <= dueBy) {
        const BootNanoseconds deadline = due_.earliestDeadline();
        dueBatch_.emplace_back(deadline, due_.pop());
    }
    for (auto& [deadline, due] : dueBatch_) {
        runJob([&, &due = due, deadline = deadline] {
            if (auto* resume = std::get_if<SleepResume>(&due)) {
                // Sleeps on this clock are never cut short.
                (*resume)(SleepOutcome::elapsed);
            } else {
                auto& timer = std::get<std::shared_ptr<TimerState>>(due);
                due_.push(nextRepeatDeadline(deadline, timer->interval, jobStart_), timer);
                timer->tick();
            }
        });
    }
    dueBatch_.clear();
    if (alarmDeadline_ && *alarmDeadline_ <= dueBy) {
        alarmDeadline_.reset();
        runJob(std::exchange(alarm_, {}));
    }
}

bool MainLoop::armTimer()
{
    std::optional<BootNanoseconds> earliest = alarmDeadline_;
    if (!due_.empty() && (!earliest || due_.earliestDeadline() < *earliest))
        earliest = due_.earliestDeadline();
    // Zero disarms the timer, so a deadline at the clock's very start is taken as 1.
    const BootNanoseconds deadline = earliest ? std::max<BootNanoseconds>(*earliest, 1) : 0;
    // Set at every wait: a syscall of a microsecond, cheaper than keeping track of what is set.
    itimerspec setting{};
    setting.it_value.tv_sec = static_cast<time_t>(deadline / nanosecondsPerSecond);
    setting.it_value.tv_nsec = static_cast<long>(deadline % nanosecondsPerSecond);
    // An all-zero setting disarms the timer.
    return ::timerfd_settime(timer_.get(), TFD_TIMER_ABSTIME, &setting, nullptr) == 0;
}

void MainLoop::waitForEvents(int timeoutMilliseconds)
{
    epoll_event events[eventBatch];
    const int count = posix::retryOnInterrupt(
        [&] { return ::epoll_wait(epoll_.get(), events, eventBatch, timeoutMilliseconds); });
    for (int i = 0; i < count; ++i) {
        const int fd = events[i].data.fd;
        if (fd == wake_.get() || fd == timer_.get())
            drain(fd);
        else
            readyBatch_.emplace_back(fd, std::uint32_t{events[i].events});
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
