// Faults of the main application: it leaves during the restart waits, forks children, is
// replaced on disk while it runs, lacks its run bit, or has a missing or broken Info.plist.
#include "FaultTest.h"

#include "Identifiers.h"

#include <gmock/gmock.h>

#include <csignal>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace drovix::faults {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
using ::testing::Not;
using ::testing::SizeIs;

const std::string actingOnRestart = R"(DrovixRescue: acting on restart \([0-4]s old\))";
const std::string actingOnStart = R"(DrovixRescue: acting on start \([0-4]s old\))";

class ApplicationFaultTest : public FaultTest {
protected:
    fs::path drovix;
    fs::path agentBundle;

    void layOut(bool faulty = false)
    {
        drovix = faulty ? installFaultyDrovix(scratch.path() / "Drovix.app")
                        : installDrovix(scratch.path() / "Drovix.app");
        agentBundle = installAgentInside(drovix);
    }

    fs::path executable() const { return drovix / "Contents" / "MacOS" / "Drovix"; }
};

TEST_F(ApplicationFaultTest, AppLeavingDuringTheRestartWaitsIsOpenedWithoutForcing)
{
    layOut();
    // It ignores the quit request, then goes by itself while the agent waits.
    const pid_t stubborn = openDrovixYourself(drovix, {"DROVIX_SAMPLE_IGNORE_SIGTERM=1"});
    writeRecord("restart", "leaves");
    startAgent(agentBundle);
    EXPECT_THAT(nextMessage(5), MatchesRegex(actingOnRestart));
    EXPECT_EQ(nextMessage(5), "DrovixRescue: restarting Drovix (1 running)");
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    ::kill(stubborn, SIGKILL);

    EXPECT_EQ(nextMessage(4), "DrovixRescue: started Drovix");
    const auto instances = awaitInstanceCount(drovix, 1, within(5));
    ASSERT_THAT(instances, SizeIs(1));
    EXPECT_NE(instances[0], stubborn);
}

TEST_F(ApplicationFaultTest, ForkedHelpersAreQuitWithTheAppAndOtherProgramsAreLeftAlone)
{
    layOut(true);
    const fs::path pidsFile = scratch.path() / "pids";
    extraEnvironment = {"DROVIX_FAULTY_HELPER=1", "DROVIX_FAULTY_OTHER=/bin/sleep",
                        "DROVIX_FAULTY_PIDS=" + pidsFile.string()};
    spawnProcess({executable().string()}, environment());
    ASSERT_THAT(awaitInstanceCount(drovix, 2, within(5)), SizeIs(2));
    std::map<std::string, pid_t> first;
    while ((first = notedPids(pidsFile)).size() < 3 && SteadyClock::now() < within(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_THAT(first, SizeIs(3));
    const pid_t firstOther = first["other"];

    writeRecord("restart", "family");
    startAgent(agentBundle);
    EXPECT_THAT(nextMessage(5), MatchesRegex(actingOnRestart));
    // The helper runs the same executable: it is an instance, and is asked to quit too.
    EXPECT_EQ(nextMessage(5), "DrovixRescue: restarting Drovix (2 running)");
    EXPECT_EQ(nextMessage(5), "DrovixRescue: started Drovix");
    const auto reopened = awaitInstanceCount(drovix, 2, within(5));
    EXPECT_THAT(reopened, Not(::testing::Contains(first["main"])));
    EXPECT_THAT(reopened, Not(::testing::Contains(first["helper"])));
    EXPECT_FALSE(isAlive(first["main"]));
    EXPECT_FALSE(isAlive(first["helper"]));
    // The child that runs another program is no instance: the agent never signals it.
    EXPECT_TRUE(isAlive(firstOther));

    std::map<std::string, pid_t> second;
    while ((second = notedPids(pidsFile))["other"] == firstOther && SteadyClock::now() < within(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (const pid_t other : {firstOther, second["other"]}) {
        ::kill(other, SIGKILL);
        awaitExitStatus(other, within(5));
    }
}

// Puts a fresh copy of the executable in place of the running one, as an update does: the
// running instance's /proc/<pid>/exe then ends in " (deleted)".
void replaceOnDisk(const fs::path& executable, pid_t running)
{
    const fs::path fresh = executable.parent_path() / ".Drovix.update";
    fs::copy_file(executable, fresh);
    fs::rename(fresh, executable);
    const fs::path seen = fs::read_symlink("/proc/" + std::to_string(running) + "/exe");
    ASSERT_EQ(seen.string(), executable.string() + " (deleted)");
}

TEST_F(ApplicationFaultTest, InstanceReplacedOnDiskIsStillRestarted)
{
    layOut();
    const pid_t old = openDrovixYourself(drovix);
    ASSERT_NO_FATAL_FAILURE(replaceOnDisk(executable(), old));
    writeRecord("restart", "updated");
    startAgent(agentBundle);
    EXPECT_THAT(nextMessage(5), MatchesRegex(actingOnRestart));
    EXPECT_EQ(nextMessage(5), "DrovixRescue: restarting Drovix (1 running)");
    EXPECT_EQ(nextMessage(5), "DrovixRescue: started Drovix");
    const std::optional<int> status = awaitExitStatus(old, within(5));
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
    const auto instances = awaitInstanceCount(drovix, 1, within(5));
    ASSERT_THAT(instances, SizeIs(1));
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(instances[0]) + "/exe"), executable());
}

TEST_F(ApplicationFaultTest, InstanceReplacedOnDiskIsNotStartedTwice)
{
    layOut();
    const pid_t old = openDrovixYourself(drovix);
    ASSERT_NO_FATAL_FAILURE(replaceOnDisk(executable(), old));
    writeRecord("start", "updated");
    startAgent(agentBundle);
    EXPECT_THAT(nextMessage(5), MatchesRegex(actingOnStart));
    EXPECT_EQ(nextMessage(5), "DrovixRescue: started Drovix");
    // A second copy beside the running one would have appeared by now.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_THAT(instancesOf(drovix), ElementsAre(old));
}

TEST_F(ApplicationFaultTest, ExecutableWithoutTheRunBitIsReported)
{
    layOut();
    fs::permissions(executable(), fs::perms::owner_read | fs::perms::owner_write |
                                      fs::perms::group_read | fs::perms::others_read);
    writeRecord("start", "no-run-bit");
    startAgent(agentBundle);
    EXPECT_THAT(nextMessage(5), MatchesRegex(actingOnStart));
    EXPECT_EQ(nextMessage(5), "DrovixRescue: couldn't start Drovix — " + executable().string() +
                                  " can't be started: Permission denied");
    EXPECT_THAT(instancesOf(drovix), IsEmpty());
    EXPECT_TRUE(isAlive(agent->pid()));
}

TEST_F(ApplicationFaultTest, MissingInfoPlistIsReported)
{
    layOut();
    fs::remove(drovix / "Contents" / "Info.plist");
    writeRecord("start", "no-plist");
    startAgent(agentBundle);
    EXPECT_THAT(nextMessage(5), MatchesRegex(actingOnStart));
    EXPECT_EQ(nextMessage(5), "DrovixRescue: couldn't start Drovix — " + drovix.string() +
                                  " has no readable Contents/Info.plist: No such file or "
                                  "directory");
    EXPECT_THAT(instancesOf(drovix), IsEmpty());
}

TEST_F(ApplicationFaultTest, GarbageInfoPlistIsReported)
{
    layOut();
    std::ofstream(drovix / "Contents" / "Info.plist") << "<plist><dict><key>CFBundle";
    writeRecord("start", "garbage-plist");
    startAgent(agentBundle);
    EXPECT_THAT(nextMessage(5), MatchesRegex(actingOnStart));
    EXPECT_EQ(nextMessage(5), "DrovixRescue: couldn't start Drovix — " + drovix.string() +
                                  " has no readable Contents/Info.plist: not a property list");
    EXPECT_THAT(instancesOf(drovix), IsEmpty());
}

TEST_F(ApplicationFaultTest, InfoPlistWithANulInAStringDoesNotEndTheAgent)
{
    // Any bundle the agent reads can hold this: its own, Drovix's, or that of any process of
    // the user that runs from a bundle.
    layOut();
    writeInfoPlist(drovix, std::string(mainAppBundleIdentifier) + std::string(1, '\0') + "x",
                   "Drovix");
    writeRecord("start", "nul-plist");
    startAgent(agentBundle);
    EXPECT_THAT(nextMessage(5), MatchesRegex(actingOnStart));
    EXPECT_EQ(nextMessage(5), "DrovixRescue: started Drovix");
    EXPECT_TRUE(isAlive(agent->pid()));
}

} // namespace
} // namespace drovix::faults
