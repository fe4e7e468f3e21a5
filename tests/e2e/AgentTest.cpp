// The agent end to end: the built executable, the sample Drovix and the command writer as real
// processes, each test in a scratch home of its own.
#include "AgentHarness.h"
#include "Identifiers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <sys/wait.h>

namespace drovix::e2e {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
using ::testing::Not;
using ::testing::SizeIs;
using ::testing::StartsWith;

// The agent looks at start and then every lookInterval seconds.
constexpr double lookInterval = 10;

class AgentTest : public ::testing::Test {
protected:
    ScratchFolder scratch;
    const fs::path home = scratch.path() / "home";
    std::optional<fs::path> dataHome; // XDG_DATA_HOME, when a test sets one
    std::unique_ptr<AgentProcess> agent;

    AgentTest()
    {
        becomeSubreaper();
        fs::create_directories(home);
    }

    void SetUp() override
    {
        if (machineHasDrovix())
            GTEST_SKIP() << "a Drovix in /Applications would be found first";
    }

    void TearDown() override
    {
        if (agent) {
            agent->kill();
            EXPECT_THAT(agent->malformedLines(), IsEmpty());
            if (HasFailure()) {
                std::cerr << "What the agent and its instances wrote:\n";
                for (const auto& line : agent->transcript())
                    std::cerr << "  " << line << "\n";
            }
        }
        killProcessesRunningFrom(scratch.path(), secondsFromNow(5));
        EXPECT_THAT(processesRunningFrom(scratch.path()), IsEmpty());
    }

    // Quick tests get testDeadline's default; slow ones ask for more.
    void allowSeconds(double seconds) { testDeadline = secondsFromNow(seconds); }

    // A deadline seconds from now, never past the test's own.
    Deadline within(double seconds) const
    {
        return std::min(secondsFromNow(seconds), testDeadline);
    }

    std::vector<std::string> environment() const
    {
        std::vector<std::string> variables{
            "HOME=" + home.string(),
            "PATH=/usr/local/bin:/usr/bin:/bin",
            // Inherited by the instances the agent opens, which then end by themselves even if
            // this test cannot clean up after itself.
            "DROVIX_SAMPLE_LIFETIME=180",
        };
        if (dataHome)
            variables.push_back("XDG_DATA_HOME=" + dataHome->string());
        return variables;
    }

    fs::path recordPath() const
    {
        return (dataHome ? *dataHome : home / ".local" / "share") / "cloud" /
               std::string(commandContainerIdentifier) / "private" / "_defaultZone" /
               "command.json";
    }

    static fs::path installDrovix(const fs::path& bundle)
    {
        copyBundle(builtSampleBundle(), bundle);
        return bundle;
    }

    // Puts a copy of the agent where Drovix keeps its login item.
    static fs::path installAgentInside(const fs::path& outerBundle)
    {
        const fs::path agentBundle =
            outerBundle / "Contents" / "Library" / "LoginItems" / "DrovixRescue.app";
        copyBundle(builtAgentBundle(), agentBundle);
        return agentBundle;
    }

    void writeCommand(const std::vector<std::string>& arguments)
    {
        std::vector<std::string> argv{builtCommandWriter().string()};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        std::string output;
        ASSERT_EQ(runProcess(argv, environment(), within(10), output), 0) << output;
        ASSERT_THAT(output, StartsWith("wrote " + recordPath().string() + "\n"));
    }

    void startAgent(const fs::path& agentBundle, const std::vector<std::string>& arguments = {})
    {
        agent = std::make_unique<AgentProcess>(agentBundle / "Contents" / "MacOS" / "DrovixRescue",
                                               arguments, environment());
    }

    // Opens Drovix the way a user would, outside the agent; returns once it runs.
    pid_t openDrovixYourself(const fs::path& bundle, bool ignoreQuit = false)
    {
        auto variables = environment();
        if (ignoreQuit)
            variables.push_back("DROVIX_SAMPLE_IGNORE_SIGTERM=1");
        const pid_t pid =
            spawnProcess({(bundle / "Contents" / "MacOS" / "Drovix").string()}, variables);
        EXPECT_THAT(awaitInstanceCount(bundle, 1, within(5)), ElementsAre(pid));
        return pid;
    }

    LogLine nextLine(double seconds) { return agent->nextMessage(within(seconds)); }
    std::string nextMessage(double seconds) { return nextLine(seconds).message; }

private:
    Deadline testDeadline = secondsFromNow(30);
};

TEST_F(AgentTest, StartsDrovixFoundFourLevelsAboveItsOwnBundle)
{
    // No ~/Applications: only the place of the agent inside Drovix.app can lead to it.
    const fs::path drovix = installDrovix(scratch.path() / "Drovix.app");
    const fs::path agentBundle = installAgentInside(drovix);
    ASSERT_NO_FATAL_FAILURE(writeCommand({"start", "--age", "30"}));
    startAgent(agentBundle, {"--help", "restart"}); // arguments are not read

    const LogLine acting = nextLine(10);
    EXPECT_THAT(acting.message, MatchesRegex(R"(DrovixRescue: acting on start \(3[0-4]s old\))"));
    EXPECT_EQ(acting.pid, agent->pid());
    EXPECT_EQ(nextMessage(10), "DrovixRescue: started Drovix");
    EXPECT_THAT(awaitInstanceCount(drovix, 1, within(5)), SizeIs(1));
}

TEST_F(AgentTest, FindsDrovixByBundleIdentifierBeforeItsOwnPlace)
{
    // The first application in name order is another one; the bundle that holds the agent is a
    // Drovix too, but the one found by identifier wins. No instance runs, so "restart" opens it.
    const fs::path applications = home / "Applications";
    const fs::path other = applications / "Aardvark.app";
    copyBundle(builtSampleBundle(), other);
    writeInfoPlist(other, "com.example.Aardvark", "Drovix");
    const fs::path drovix = installDrovix(applications / "Drovix.app");
    const fs::path holder = installDrovix(scratch.path() / "Holder.app");
    const fs::path agentBundle = installAgentInside(holder);
    dataHome = scratch.path() / "data";
    ASSERT_NO_FATAL_FAILURE(writeCommand({"restart"}));
    startAgent(agentBundle);

    EXPECT_THAT(nextMessage(10), MatchesRegex(R"(DrovixRescue: acting on restart \([0-4]s old\))"));
    EXPECT_EQ(nextMessage(10), "DrovixRescue: started Drovix");
    EXPECT_THAT(awaitInstanceCount(drovix, 1, within(5)), SizeIs(1));
    EXPECT_THAT(instancesOf(holder), IsEmpty());
    EXPECT_THAT(instancesOf(other), IsEmpty());
}

TEST_F(AgentTest, RestartsAnObedientDrovix)
{
    const fs::path drovix = installDrovix(scratch.path() / "Drovix.app");
    const fs::path agentBundle = installAgentInside(drovix);
    const pid_t first = openDrovixYourself(drovix);
    ASSERT_NO_FATAL_FAILURE(writeCommand({"restart", "--nonce", "obedient"}));
    startAgent(agentBundle);

    EXPECT_THAT(nextMessage(10), MatchesRegex(R"(DrovixRescue: acting on restart \([0-4]s old\))"));
    const LogLine restarting = nextLine(5);
    EXPECT_EQ(restarting.message, "DrovixRescue: restarting Drovix (1 running)");
    const LogLine started = nextLine(10);
    EXPECT_EQ(started.message, "DrovixRescue: started Drovix");
    // It quit at once, so the first one-second wait was the only one.
    EXPECT_GE(started.wallSeconds - restarting.wallSeconds, 0.99);
    EXPECT_LT(started.wallSeconds - restarting.wallSeconds, 5.0);

    const auto status = awaitExitStatus(first, within(5));
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
    const auto instances = awaitInstanceCount(drovix, 1, within(5));
    ASSERT_THAT(instances, SizeIs(1));
    EXPECT_NE(instances[0], first);
}

TEST_F(AgentTest, StartLeavesARunningDrovixAlone)
{
    // Dated a minute ahead of the agent's clock, which is still inside the window.
    const fs::path drovix = installDrovix(scratch.path() / "Drovix.app");
    const fs::path agentBundle = installAgentInside(drovix);
    const pid_t running = openDrovixYourself(drovix);
    ASSERT_NO_FATAL_FAILURE(writeCommand({"start", "--age", "-60"}));
    startAgent(agentBundle);

    EXPECT_THAT(nextMessage(10),
                MatchesRegex(R"(DrovixRescue: acting on start \(-(60|5[5-9])s old\))"));
    EXPECT_EQ(nextMessage(10), "DrovixRescue: started Drovix");
    EXPECT_THAT(instancesOf(drovix), ElementsAre(running));
}

TEST_F(AgentTest, ReportsAFolderThatIsNoApplication)
{
    // The folder four levels above the agent exists, but holds nothing to run.
    const fs::path notAnApplication = scratch.path() / "Drovix.app";
    const fs::path agentBundle = installAgentInside(notAnApplication);
    ASSERT_NO_FATAL_FAILURE(writeCommand({"start"}));
    startAgent(agentBundle);

    EXPECT_THAT(nextMessage(10), MatchesRegex(R"(DrovixRescue: acting on start \([0-4]s old\))"));
    const std::string failure = nextMessage(10);
    const std::string prefix = "DrovixRescue: couldn't start Drovix \u2014 ";
    EXPECT_THAT(failure, StartsWith(prefix));
    EXPECT_GT(failure.size(), prefix.size()) << "the failure carries no description";
    EXPECT_THAT(processesRunningFrom(scratch.path()), ElementsAre(agent->pid()));
}

// About a minute: ten one-second waits, then a second restart that the 45-second running gate
// holds back.
TEST_F(AgentTest, ForcesADrovixThatIgnoresQuitAndRestartsTheOneItOpened)
{
    allowSeconds(100);
    const fs::path drovix = installDrovix(scratch.path() / "Drovix.app");
    const fs::path agentBundle = installAgentInside(drovix);
    const pid_t stubborn = openDrovixYourself(drovix, /*ignoreQuit=*/true);
    ASSERT_NO_FATAL_FAILURE(writeCommand({"restart", "--nonce", "first"}));
    startAgent(agentBundle);

    EXPECT_THAT(nextMessage(10), MatchesRegex(R"(DrovixRescue: acting on restart \([0-4]s old\))"));
    const LogLine restarting = nextLine(5);
    EXPECT_EQ(restarting.message, "DrovixRescue: restarting Drovix (1 running)");
    const LogLine forcing = nextLine(20);
    EXPECT_EQ(forcing.message, "DrovixRescue: Drovix wouldn't quit, forcing it");
    EXPECT_GE(forcing.wallSeconds - restarting.wallSeconds, 9.9);
    const LogLine started = nextLine(10);
    EXPECT_EQ(started.message, "DrovixRescue: started Drovix");
    EXPECT_GE(started.wallSeconds - forcing.wallSeconds, 0.99);

    const auto status = awaitExitStatus(stubborn, within(5));
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL) << "wait status " << *status;
    const auto opened = awaitInstanceCount(drovix, 1, within(5));
    ASSERT_THAT(opened, SizeIs(1));

    // The instance the agent opened itself obeys, and once it quits the agent must not go on
    // counting it: the restart ends after one wait, without forcing.
    ASSERT_NO_FATAL_FAILURE(writeCommand({"restart", "--nonce", "second"}));
    EXPECT_THAT(nextMessage(60),
                MatchesRegex(R"(DrovixRescue: acting on restart \([0-9]+s old\))"));
    EXPECT_EQ(nextMessage(5), "DrovixRescue: restarting Drovix (1 running)");
    EXPECT_EQ(nextMessage(10), "DrovixRescue: started Drovix");
    const auto reopened = awaitInstanceCount(drovix, 1, within(5));
    ASSERT_THAT(reopened, SizeIs(1));
    EXPECT_NE(reopened[0], opened[0]);
}

// About 35 seconds: each reason must survive a second look unrepeated.
TEST_F(AgentTest, LogsEachStandingByReasonOnce)
{
    allowSeconds(60);
    const fs::path drovix = installDrovix(scratch.path() / "Drovix.app");
    const fs::path agentBundle = installAgentInside(drovix);
    startAgent(agentBundle);

    // Changes land halfway between looks, so the timing of any one look does not matter.
    EXPECT_EQ(nextMessage(10),
              "DrovixRescue: standing by, no command record in this container yet");
    const Deadline firstLook = SteadyClock::now() - std::chrono::milliseconds(100);
    const auto halfwayAfterLook = [&](int look) {
        return firstLook + std::chrono::milliseconds(int((look + 0.5) * lookInterval * 1000));
    };
    const LogLine repeated = agent->nextMessage(halfwayAfterLook(1));
    EXPECT_FALSE(repeated.received) << repeated.message;

    replaceFile(recordPath(), "{\"recordName\": \"command\", \"fields\": {\"kind\": ");
    EXPECT_THAT(nextMessage(lookInterval),
                StartsWith("DrovixRescue: standing by, can't read the command record: "));
    const LogLine repeatedAgain = agent->nextMessage(halfwayAfterLook(3));
    EXPECT_FALSE(repeatedAgain.received) << repeatedAgain.message;
    EXPECT_THAT(instancesOf(drovix), IsEmpty());
}

} // namespace
} // namespace drovix::e2e
