// The whole agent as built, with the command writer and the sample Drovix, as real processes in a
// scratch home: what no test of its parts can show.
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
    for (const std::string behaviour : {"obedient", "stubborn"}) {
        SCOPED_TRACE(behaviour);
        const std::string drovix =
            scratch.bundle("Applications/Drovix.app", testIdentifier, behaviour);
        Child running({scratch.program(drovix)}, environment);
        ASSERT_TRUE(running.readLine());
        Child writer({DROVIX_COMMAND_WRITER, "--container", "iCloud." + testIdentifier, "restart"},
                     environment);
        ASSERT_EQ(0, writer.reap()) << writer.readLine().value_or("");
        // With arguments, which it does not read.
        Child agent({DROVIX_TEST_AGENT, "-h"}, environment);
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
