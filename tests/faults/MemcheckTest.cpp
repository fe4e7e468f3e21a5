// The agent under valgrind's memcheck: a real run of several looks and an action ended by a quit
// request, and the restart sequence on virtual time. No invalid access, no use of uninitialised
// memory, no leak.
#include "FaultTest.h"

#include <gmock/gmock.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace drovix::faults {
namespace {

using ::testing::HasSubstr;

std::string fileText(const fs::path& path)
{
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// Leaks of these kinds count as errors. Memory still reachable at the quit request belongs to
// objects that live as long as the process; "possibly lost" is left out because glibc keeps
// the thread-local block of every finished detached thread (the fetch and open threads) in its
// stack cache, reachable only through an interior pointer.
const std::vector<std::string> memcheckOptions{"--tool=memcheck",
                                               "--leak-check=full",
                                               "--show-leak-kinds=definite,indirect",
                                               "--errors-for-leak-kinds=definite,indirect",
                                               "--track-origins=yes",
                                               "--child-silent-after-fork=yes"};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool builtWithSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool builtWithSanitizer = true;
#else
constexpr bool builtWithSanitizer = false;
#endif
#else
constexpr bool builtWithSanitizer = false;
#endif

class MemcheckTest : public FaultTest {
protected:
    void SetUp() override
    {
        FaultTest::SetUp();
        if (std::string(DROVIX_VALGRIND).empty())
            GTEST_SKIP() << "valgrind is not installed";
        if (builtWithSanitizer)
            GTEST_SKIP() << "the programs are built with a sanitizer, which valgrind cannot run";
    }
};

TEST_F(MemcheckTest, RealRunOfSeveralLooksAndAnActionHasNoMemoryErrorsOrLeaks)
{
    allowSeconds(150);
    const fs::path drovix = installDrovix(scratch.path() / "Drovix.app");
    const fs::path agentBundle = installAgentInside(drovix);
    // Valgrind 3.19 knows no pidfd system calls, so under it the agent can hold no instance and
    // every running Drovix looks absent: the restart is asked for while none runs, and becomes
    // an open. The restart sequence itself runs under memcheck in the next test.
    writeRecord("restart", "memcheck");

    const fs::path agentLog = scratch.path() / "agent.log";
    const fs::path report = scratch.path() / "memcheck.log";
    const int logFd = ::open(agentLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(logFd, 0);
    std::vector<std::string> command{DROVIX_VALGRIND};
    command.insert(command.end(), memcheckOptions.begin(), memcheckOptions.end());
    command.insert(command.end(),
                   {"--log-file=" + report.string(), agentExecutable(agentBundle).string()});
    const pid_t pid = spawnProcess(command, environment(), logFd);
    ::close(logFd);

    while (fileText(agentLog).find("DrovixRescue: started Drovix") == std::string::npos &&
           SteadyClock::now() < within(60)) {
        reapEndedChildren();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_THAT(fileText(agentLog), HasSubstr("DrovixRescue: acting on restart"));
    EXPECT_THAT(fileText(agentLog), HasSubstr("DrovixRescue: started Drovix"));
    // More looks, each a fetch on a thread of its own; the first one past the quiet period
    // (at the fourth tick) reads the same command again.
    std::this_thread::sleep_for(std::chrono::seconds(42));

    ::kill(pid, SIGTERM);
    const std::optional<int> status = awaitExitStatus(pid, within(60));
    if (!status) {
        ::kill(pid, SIGKILL);
        awaitExitStatus(pid, secondsFromNow(5));
        FAIL() << "the agent under valgrind did not end at its quit request";
    }
    const std::string memcheck = fileText(report);
    EXPECT_THAT(memcheck, HasSubstr("ERROR SUMMARY: 0 errors from 0 contexts")) << memcheck;
    EXPECT_THAT(memcheck, ::testing::Not(HasSubstr("ERROR SUMMARY: 1"))) << memcheck;
    EXPECT_THAT(fileText(agentLog), HasSubstr("already acted on command memcheck"));
}

TEST_F(MemcheckTest, RestartSequenceOnVirtualTimeHasNoMemoryErrorsOrLeaks)
{
    allowSeconds(150);
    // The coroutine of the restart sequence, its waits, forcing and launch, and the launch
    // paths, on the test platform.
    std::vector<std::string> command{DROVIX_VALGRIND};
    command.insert(command.end(), memcheckOptions.begin(), memcheckOptions.end());
    command.insert(command.end(), {"--error-exitcode=99", DROVIX_CORE_TESTS,
                                   "--gtest_filter=RestartTest.*:LaunchTest.*"});
    std::string output;
    EXPECT_EQ(runProcess(command, environment(), within(140), output), 0) << output;
    EXPECT_THAT(output, HasSubstr("ERROR SUMMARY: 0 errors from 0 contexts")) << output;
    EXPECT_THAT(output, ::testing::ContainsRegex("PASSED .* [1-9][0-9]* tests")) << output;
}

} // namespace
} // namespace drovix::faults
