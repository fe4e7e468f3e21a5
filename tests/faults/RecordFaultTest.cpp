// Faults of the command record on disk: a careless writer, a record replaced while it is read,
// and a container folder that is removed, recreated and made unreadable.
#include "FaultTest.h"

#include <gmock/gmock.h>

#include <atomic>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace drovix::faults {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;
using ::testing::StartsWith;

constexpr double lookInterval = 10;

class RecordFaultTest : public FaultTest {
protected:
    fs::path agentBundle;

    void SetUp() override
    {
        FaultTest::SetUp();
        agentBundle = installAgentInside(installDrovix(scratch.path() / "Drovix.app"));
    }
};

TEST_F(RecordFaultTest, HalfWrittenRecordIsReportedOnceAndActedOnWhenWhole)
{
    allowSeconds(60);
    // The writer truncates the file in place and stops halfway, before the issue time.
    const std::string prefix = recordText("start", "careless", 0);
    const std::size_t half = prefix.find("\"nonce\"");
    fs::create_directories(recordPath().parent_path());
    const int fd = ::open(recordPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, prefix.data(), half), ssize_t(half));
    startAgent(agentBundle);

    EXPECT_THAT(nextMessage(5), StartsWith("DrovixRescue: standing by, can't read the command "
                                           "record: command.json is not valid JSON"));
    // Two more looks read the same half record: nothing new to say.
    expectQuietFor(2 * lookInterval + 1);

    // The rest arrives, with a fresh issue time, through the same descriptor.
    const std::string whole = recordText("start", "careless", wallNow());
    ASSERT_EQ(whole.compare(0, half, prefix, 0, half), 0);
    ASSERT_EQ(::write(fd, whole.data() + half, whole.size() - half), ssize_t(whole.size() - half));
    ::close(fd);
    EXPECT_THAT(nextMessage(lookInterval + 1),
                MatchesRegex(R"(DrovixRescue: acting on start \(([0-9]|1[01])s old\))"));
    EXPECT_EQ(nextMessage(5), "DrovixRescue: started Drovix");
}

TEST_F(RecordFaultTest, RecordReplacedWhileBeingReadIsReadWhole)
{
    allowSeconds(75);
    // The Drovix it starts leaves at once, so that every look reads the record.
    extraEnvironment = {"DROVIX_SAMPLE_LIFETIME=1"};
    writeRecord("start", "steady");
    // A client that rewrites the same command over and over, as atomic replacements of
    // different sizes (padding up to 60 KiB), so that many reads overlap a replacement.
    std::atomic<bool> stop = false;
    std::thread writer([&] {
        const double issuedAt = wallNow();
        for (std::size_t round = 0; !stop; ++round) {
            std::string text = recordText("start", "steady", issuedAt);
            text.insert(text.size() - 2, (round * 7919) % 60000, ' ');
            replaceFile(recordPath(), text);
        }
    });
    startAgent(agentBundle);

    EXPECT_THAT(nextMessage(5), MatchesRegex(R"(DrovixRescue: acting on start \([0-4]s old\))"));
    EXPECT_EQ(nextMessage(5), "DrovixRescue: started Drovix");
    // The first look after the quiet period sees the same command once more; the later ones
    // have nothing new to say.
    EXPECT_EQ(nextMessage(4 * lookInterval + 1), "DrovixRescue: standing by, already acted on "
                                                 "command steady");
    expectQuietFor(2 * lookInterval + 1);
    stop = true;
    writer.join();
}

// Runs the agent as an ordinary user when the tests run as root, for whom no folder is
// unreadable.
std::vector<std::string> withoutPrivileges()
{
    if (::geteuid() != 0)
        return {};
    return {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
}

TEST_F(RecordFaultTest, ContainerFolderThatComesAndGoesGivesOneReasonPerChange)
{
    allowSeconds(90);
    if (::geteuid() == 0 && !fs::exists("/usr/bin/setpriv"))
        GTEST_SKIP() << "running as root without setpriv to become an ordinary user";
    // The agent, as that user, must reach its bundle and the record: the scratch folder is
    // root's own and private.
    fs::permissions(scratch.path(), fs::perms::owner_all | fs::perms::group_read |
                                        fs::perms::group_exec | fs::perms::others_read |
                                        fs::perms::others_exec);
    const std::string notOurs =
        "DrovixRescue: standing by, latest command is open, which is Drovix's to answer, not ours";
    writeRecord("open", "o1");
    startAgent(agentBundle, withoutPrivileges());
    EXPECT_EQ(nextMessage(5), notOurs);

    fs::remove_all(containerPath());
    EXPECT_EQ(nextMessage(lookInterval + 1),
              "DrovixRescue: standing by, no command record in this container yet");

    writeRecord("open", "o1");
    EXPECT_EQ(nextMessage(lookInterval + 1), notOurs);

    fs::permissions(containerPath(), fs::perms::none);
    EXPECT_THAT(nextMessage(lookInterval + 1),
                MatchesRegex("DrovixRescue: standing by, can't read the command record: "
                             ".*Permission denied"));

    fs::permissions(containerPath(), fs::perms::owner_all | fs::perms::group_read |
                                         fs::perms::group_exec | fs::perms::others_read |
                                         fs::perms::others_exec);
    EXPECT_EQ(nextMessage(lookInterval + 1), notOurs);
    expectQuietFor(lookInterval + 1);
}

} // namespace
} // namespace drovix::faults
