// Running the built agent and the sample Drovix as real processes, in scratch folders, and
// reading the agent's log from its stderr.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace drovix::e2e {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;
using Deadline = SteadyClock::time_point;

Deadline secondsFromNow(double seconds);

// The programs the build made.
// True when a Drovix is installed for the whole machine: it would be found before the one a test
// lays out, so agent tests skip.
bool machineHasDrovix();

fs::path builtAgentBundle();
fs::path builtSampleBundle();
fs::path builtCommandWriter();

// A fresh folder under the system's temporary folder, removed with its contents on destruction.
// Its path is canonical, so it compares equal to the executable paths the kernel reports.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Copies a bundle folder with everything in it, creating the parents of the target.
void copyBundle(const fs::path& from, const fs::path& to);

// Writes bundle/Contents/Info.plist naming the identifier and the executable.
void writeInfoPlist(const fs::path& bundle, const std::string& identifier,
                    const std::string& executable);

// Replaces the file with text in one step, as every writer of the record must.
void replaceFile(const fs::path& path, const std::string& text);

// Starts a program with exactly this environment, stdin on /dev/null and stdout and stderr on
// outputFd (or /dev/null when negative). The child dies with the test process.
pid_t spawnProcess(const std::vector<std::string>& argv,
                   const std::vector<std::string>& environment, int outputFd = -1);

// Runs a program to its end (or kills it at the deadline) and returns its exit code, or -1 when
// it did not exit normally. Its stdout and stderr are appended to output.
int runProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
               Deadline deadline, std::string& output);

// Makes this process the reaper of the orphans of the processes it starts, so that every
// instance a test caused can be waited for.
void becomeSubreaper();

// Reaps every child that has ended and keeps its wait status.
void reapEndedChildren();

// Waits until the child has ended and been reaped; its wait status, or none at the deadline.
std::optional<int> awaitExitStatus(pid_t pid, Deadline deadline);

// Processes whose executable lies inside the folder (a bundle or a whole scratch folder).
std::vector<pid_t> processesRunningFrom(const fs::path& folder);

// The instances of an application bundle: processes whose executable is in Contents/MacOS.
std::vector<pid_t> instancesOf(const fs::path& bundle);

// Waits until the bundle has exactly count instances; returns the last list seen.
std::vector<pid_t> awaitInstanceCount(const fs::path& bundle, size_t count, Deadline deadline);

// Kills every process running from the folder and waits until they are gone.
void killProcessesRunningFrom(const fs::path& folder, Deadline deadline);

// One line of the agent's log, "YYYY-MM-DD HH:MM:SS.mmm DrovixRescue[pid:tid] DrovixRescue: ...".
struct LogLine {
    std::string message; // from "DrovixRescue: " on; a note in parentheses when none came
    pid_t pid = 0;
    double wallSeconds = 0; // local wall-clock time of the line, in seconds
    bool received = false;
};

// The agent as a child process whose stderr is read line by line.
class AgentProcess {
public:
    AgentProcess(const fs::path& executable, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment);
    ~AgentProcess();
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    pid_t pid() const { return pid_; }

    // The next message of the agent, or one with received false at the deadline.
    LogLine nextMessage(Deadline deadline);

    // Kills the agent and reaps it.
    void kill();

    // Every line read from stderr so far, the agent's and those of the instances it opened.
    const std::vector<std::string>& transcript() const { return transcript_; }

    // Lines that carry an agent message without the expected header.
    const std::vector<std::string>& malformedLines() const { return malformed_; }

private:
    bool readMore(Deadline deadline);

    pid_t pid_ = -1;
    bool killed_ = false;
    int readFd_ = -1;
    bool ended_ = false;
    std::string pending_;
    std::deque<LogLine> unread_;
    std::vector<std::string> transcript_;
    std::vector<std::string> malformed_;
};

} // namespace drovix::e2e
