// What the look benchmarks stand on: a scratch folder with application bundles and a command
// record, child processes that run from those bundles, counters of file opens and instructions,
// a thread that stays for the hand-over comparison, and the agent's main loop driven one look at
// a time.
#pragma once

#include "platform/LogSink.h"
#include "platform/MainThread.h"
#include "platform/linux/MainThread.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <thread>
#include <utility>

namespace drovix::bench {

// A temporary directory, removed with everything in it when it goes.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Lays out parent/name.app with an XML Info.plist for bundleIdentifier and a copy of executable
// as Contents/MacOS/name. Returns the path of the copied executable.
std::filesystem::path layOutBundle(const std::filesystem::path& parent, const std::string& name,
                                   const std::string& bundleIdentifier,
                                   const std::filesystem::path& executable);

// Writes the command record atomically, as the other clients of the container do.
void writeCommandRecord(const std::filesystem::path& file, std::string_view kind,
                        std::string_view nonce, std::int64_t issuedAtMilliseconds);

// The wall clock in milliseconds since the Unix epoch.
std::int64_t wallClockMilliseconds();

// A process running executable with one argument, killed and reaped when this goes (and killed
// by the kernel should the benchmark die first).
class ChildProcess {
public:
    ChildProcess(const std::filesystem::path& executable, const std::string& argument);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

// Counts the times a file is opened, through inotify: the benchmarks see whether a look reads a
// bundle's Info.plist without touching the code that reads it.
class OpenCounter {
public:
    explicit OpenCounter(const std::filesystem::path& file);
    ~OpenCounter();
    OpenCounter(const OpenCounter&) = delete;
    OpenCounter& operator=(const OpenCounter&) = delete;
    // Opens seen since the last call.
    int take();

private:
    int fd_ = -1;
};

// User-space instructions retired by this process's threads, including threads started while
// counting, from the kernel's performance counters. Absent where the machine offers none (many
// virtual machines): callgrind then gives the counts (bench/instructions).
class InstructionCounter {
public:
    InstructionCounter();
    ~InstructionCounter();
    InstructionCounter(const InstructionCounter&) = delete;
    InstructionCounter& operator=(const InstructionCounter&) = delete;
    bool available() const { return fd_ >= 0; }
    void start();
    std::uint64_t stop();

private:
    int fd_ = -1;
};

// A log sink that keeps only the last line and the count: benchmarks must not write to the
// terminal, and evaluation logs only when its reason changes anyway.
class CountingLog final : public LogSink {
public:
    void log(std::string_view message) override;
    int lines() const { return lines_; }
    std::string lastLine() const;

private:
    std::atomic<int> lines_ = 0;
    mutable std::mutex mutex_;
    std::string last_;
};

// One thread that stays and runs the work handed to it, in order: the alternative to a thread per
// fetch that the hand-over benchmarks weigh.
class StandingWorker {
public:
    StandingWorker();
    ~StandingWorker();
    StandingWorker(const StandingWorker&) = delete;
    StandingWorker& operator=(const StandingWorker&) = delete;
    void submit(std::function<void()> work);

private:
    void run();
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> work_;
    bool stopping_ = false;
    std::thread thread_;
};

// The agent's own main loop, driven one look at a time: each job posted to it (a fetch
// completion) runs and then ends the loop's run(), so that a benchmark can take a look and run
// the loop until that look's work is done.
class LookDriver final : public MainThread {
public:
    explicit LookDriver(MainLoop& loop) : loop_(loop) {}

    std::shared_ptr<RepeatingTimer> scheduleRepeating(double intervalSeconds,
                                                      std::function<void()> tick) override
    {
        return loop_.scheduleRepeating(intervalSeconds, std::move(tick));
    }
    void post(std::function<void()> job) override
    {
        loop_.post([this, job = std::move(job)] {
            job();
            loop_.quit();
        });
    }
    void sleep(double seconds, std::function<void(SleepOutcome)> resume) override
    {
        loop_.sleep(seconds, std::move(resume));
    }

    // Runs the loop until a posted job has run. Only call it when one is sure to come.
    void runUntilPostedJob() { loop_.run(); }

private:
    MainLoop& loop_;
};

} // namespace drovix::bench
