// The fixture of the fault tests: the built agent and main applications as real processes in a
// scratch home, on the end-to-end harness, with helpers for faults the harness has no words for.
#pragma once

#include "AgentHarness.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace drovix::faults {

using namespace drovix::e2e;

// A command record as the clients of the container write it; issuedAt in seconds.
std::string recordText(const std::string& kind, const std::string& nonce, double issuedAt);

// The wall-clock time, in seconds since the Unix epoch.
double wallNow();

// True while the process exists and has not ended (a zombie has ended).
bool isAlive(pid_t pid);

// The "role pid" lines a faulty Drovix wrote, by role (the last pid of each).
std::map<std::string, pid_t> notedPids(const fs::path& file);

class FaultTest : public ::testing::Test {
protected:
    ScratchFolder scratch;
    const fs::path home = scratch.path() / "home";
    std::unique_ptr<AgentProcess> agent;
    // Extra environment for the agent and, through it, the instances it opens; it takes
    // precedence over the fixture's own.
    std::vector<std::string> extraEnvironment;

    FaultTest();
    void SetUp() override;
    void TearDown() override;

    // A deadline seconds from now, never past the test's own.
    Deadline within(double seconds) const;
    void allowSeconds(double seconds) { testDeadline_ = secondsFromNow(seconds); }

    std::vector<std::string> environment() const;
    fs::path containerPath() const;
    fs::path recordPath() const;
    // Writes the record in one step, as a careful client does; issued age seconds ago.
    void writeRecord(const std::string& kind, const std::string& nonce, double age = 0);

    // A copy of the sample Drovix (or of another built program as its executable).
    fs::path installDrovix(const fs::path& bundle);
    fs::path installFaultyDrovix(const fs::path& bundle);
    // A copy of the agent where Drovix keeps its login item.
    static fs::path installAgentInside(const fs::path& outerBundle);
    static fs::path agentExecutable(const fs::path& agentBundle);

    // Starts the agent with its standard error read by the test; prefix is a command line that
    // runs it (e.g. a privilege drop or valgrind).
    void startAgent(const fs::path& agentBundle, const std::vector<std::string>& prefix = {});

    // Starts an instance the way a user would; returns once it runs.
    pid_t openDrovixYourself(const fs::path& bundle, const std::vector<std::string>& extra = {});

    std::string nextMessage(double seconds);
    // Fails the test when a message arrives within seconds.
    void expectQuietFor(double seconds);

private:
    Deadline testDeadline_ = secondsFromNow(30);
};

} // namespace drovix::faults
