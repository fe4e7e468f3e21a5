// The whole agent as built, with the command writer and the sample Drovix, as real processes in a
// scratch home, through the record file and through a stand-in of CloudKit's web services: what no
// test of its parts can show.
#include "StandInService.h"
#include "Support.h"

namespace drovix {
namespace {

using namespace support;

TEST(AgentTest, RestartsObedientAndStubbornDrovix)
{
    Scratch scratch;
    // Inherited by the instances the agent opens, which end by themselves should the test fail.
    const Strings environment{"HOME=" + scratch.path, "PATH=/usr/bin:/bin",
                              "DROVIX_SAMPLE_LIFETIME=60"};
    StandInService service(DROVIX_TEST_SOCKET, keepingTheRecord());
    const std::string web = "stubborn";
    for (const std::string behaviour : {"obedient", "stubborn"}) {
        SCOPED_TRACE(behaviour);
        const std::string writer =
            behaviour == web ? DROVIX_WEB_COMMAND_WRITER : DROVIX_COMMAND_WRITER;
        const std::string drovix =
            scratch.bundle("Applications/Drovix.app", testIdentifier, behaviour);
        Child running({scratch.program(drovix)}, environment);
        ASSERT_TRUE(running.readLine());
        if (behaviour == web) {
            Child signIn({writer, "sign-in"}, environment, {},
                         "https://x.test/cb?ckWebAuthToken=e2e%2Btoken\n");
            EXPECT_EQ("Sign in to iCloud in a browser, at", signIn.readLine());
            ASSERT_EQ(0, signIn.reap());
            EXPECT_EQ("e2e+token\n",
                      *posix::readRegularFile(scratch.path + "/.config/cloud/iCloud." +
                                                  testIdentifier + "/web-auth-token",
                                              100));
        }
        Child command({writer, "--container", "iCloud." + testIdentifier, "restart"}, environment);
        ASSERT_EQ(0, command.reap()) << command.readLine().value_or("");
        // With arguments, which it does not read.
        Child agent({behaviour == web ? DROVIX_WEB_AGENT : DROVIX_TEST_AGENT, "-h"}, environment);
        const auto next = [&] {
            const std::string line = agent.readLine().value_or("(no message)");
            const std::size_t at = line.find("] DrovixRescue: ");
            return at == std::string::npos ? line : line.substr(at + 2);
        };
        EXPECT_THAT(next(),
                    ::testing::MatchesRegex(R"(DrovixRescue: acting on restart \(.s old\))"));
        EXPECT_EQ("DrovixRescue: restarting Drovix (1 running)", next());
        if (behaviour == "stubborn") {
            EXPECT_EQ("DrovixRescue: Drovix wouldn't quit, forcing it", next());
        }
        EXPECT_EQ("DrovixRescue: started Drovix", next());
        const std::optional<int> status = running.reap();
        ASSERT_TRUE(status);
        EXPECT_EQ(behaviour == "stubborn" ? SIGKILL : 0,
                  WIFSIGNALED(*status) ? WTERMSIG(*status) : WEXITSTATUS(*status));
        const auto instances = bundleProcesses([&](auto& bundle) { return bundle == drovix; });
        ASSERT_EQ(1u, instances.size());
        instances[0]->forceTerminate();
        readable(instances[0]->pidfd());
    }
}

} // namespace
} // namespace drovix
