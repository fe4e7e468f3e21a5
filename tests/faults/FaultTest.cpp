// The fault tests' fixture and helpers.
#include "FaultTest.h"

#include "Identifiers.h"

#include <gmock/gmock.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <sys/wait.h>

namespace drovix::faults {

std::string recordText(const std::string& kind, const std::string& nonce, double issuedAt)
{
    char milliseconds[32];
    std::snprintf(milliseconds, sizeof milliseconds, "%.0f", issuedAt * 1000.0);
    return "{\n  \"recordName\": \"command\",\n  \"recordType\": \"Command\",\n  \"fields\": {\n"
           "    \"kind\": {\"value\": \"" +
           kind + "\", \"type\": \"STRING\"},\n    \"nonce\": {\"value\": \"" + nonce +
           "\", \"type\": \"STRING\"},\n    \"issuedAt\": {\"value\": " + milliseconds +
           ", \"type\": \"TIMESTAMP\"}\n  }\n}\n";
}

double wallNow()
{
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

bool isAlive(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/stat");
    std::string pidField, name, state;
    // "pid (name) state ..."; the name may hold spaces but not ") ".
    std::string line;
    if (!std::getline(status, line))
        return false;
    const auto close = line.rfind(") ");
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z' &&
           line[close + 2] != 'X';
}

std::map<std::string, pid_t> notedPids(const fs::path& file)
{
    std::map<std::string, pid_t> pids;
    std::ifstream lines(file);
    std::string role;
    pid_t pid = 0;
    while (lines >> role >> pid)
        pids[role] = pid;
    return pids;
}

FaultTest::FaultTest()
{
    becomeSubreaper();
    fs::create_directories(home);
}

void FaultTest::SetUp()
{
    if (machineHasDrovix())
        GTEST_SKIP() << "a Drovix in /Applications would be found first";
}

void FaultTest::TearDown()
{
    if (agent) {
        agent->kill();
        EXPECT_THAT(agent->malformedLines(), ::testing::IsEmpty());
        if (HasFailure()) {
            std::cerr << "What the agent and its instances wrote:\n";
            for (const auto& line : agent->transcript())
                std::cerr << "  " << line << "\n";
        }
    }
    killProcessesRunningFrom(scratch.path(), secondsFromNow(5));
    EXPECT_THAT(processesRunningFrom(scratch.path()), ::testing::IsEmpty());
}

Deadline FaultTest::within(double seconds) const
{
    return std::min(secondsFromNow(seconds), testDeadline_);
}

std::vector<std::string> FaultTest::environment() const
{
    // The first of two settings of one variable is the one a program reads.
    std::vector<std::string> variables = extraEnvironment;
    variables.insert(variables.end(), {
                                          "HOME=" + home.string(),
                                          "PATH=/usr/local/bin:/usr/bin:/bin",
                                          // Instances end by themselves even if a test cannot
                                          // clean up after itself.
                                          "DROVIX_SAMPLE_LIFETIME=180",
                                      });
    // Under a sanitizer the agent is built with it too: its reports must end it as they would
    // end the test.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char* value = std::getenv(name))
            variables.push_back(std::string(name) + "=" + value);
    return variables;
}

fs::path FaultTest::containerPath() const
{
    return home / ".local" / "share" / "cloud" / std::string(commandContainerIdentifier);
}

fs::path FaultTest::recordPath() const
{
    return containerPath() / "private" / "_defaultZone" / "command.json";
}

void FaultTest::writeRecord(const std::string& kind, const std::string& nonce, double age)
{
    replaceFile(recordPath(), recordText(kind, nonce, wallNow() - age));
}

fs::path FaultTest::installDrovix(const fs::path& bundle)
{
    copyBundle(builtSampleBundle(), bundle);
    return bundle;
}

fs::path FaultTest::installFaultyDrovix(const fs::path& bundle)
{
    fs::create_directories(bundle / "Contents" / "MacOS");
    fs::copy_file(DROVIX_FAULTY_EXECUTABLE, bundle / "Contents" / "MacOS" / "Drovix");
    writeInfoPlist(bundle, std::string(mainAppBundleIdentifier), "Drovix");
    return bundle;
}

fs::path FaultTest::installAgentInside(const fs::path& outerBundle)
{
    const fs::path agentBundle =
        outerBundle / "Contents" / "Library" / "LoginItems" / "DrovixRescue.app";
    copyBundle(builtAgentBundle(), agentBundle);
    return agentBundle;
}

fs::path FaultTest::agentExecutable(const fs::path& agentBundle)
{
    return agentBundle / "Contents" / "MacOS" / "DrovixRescue";
}

void FaultTest::startAgent(const fs::path& agentBundle, const std::vector<std::string>& prefix)
{
    std::vector<std::string> command = prefix;
    command.push_back(agentExecutable(agentBundle).string());
    const std::string program = command.front();
    command.erase(command.begin());
    agent = std::make_unique<AgentProcess>(program, command, environment());
}

pid_t FaultTest::openDrovixYourself(const fs::path& bundle, const std::vector<std::string>& extra)
{
    auto variables = environment();
    variables.insert(variables.end(), extra.begin(), extra.end());
    const pid_t pid =
        spawnProcess({(bundle / "Contents" / "MacOS" / "Drovix").string()}, variables);
    EXPECT_THAT(awaitInstanceCount(bundle, 1, within(5)), ::testing::ElementsAre(pid));
    return pid;
}

std::string FaultTest::nextMessage(double seconds)
{
    return agent->nextMessage(within(seconds)).message;
}

void FaultTest::expectQuietFor(double seconds)
{
    const LogLine line = agent->nextMessage(within(seconds));
    EXPECT_FALSE(line.received) << "unexpected: " << line.message;
}

} // namespace drovix::faults
