// A deterministic platform for driving the watcher on virtual time.
#pragma once

#include "platform/Platform.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace drovix::testing {

// Everything the platform was asked to do and every line logged, in order, each stamped with the
// virtual time at which it happened ("12s terminate app1").
class Transcript {
public:
    explicit Transcript(std::function<double()> monotonicNow) : now_(std::move(monotonicNow)) {}
    void record(const std::string& entry);
    std::vector<std::string> entries() const;
    // Only the entries that contain text.
    std::vector<std::string> entriesWith(const std::string& text) const;
    void clear();

private:
    std::function<double()> now_;
    mutable std::mutex mutex_;
    std::vector<std::string> entries_;
};

// The main thread and both clocks on virtual time. Work runs in (due time, posting order); time
// moves only through advance(). The wall clock follows monotonic time plus an offset that a test
// can change to jump it.
class VirtualMainLoop final : public MainThread, public Clock {
public:
    static constexpr Instant startWallTime = 1'800'000'000.0;

    ~VirtualMainLoop() override;

    std::shared_ptr<RepeatingTimer> scheduleRepeating(double intervalSeconds,
                                                      std::function<void()> tick) override;
    void post(std::function<void()> job) override;
    void sleep(double seconds, std::function<void(SleepOutcome)> resume) override;

    Instant now() const override { return monotonic_ + wallOffset_; }
    Instant distantPast() const override { return -62'135'596'800.0; }

    double monotonicNow() const { return monotonic_; }
    // Sets the wall clock without moving monotonic time, as a user changing the date does.
    void setWallTime(Instant wall) { wallOffset_ = wall - monotonic_; }
    // The next this many sleeps end at once with a cancellation.
    void cancelNextSleeps(int count) { sleepsToCancel_ = count; }

    // Runs everything that falls due within the next seconds, then leaves the clock there.
    void advance(double seconds);
    // Runs everything due now, including work posted while running.
    void runUntilIdle() { advance(0); }
    // Timers, posted jobs and sleeps not yet run.
    std::size_t pendingWork() const;
    // When the earliest of them falls due on the monotonic clock (now for posted jobs), so that a
    // driver can interleave events of its own with the loop's work; absent when nothing is left.
    std::optional<double> nextDue() const;

private:
    using Key = std::pair<double, std::uint64_t>;
    void schedule(double due, std::function<void()> work);
    void takeIncomingPosts();

    double monotonic_ = 0;
    double wallOffset_ = startWallTime;
    int sleepsToCancel_ = 0;
    std::uint64_t nextSequence_ = 0;
    std::map<Key, std::function<void()>> due_;
    mutable std::mutex incomingMutex_;
    std::vector<std::function<void()>> incoming_;
};

// The workspace, scripted by the test: how many instances run at each query, where the main
// application is installed, which paths exist. Quit requests, force quits and opens go to the
// transcript; open completions wait until the test delivers them.
class FakeWorkspace final : public AppWorkspace {
public:
    explicit FakeWorkspace(Transcript& transcript) : transcript_(transcript) {}

    // Instance counts for the next queries, in order; after them, `running` holds.
    std::deque<int> scriptedRunning;
    int running = 0;
    std::optional<AppUrl> installedUrl;
    AppUrl ownBundle{"/Applications/Drovix.app/Contents/Library/LoginItems/DrovixRescue.app"};
    std::set<std::string> existingPaths;

    int runningQueries = 0;
    int ownBundleQueries = 0;
    std::vector<std::string> queriedIdentifiers;
    std::vector<OpenConfiguration> openConfigurations;

    // Delivers every pending open completion from another thread.
    void finishOpens(const std::optional<std::string>& error = std::nullopt);
    std::size_t pendingOpens() const { return pendingOpens_.size(); }

    std::vector<std::unique_ptr<RunningApplication>>
    runningApplications(std::string_view bundleIdentifier) override;
    std::optional<AppUrl> urlForApplication(std::string_view bundleIdentifier) override;
    void openApplication(const AppUrl& url, const OpenConfiguration& configuration,
                         OpenCompletion completion) override;
    AppUrl ownBundleUrl() override;
    AppUrl deletingLastPathComponent(const AppUrl& url) override;
    bool fileExists(const std::string& path) override { return existingPaths.contains(path); }

private:
    Transcript& transcript_;
    std::vector<OpenCompletion> pendingOpens_;
};

// The cloud record store, scripted by the test. Each fetch answers with the current record or
// error from another thread, at once unless completions are held.
class FakeRecordStore {
public:
    explicit FakeRecordStore(Transcript& transcript) : transcript_(transcript) {}

    std::optional<CommandRecord> record;
    std::optional<std::string> error;
    bool holdCompletions = false;

    int containersOpened = 0;
    std::vector<std::string> containerIdentifiers;
    int fetches = 0;

    ContainerFactory factory();
    // Answers every held fetch, from another thread.
    void completeHeldFetches();
    std::size_t heldFetches() const { return held_.size(); }

    // Helpers for building records.
    void setCommand(std::string kind, std::string nonce, Instant issuedAt);

private:
    void fetch(FetchCompletion completion);
    Transcript& transcript_;
    std::vector<FetchCompletion> held_;
};

class CapturingLog final : public LogSink {
public:
    explicit CapturingLog(Transcript& transcript) : transcript_(transcript) {}
    void log(std::string_view message) override;
    std::vector<std::string> lines() const;

private:
    Transcript& transcript_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// One of each fake, wired together.
struct FakePlatform {
    VirtualMainLoop loop;
    Transcript transcript{[this] { return loop.monotonicNow(); }};
    FakeWorkspace workspace{transcript};
    FakeRecordStore store{transcript};
    CapturingLog log{transcript};

    Platform platform() { return Platform{workspace, store.factory(), loop, loop, log}; }
};

// Runs work on a thread of its own and waits for it, as a platform completion would arrive.
void runOnOtherThread(const std::function<void()>& work);

} // namespace drovix::testing
