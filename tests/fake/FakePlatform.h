// A deterministic platform for driving the watcher on virtual time.
#pragma once

#include "platform/PathText.h"
#include "platform/Platform.h"

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <utility>
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
    void sleep(double seconds, std::function<void(SleepOutcome)> resume) override
    {
        const bool cancelled = sleepsToCancel_ > 0;
        sleepsToCancel_ -= cancelled;
        schedule(monotonic_ + (cancelled ? 0 : seconds), [cancelled, resume = std::move(resume)] {
            resume(cancelled ? SleepOutcome::cancelled : SleepOutcome::elapsed);
        });
    }
    Instant now() const override { return monotonic_ + wallOffset_; }
    Instant distantPast() const override { return -62'135'596'800.0; }

    double monotonicNow() const { return monotonic_; }
    void setWallTime(Instant wall) { wallOffset_ = wall - monotonic_; }
    // The next count sleeps end at once, cancelled.
    void cancelNextSleeps(int count) { sleepsToCancel_ = count; }
    // Runs the work due within the next seconds, work it adds included, and leaves the clock there.
    void advance(double seconds);
    void runUntilIdle() { advance(0); }

private:
    void schedule(double due, std::function<void()> work)
    {
        due_.emplace(std::pair(due, sequence_++), std::move(work));
    }
    void repeat(double due, double interval, std::function<bool()> tick);

    double monotonic_ = 0;
    double wallOffset_ = 1'800'000'000.0;
    int sleepsToCancel_ = 0;
    std::uint64_t sequence_ = 0;
    std::map<std::pair<double, std::uint64_t>, std::function<void()>> due_;
};

// Hands completions over as a platform does: each from a thread of its own.
template <typename Completion, typename... Args>
void deliver(std::vector<Completion>& completions, const Args&... args)
{
    for (auto& completion : std::exchange(completions, {}))
        std::thread([&] { completion(args...); }).join();
}

// The workspace, the record store and the log, scripted by the test. What the platform is asked
// to do and every line logged go to one transcript, each entry stamped with virtual time:
// "0s fetch; 0s DrovixRescue: restarting Drovix (1 running); 0s terminate app1; 1s open /A.app".
// Fetch and open completions arrive from another thread.
class FakePlatform : public AppWorkspace, public LogSink {
public:
    VirtualMainLoop loop;
    std::string transcript;
    std::vector<std::string> lines; // the log alone

    // Instances found by the next queries, in order; after them, `running`.
    std::deque<int> scriptedRunning;
    int running = 0;
    std::optional<AppUrl> installedUrl = AppUrl{"/Applications/Drovix.app"};
    AppUrl ownBundle{"/P/Main.app/Contents/Library/Sub/Agent.app"};
    std::set<std::string> existingPaths;

    std::optional<CommandRecord> record;
    std::optional<std::string> fetchError;
    bool holdFetches = false;
    std::vector<FetchCompletion> heldFetches;
    std::vector<OpenCompletion> opens;
    std::vector<std::string> containersOpened;

    Platform platform();
    void note(const std::string& entry);
    // Answers the held fetches with the record or error of now, or the opens with error.
    void completeHeldFetches() { deliver(heldFetches, record, fetchError); }
    void finishOpens(std::optional<std::string> error = std::nullopt) { deliver(opens, error); }

    std::vector<std::unique_ptr<RunningApplication>>
    runningApplications(std::string_view bundleIdentifier) override;
    std::optional<AppUrl> urlForApplication(std::string_view bundleIdentifier) override;
    void openApplication(const AppUrl& url, const OpenConfiguration& configuration,
                         OpenCompletion completion) override
    {
        note("open " + url.path + (configuration.activates ? "" : " in the background"));
        opens.push_back(std::move(completion));
    }
    AppUrl ownBundleUrl() override { return note("own bundle"), ownBundle; }
    AppUrl deletingLastPathComponent(const AppUrl& url) override
    {
        return {drovix::deletingLastPathComponent(url.path)};
    }
    bool fileExists(const std::string& path) override { return existingPaths.contains(path); }
    void log(std::string_view message) override
    {
        lines.emplace_back(message);
        note(std::string(message));
    }
};

} // namespace drovix::testing
