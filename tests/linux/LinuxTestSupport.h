// Helpers for the Linux layer's tests: temporary folders, sample bundles made of this very test
// executable, and child processes that are always cleaned up.
#pragma once

#include "platform/linux/Posix.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace drovix::testing {

// What a copy of this test executable does when started from a bundle as Contents/MacOS/<name>.
inline constexpr const char* waitingChild = "child-wait";      // waits to be ended
inline constexpr const char* stubbornChild = "child-stubborn"; // ignores SIGTERM, says "ready"
inline constexpr const char* exitingChild = "child-exit";      // exits at once

// Runs the child behaviour when this executable was started as a sample application (program,
// its argv[0], lies in a bundle); returns absent otherwise. Called first thing in main.
std::optional<int> runAsChildIfAsked(const char* program);

// A fresh folder, removed with everything in it when the object goes.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);
void makeFolders(const std::string& path);

// An XML Info.plist with the given keys; absent keys are left out.
std::string infoPlist(std::optional<std::string> identifier, std::optional<std::string> executable);

// Makes folder/name with Contents/Info.plist and, when executable is a child name, a copy of this
// test executable as Contents/MacOS/<executable>. Returns the bundle path.
std::string makeBundle(const std::string& folder, const std::string& name,
                       const std::string& identifier, const std::string& executable,
                       bool withProgram = true);

// Calls check every few milliseconds until it holds or the timeout passes.
bool eventually(const std::function<bool()>& check,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Waits for the process behind a pidfd to end; false when it did not within the timeout.
bool waitForExit(int pidfd, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A process started directly by the test. Killed and reaped when the object goes, through its
// pidfd, so that no other process is ever hit.
class ChildProcess {
public:
    // Starts program with no arguments, as another user when one is given; with captureOutput
    // its standard output is readable through readLine.
    explicit ChildProcess(const std::string& program, bool captureOutput = false,
                          std::optional<uid_t> user = std::nullopt);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // One line of the child's output, or absent after the timeout.
    std::optional<std::string>
    readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits for the child to end and reaps it; the wait status, or absent after the timeout.
    std::optional<int> reap(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits until the child has ended without reaping it, leaving a zombie.
    bool waitUntilEnded(std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    void startAs(const std::string& program, uid_t user);

    pid_t pid_ = -1;
    posix::FileDescriptor pidfd_;
    posix::FileDescriptor output_;
    bool reaped_ = false;
};

// The pids, in ascending order, of the processes whose parent is this process and that are
// zombies.
std::vector<pid_t> zombieChildren();

} // namespace drovix::testing
