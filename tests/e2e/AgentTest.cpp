// The agent, the command writer and the sample Drovix as built, as real processes in a scratch
// home, through a stand-in of CloudKit's web services and through the record file.
#include "StandInService.h"
#include "Support.h"

#include <sys/stat.h>

namespace drovix {
namespace {

using namespace support;

// The sender sends "restart", the agent (given arguments, which it does not read) restarts a
// running Drovix of the behaviour given, and one Drovix runs afterwards. The agent of the web
// services is signed in first, through its writer, which shows the command before and after.
void restarts(const Strings& sender, const std::string& agent, const std::string& behaviour)
{
    const std::string writer =
        agent == DROVIX_WEB_AGENT ? DROVIX_WEB_COMMAND_WRITER : DROVIX_COMMAND_WRITER;
    Scratch scratch;
    // Inherited by the instances the agent opens, which end by themselves should the test fail.
    const Strings environment{"HOME=" + scratch.path, "PATH=/usr/bin:/bin",
                              "DROVIX_SAMPLE_LIFETIME=60"};
    const std::string tokenFile =
        scratch.path + "/.config/cloud/iCloud." + testIdentifier + "/web-auth-token";
    const std::string drovix = scratch.bundle("Applications/Drovix.app", testIdentifier, behaviour);
    Child running({scratch.program(drovix)}, environment);
    ASSERT_TRUE(running.readLine());
    if (agent == DROVIX_WEB_AGENT) { // with the token the callback page shows, pasted
        Child signIn({"/bin/sh", "-c", "echo e2e+token | exec \"$0\" sign-in", writer},
                     environment);
        ASSERT_EQ(0, signIn.reap());
    }
    const auto shownStatus = [&] {
        Child shown({writer, "--container", "iCloud." + testIdentifier, "status"}, environment);
        std::string lines;
        while (const auto line = shown.readLine())
            lines += *line + "|";
        return lines;
    };
    EXPECT_EQ("no command yet|", shownStatus());
    if (agent == DROVIX_WEB_AGENT) { // a command for Drovix, saved through the service
        ASSERT_EQ(0, Child({writer, "--container", "iCloud." + testIdentifier, "send", "Quit"},
                           environment)
                         .reap());
        EXPECT_THAT(shownStatus(), ::testing::EndsWith("|a command for Drovix itself: "
                                                       "DrovixRescue leaves it alone|"));
        // The writer stored the service's renewals of the token.
        EXPECT_THAT(*posix::readRegularFile(tokenFile, 100), ::testing::StartsWith("renewed+"));
    }
    Child command(sender, environment);
    ASSERT_EQ(0, command.reap()) << command.readLine().value_or("");
    EXPECT_THAT(shownStatus(),
                ::testing::MatchesRegex(R"(restart, nonce \w{16}\|issued .*, . s ago\|)"
                                        R"(fresh for another 1.. s: a Mac .*\|)"));
    Child rescue({agent, "-h"}, environment);
    const auto next = [&] {
        const std::string line = rescue.readLine().value_or("(no message)");
        const std::size_t at = line.find("] DrovixRescue: ");
        return at == std::string::npos ? line : line.substr(at + 2);
    };
    EXPECT_THAT(next(), ::testing::MatchesRegex(R"(DrovixRescue: acting on restart \(.s old\))"));
    EXPECT_EQ("DrovixRescue: restarting Drovix (1 running)", next());
    if (behaviour == "stubborn") {
        EXPECT_EQ("DrovixRescue: Drovix wouldn't quit, forcing it", next());
    }
    EXPECT_EQ("DrovixRescue: started Drovix", next());
    const int status = running.reap().value_or(-1);
    EXPECT_EQ(behaviour == "stubborn" ? SIGKILL : 0,
              WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
    const auto instances = bundleProcesses([&](auto& bundle) { return bundle == drovix; });
    ASSERT_EQ(1u, instances.size());
    instances[0]->forceTerminate(), readable(instances[0]->pidfd());
}

TEST(AgentTest, RestartsDrovixFromTheCommandPageInABrowser)
{
    const Scratch page;
    StandInService service(DROVIX_TEST_SOCKET, standInCloud("page-api-token", 2), true, page.path);
    Child built({DROVIX_CMAKE, "-DOUTPUT=" + page.path, "-DAPI_TOKEN=page-api-token",
                 "-DURL=http://127.0.0.1:" + std::to_string(service.port()),
                 "-DCONTAINER=iCloud." + testIdentifier, "-DRECORD_TYPE=Command", "-DLOOPBACK=ON",
                 "-P", DROVIX_SOURCE_DIR "/web/BuildPage.cmake"});
    ASSERT_EQ(0, built.reap()) << built.readLine().value_or("");
    restarts({DROVIX_NODE, DROVIX_SOURCE_DIR "/tests/web/send-from-page.mjs",
              service.pageOrigin() + "/", "restart"},
             DROVIX_WEB_AGENT, "obedient");
}

TEST(AgentTest, ForcesStubbornDrovixOnACommandThroughTheFile)
{
    restarts({DROVIX_COMMAND_WRITER, "--container", "iCloud." + testIdentifier, "restart"},
             DROVIX_TEST_AGENT, "stubborn");
}

} // namespace
} // namespace drovix
