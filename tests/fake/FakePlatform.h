// A deterministic platform for driving the watcher on virtual time.
#pragma once

#include "platform/Platform.h"

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace drovix::testing {

// The main thread and both clocks on virtual time. Work runs in (due time, posting order); time
// moves only through advance(). The wall clock is monotonic time plus an offset that a test sets,
// as a user changing the date does.
class VirtualMainLoop final : public MainThread, public Clock {
public:
    std::shared_ptr<RepeatingTimer> scheduleRepeating(double interval,
                                                      std::function<void()> tick) override;
    // The fake's other threads are joined before the main thread goes on: no lock is needed.
    void post(std::function<void()> job) override { schedule(monotonic_, std::move(job)); }
    void sleep(double seconds, std::function<void(SleepOutcome)> resume) override;
    Instant now() const override { return monotonic_ + wallOffset_; }
    Instant distantPast() const override { return -62'135'596'800.0; }

    double monotonicNow() const { return monotonic_; }
    void setWallTime(Instant wall) { wallOffset_ = wall - monotonic_; }
    // This many next sleeps end at once, cancelled.
    int sleepsToCancel = 0;
    // Runs the work due within the next seconds, work it adds included, and leaves the clock there.
    void advance(double seconds);
    void runUntilIdle() { advance(0); }

private:
    void schedule(double due, std::function<void()> work)
    {
        due_.emplace(std::pair(due, sequence_++), std::move(work));
    }
    void repeat(double due, double interval, std::function<void()> tick);

    double monotonic_ = 0;
    double wallOffset_ = 1'800'000'000.0;
    std::uint64_t sequence_ = 0;
    std::map<std::pair<double, std::uint64_t>, std::function<void()>> due_;
};

// The workspace, the record store and the log, scripted by the test. What the platform is asked
// to do and every line logged go to one transcript, each entry stamped with virtual time:
// "0s fetch; 0s DrovixRescue: restarting Drovix (1 running); 0s terminate app1; 1s open /A.app".
// Fetches are answered at once and opens when the test says, each from a thread of its own.
class FakePlatform : public AppWorkspace, public LogSink {
public:
    VirtualMainLoop loop;
    std::string transcript;
    std::vector<std::string> lines; // the log alone

    // Instances found by each query of the main application, in order; the last count stays.
    std::deque<int> running{0};
    std::optional<AppUrl> installedUrl = AppUrl{"/Applications/Drovix.app"};
    AppUrl ownBundle{"/P/Main.app/Contents/Library/Sub/Agent.app"};
    std::set<std::string> existingPaths;
    std::optional<CommandRecord> record;
    std::optional<std::string> fetchError;
    std::vector<std::string> containersOpened;

    Platform platform();
    void note(const std::string& entry);
    void finishOpens(const std::optional<std::string>& error = std::nullopt);

    std::vector<std::unique_ptr<RunningApplication>>
    runningApplications(std::string_view bundleIdentifier) override;
    std::optional<AppUrl> urlForApplication(std::string_view bundleIdentifier) override;
    void openApplication(const AppUrl& url, const OpenConfiguration& configuration,
                         OpenCompletion completion) override;
    AppUrl ownBundleUrl() override { return note("own bundle"), ownBundle; }
    AppUrl deletingLastPathComponent(const AppUrl& url) override;
    bool fileExists(const std::string& path) override { return existingPaths.contains(path); }
    void log(std::string_view message) override;

private:
    std::vector<OpenCompletion> opens_;
};

} // namespace drovix::testing
