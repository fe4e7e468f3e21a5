// NSLog-style lines on standard error: their form, whole lines from many threads, and a broken
// standard error that must not end the agent.
#include "platform/Platform.h"
#include "platform/linux/LogSink.h"
#include "platform/linux/Time.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace drovix {
namespace {

TEST(StandardErrorLog, FormatsLinesLikeNSLog)
{
    LogStamp stamp;
    stamp.localTime.tm_year = 2026 - 1900;
    stamp.localTime.tm_mon = 0;
    stamp.localTime.tm_mday = 2;
    stamp.localTime.tm_hour = 3;
    stamp.localTime.tm_min = 4;
    stamp.localTime.tm_sec = 5;
    stamp.milliseconds = 6;
    stamp.pid = 123;
    stamp.tid = 456;
    EXPECT_EQ("2026-01-02 03:04:05.006 DrovixRescue[123:456] DrovixRescue: started Drovix\n",
              formatLogLine(stamp, "DrovixRescue", "DrovixRescue: started Drovix"));
    EXPECT_EQ("drovix_linux_tests", executableFileName());
}

TEST(StandardErrorLog, WritesWholeLinesFromManyThreads)
{
    int ends[2];
    ASSERT_EQ(0, ::pipe(ends));
    std::string received;
    std::thread reader([&] {
        char buffer[4096];
        ssize_t count;
        while ((count = ::read(ends[0], buffer, sizeof buffer)) > 0)
            received.append(buffer, static_cast<std::size_t>(count));
    });
    {
        StandardErrorLog log(ends[1]);
        std::vector<std::thread> writers;
        for (int t = 0; t < 4; ++t) {
            writers.emplace_back([&log, t] {
                for (int i = 0; i < 200; ++i)
                    log.log("DrovixRescue: thread " + std::to_string(t) + " line " +
                            std::to_string(i) + " — " + std::string(200, 'x'));
            });
        }
        for (auto& writer : writers)
            writer.join();
    }
    ::close(ends[1]);
    reader.join();
    ::close(ends[0]);

    const std::regex line("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} "
                          "drovix_linux_tests\\[" +
                          std::to_string(::getpid()) +
                          ":\\d+\\] DrovixRescue: thread \\d line \\d+ — x{200}");
    std::istringstream lines(received);
    std::string text;
    int count = 0;
    while (std::getline(lines, text)) {
        ++count;
        ASSERT_TRUE(std::regex_match(text, line)) << text;
    }
    EXPECT_EQ(800, count);
}

TEST(StandardErrorLogDeathTest, ABrokenStandardErrorDoesNotEndTheAgent)
{
    EXPECT_EXIT(
        {
            const auto application = makeBackgroundOnlyApplication();
            int ends[2];
            if (::pipe(ends) != 0)
                ::_exit(2);
            ::close(ends[0]);
            StandardErrorLog(ends[1]).log("DrovixRescue: into a pipe nobody reads");
            StandardErrorLog(-1).log("DrovixRescue: into no descriptor at all");
            ::_exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(SystemClock, ReadsTheWallClockAndKnowsYearOne)
{
    SystemClock clock;
    const Instant now = clock.now();
    EXPECT_GT(now, 1'700'000'000.0);
    EXPECT_NEAR(static_cast<double>(::time(nullptr)), now, 2.0);
    EXPECT_EQ(-62'135'596'800.0, clock.distantPast());
}

} // namespace
} // namespace drovix
