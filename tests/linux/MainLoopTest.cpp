// The epoll main loop: order of due work on virtual deadlines, and the real loop's posts, sleeps,
// timers and teardown.
#include "platform/linux/MainThread.h"
#include "MainThreadTask.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace drovix {
namespace {

constexpr BootNanoseconds ms = 1'000'000;

std::unique_ptr<MainLoop> makeLoop()
{
    auto loop = MainLoop::create();
    EXPECT_TRUE(loop.ok()) << loop.error();
    return std::move(*loop);
}

// Runs the loop until something calls quit(); fails the test instead of hanging past the limit.
void runWithDeadline(MainLoop& loop, double limitSeconds = 10)
{
    bool timedOut = false;
    loop.sleep(limitSeconds, [&](SleepOutcome) {
        timedOut = true;
        loop.quit();
    });
    loop.run();
    EXPECT_FALSE(timedOut) << "the loop did not finish in " << limitSeconds << " s";
}

TEST(DeadlineQueue, OrdersByDeadlineThenInsertion)
{
    DeadlineQueue<char> queue;
    queue.push(30, 'c');
    queue.push(10, 'a');
    queue.push(20, 'b');
    queue.push(10, 'A');
    queue.push(30, 'C');
    queue.push(5, '0');
    EXPECT_EQ(5, queue.earliestDeadline());
    std::string order;
    while (!queue.empty())
        order += queue.pop();
    EXPECT_EQ("0aAbcC", order);
}

TEST(MainLoopTime, RepeatingDeadlinesSkipMissedTicksAndDurationsStayInRange)
{
    // On time, early, one tick late, several ticks late.
    EXPECT_EQ(20 * ms, nextRepeatDeadline(10 * ms, 10 * ms, 10 * ms));
    EXPECT_EQ(20 * ms, nextRepeatDeadline(10 * ms, 10 * ms, 3 * ms));
    EXPECT_EQ(30 * ms, nextRepeatDeadline(10 * ms, 10 * ms, 20 * ms));
    EXPECT_EQ(60 * ms, nextRepeatDeadline(10 * ms, 10 * ms, 55 * ms));

    EXPECT_EQ(1'500'000'000, durationInNanoseconds(1.5));
    EXPECT_EQ(0, durationInNanoseconds(-1));
    EXPECT_EQ(0, durationInNanoseconds(std::nan("")));
    const BootNanoseconds huge = durationInNanoseconds(std::numeric_limits<double>::infinity());
    EXPECT_GT(huge, 0);
    EXPECT_LT(huge, std::numeric_limits<BootNanoseconds>::max() / 2);
}

TEST(MainLoop, RunsPostsFromAnyThreadOnItsOwnThreadInOrder)
{
    auto loop = makeLoop();
    const std::thread::id mainThread = std::this_thread::get_id();
    constexpr int threads = 4;
    constexpr int postsPerThread = 100;
    std::vector<std::vector<int>> seen(threads);
    int ran = 0;
    bool allOnMainThread = true;

    std::string order;
    const auto quitWhenAllRan = [&] {
        if (ran == threads * postsPerThread && order.size() == 3)
            loop->quit();
    };
    loop->post([&] {
        order += "1";
        loop->post([&] {
            order += "3";
            quitWhenAllRan();
        });
    });
    loop->post([&] { order += "2"; });

    std::vector<std::thread> posters;
    for (int t = 0; t < threads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < postsPerThread; ++i) {
                loop->post([&, t, i] {
                    allOnMainThread &= std::this_thread::get_id() == mainThread;
                    seen[t].push_back(i);
                    ++ran;
                    quitWhenAllRan();
                });
            }
        });
    }
    runWithDeadline(*loop);
    for (auto& poster : posters)
        poster.join();

    EXPECT_EQ("123", order);
    EXPECT_TRUE(allOnMainThread);
    for (int t = 0; t < threads; ++t) {
        ASSERT_EQ(postsPerThread, static_cast<int>(seen[t].size()));
        EXPECT_TRUE(std::is_sorted(seen[t].begin(), seen[t].end())) << "thread " << t;
    }
}

TEST(MainLoop, SleepsEndInOrderOfDurationThenOfScheduling)
{
    auto loop = makeLoop();
    std::string order;
    const auto mark = [&](char c) {
        return [&, c](SleepOutcome outcome) {
            order += outcome == SleepOutcome::elapsed ? c : '!';
            if (order.size() == 6)
                loop->quit();
        };
    };
    const BootNanoseconds start = MainLoop::now();
    loop->post([&] {
        loop->sleep(0.03, mark('d'));
        loop->sleep(0.01, mark('b'));
        loop->sleep(0.02, mark('c'));
        loop->sleep(0.01, mark('B'));
        loop->sleep(0, mark('a'));
        loop->sleep(-5, mark('A'));
    });
    runWithDeadline(*loop);
    EXPECT_EQ("aAbBcd", order);
    EXPECT_GE(MainLoop::now() - start, 30 * ms);
}

TEST(MainLoop, RepeatingTimersTickUntilInvalidatedEvenWithoutTheirHandle)
{
    auto loop = makeLoop();
    int stopped = 0;
    int unheld = 0;
    std::shared_ptr<RepeatingTimer> timer;
    timer = loop->scheduleRepeating(0.002, [&] {
        if (++stopped == 3)
            timer->invalidate();
    });
    // The handle is dropped at once; the timer keeps running.
    loop->scheduleRepeating(0.002, [&] {
        if (++unheld == 10)
            loop->quit();
    });
    runWithDeadline(*loop);
    EXPECT_EQ(3, stopped);
    EXPECT_EQ(10, unheld);
}

TEST(MainLoop, BlocksBetweenEvents)
{
    auto loop = makeLoop();
    rusage before{};
    ::getrusage(RUSAGE_THREAD, &before);
    loop->sleep(0.2, [&](SleepOutcome) { loop->quit(); });
    runWithDeadline(*loop);
    rusage after{};
    ::getrusage(RUSAGE_THREAD, &after);
    const auto cpuMicroseconds = [](const rusage& usage) {
        return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1'000'000L +
               usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
    };
    // A loop that polled would burn most of the 200 ms.
    EXPECT_LT(cpuMicroseconds(after) - cpuMicroseconds(before), 50'000);
}

MainThreadTask sleepingJob(MainThread& mainThread, std::shared_ptr<int> held, std::string& log)
{
    log += "start ";
    const SleepOutcome outcome = co_await SleepFor(mainThread, 0.001);
    log += outcome == SleepOutcome::elapsed ? "elapsed " : "cancelled ";
    co_await SleepFor(mainThread, 3600);
    log += "never";
    (void)held;
}

TEST(MainLoop, DestructionFreesPendingWorkWithoutRunningIt)
{
    auto loop = makeLoop();
    std::string log;
    auto inSleep = std::make_shared<int>(0);
    auto inPost = std::make_shared<int>(0);
    auto inJob = std::make_shared<int>(0);
    std::weak_ptr<int> sleepWatch = inSleep;
    std::weak_ptr<int> postWatch = inPost;
    std::weak_ptr<int> jobWatch = inJob;

    sleepingJob(*loop, std::move(inJob), log);
    loop->sleep(0.01, [&](SleepOutcome) { loop->quit(); });
    runWithDeadline(*loop);
    EXPECT_EQ("start elapsed ", log);

    bool called = false;
    loop->sleep(3600, [&called, inSleep = std::move(inSleep)](SleepOutcome) { called = true; });
    loop->post([&called, inPost = std::move(inPost)] { called = true; });
    EXPECT_FALSE(sleepWatch.expired());
    EXPECT_FALSE(jobWatch.expired());

    loop.reset();
    EXPECT_FALSE(called);
    EXPECT_TRUE(sleepWatch.expired());
    EXPECT_TRUE(postWatch.expired());
    EXPECT_TRUE(jobWatch.expired()) << "the suspended job's frame was not freed";
    EXPECT_EQ("start elapsed ", log);
}

} // namespace
} // namespace drovix
