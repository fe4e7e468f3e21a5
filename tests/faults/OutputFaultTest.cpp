// Faults around the agent's own process: standard error closed or a pipe nobody reads, and
// /proc entries that vanish while the agent scans them.
#include "FaultTest.h"

#include <gmock/gmock.h>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace drovix::faults {
namespace {

using ::testing::MatchesRegex;
using ::testing::SizeIs;

// Starts a program with standard input and output on /dev/null and standard error on errorFd,
// or closed when errorFd is negative. The child dies with the test process.
pid_t spawnWithStandardError(const std::vector<std::string>& argv,
                             const std::vector<std::string>& environment, int errorFd)
{
    std::vector<char*> arguments;
    for (const auto& argument : argv)
        arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
    std::vector<char*> variables;
    for (const auto& variable : environment)
        variables.push_back(const_cast<char*>(variable.c_str()));
    variables.push_back(nullptr);
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        ::dup2(devNull, STDIN_FILENO);
        ::dup2(devNull, STDOUT_FILENO);
        if (errorFd >= 0)
            ::dup2(errorFd, STDERR_FILENO);
        else
            ::close(STDERR_FILENO);
        ::execve(arguments[0], arguments.data(), variables.data());
        ::_exit(127);
    }
    ::close(devNull);
    return pid;
}

class OutputFaultTest : public FaultTest {
protected:
    fs::path drovix;
    fs::path agentBundle;
    pid_t silentAgent = -1;

    void SetUp() override
    {
        FaultTest::SetUp();
        // A Drovix that writes nothing, so that only the agent meets the broken output.
        drovix = installFaultyDrovix(scratch.path() / "Drovix.app");
        agentBundle = installAgentInside(drovix);
    }

    void TearDown() override
    {
        if (silentAgent > 0) {
            ::kill(silentAgent, SIGKILL);
            awaitExitStatus(silentAgent, secondsFromNow(5));
        }
        FaultTest::TearDown();
    }

    // The agent acted (its Drovix runs) and is still there after logging about it.
    void expectActedAndAlive()
    {
        EXPECT_THAT(awaitInstanceCount(drovix, 1, within(10)), SizeIs(1));
        // The open completion's line comes just after the instance starts.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        reapEndedChildren();
        EXPECT_TRUE(isAlive(silentAgent));
    }
};

TEST_F(OutputFaultTest, ClosedStandardErrorDoesNotStopTheAgent)
{
    writeRecord("start", "no-stderr");
    silentAgent =
        spawnWithStandardError({agentExecutable(agentBundle).string()}, environment(), -1);
    expectActedAndAlive();
}

TEST_F(OutputFaultTest, BrokenPipeOnStandardErrorDoesNotStopTheAgent)
{
    writeRecord("start", "broken-pipe");
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    silentAgent =
        spawnWithStandardError({agentExecutable(agentBundle).string()}, environment(), ends[1]);
    // Nobody will ever read: every line the agent writes meets EPIPE.
    ::close(ends[0]);
    ::close(ends[1]);
    expectActedAndAlive();
}

TEST_F(OutputFaultTest, AppOpenedByAnAgentWithABrokenStandardErrorSurvivesItsFirstLine)
{
    // The sample Drovix writes a line as it starts; the program the agent opens must not
    // inherit a pipe that nobody reads, or that first line ends it.
    const fs::path talkative = installDrovix(scratch.path() / "Talkative" / "Drovix.app");
    const fs::path talkativeAgent = installAgentInside(talkative);
    writeRecord("start", "inherited-pipe");
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    silentAgent =
        spawnWithStandardError({agentExecutable(talkativeAgent).string()}, environment(), ends[1]);
    ::close(ends[0]);
    ::close(ends[1]);
    EXPECT_THAT(awaitInstanceCount(talkative, 1, within(10)), SizeIs(1));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_THAT(instancesOf(talkative), SizeIs(1));
}

TEST_F(OutputFaultTest, ProcessesVanishingDuringTheScanAreNoInstances)
{
    allowSeconds(40);
    // Another application whose processes live for a moment, over and over: their /proc
    // entries and executable links vanish while the agent reads them.
    const fs::path other = scratch.path() / "Other.app";
    fs::create_directories(other / "Contents" / "MacOS");
    fs::copy_file("/bin/true", other / "Contents" / "MacOS" / "Other");
    writeInfoPlist(other, "com.example.Other", "Other");
    std::atomic<bool> stop = false;
    std::atomic<int> started = 0;
    std::thread churn([&, program = (other / "Contents" / "MacOS" / "Other").string()] {
        while (!stop) {
            const pid_t pid = spawnProcess({program}, {});
            ::waitpid(pid, nullptr, 0);
            ++started;
        }
    });

    const pid_t old = openDrovixYourself(drovix);
    writeRecord("restart", "churn");
    startAgent(agentBundle);
    EXPECT_THAT(nextMessage(5), MatchesRegex(R"(DrovixRescue: acting on restart \([0-4]s old\))"));
    EXPECT_EQ(nextMessage(5), "DrovixRescue: restarting Drovix (1 running)");
    EXPECT_EQ(nextMessage(5), "DrovixRescue: started Drovix");
    const auto instances = awaitInstanceCount(drovix, 1, within(5));
    ASSERT_THAT(instances, SizeIs(1));
    EXPECT_NE(instances[0], old);
    // Two more looks while the churn goes on: nothing to say.
    expectQuietFor(21);
    stop = true;
    churn.join();
    EXPECT_GT(started.load(), 100);
}

} // namespace
} // namespace drovix::faults
