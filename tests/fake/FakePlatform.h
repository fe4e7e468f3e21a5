// A deterministic platform for driving the watcher on virtual time.
#pragma once

#include "Identifiers.h"
#include "platform/PathText.h"
#include "platform/Platform.h"

#include <deque>
#include <map>
#include <set>
#include <sstream>
#include <thread>

namespace drovix::testing {

// Main-thread work runs in (due time, posting order) as advance() moves the clock; the wall clock
// is that time plus an offset a test sets, as a user changing the date does. Requests to the
// platform and log lines go to one transcript stamped with virtual time: "0s fetch; 1s terminate
// app1". Only the main application runs and is installed; fetches are answered at once and opens
// when the test says, each from a thread of its own.
class FakePlatform : public MainThread, public Clock, public AppWorkspace, public LogSink {
public:
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
    int sleepsToCancel = 0; // this many next sleeps end at once, cancelled
    double wallOffset = 1'800'000'000.0;

    Platform platform()
    {
        auto open = [this](std::string_view identifier) -> std::unique_ptr<CommandRecordStore> {
            containersOpened.emplace_back(identifier);
            return std::make_unique<Container>(*this);
        };
        return Platform{*this, open, *this, *this, *this};
    }
    // Runs the work due within the next seconds, work it adds included, and leaves the clock there.
    void advance(double seconds)
    {
        const double target = monotonic_ + seconds;
        while (!due_.empty() && due_.begin()->first <= target) {
            auto next = due_.extract(due_.begin());
            monotonic_ = next.key();
            next.mapped()();
        }
        monotonic_ = target;
    }
    void finishOpens(const std::optional<std::string>& error = std::nullopt)
    {
        for (auto& completion : std::exchange(opens_, {}))
            std::thread([&] { completion(error); }).join();
    }

    // Like a run loop's, the timer keeps running whoever holds its handle.
    std::shared_ptr<RepeatingTimer> scheduleRepeating(double interval,
                                                      std::function<void()> tick) override
    {
        schedule(monotonic_ + interval, [=, this] { tick(), scheduleRepeating(interval, tick); });
        return std::make_shared<RepeatingTimer>();
    }
    // The fake's other threads are joined before the main thread goes on: no lock is needed.
    void post(std::function<void()> job) override { schedule(monotonic_, std::move(job)); }
    void sleep(double seconds, std::function<void(SleepOutcome)> resume) override
    {
        const bool cancelled = sleepsToCancel > 0;
        sleepsToCancel -= cancelled;
        schedule(monotonic_ + (cancelled ? 0 : seconds), [cancelled, resume = std::move(resume)] {
            resume(cancelled ? SleepOutcome::cancelled : SleepOutcome::elapsed);
        });
    }
    Instant now() const override { return monotonic_ + wallOffset; }
    Instant distantPast() const override { return -62'135'596'800.0; }

    std::vector<std::unique_ptr<RunningApplication>>
    runningApplications(std::string_view bundleIdentifier) override
    {
        const int count = running.front();
        if (running.size() > 1)
            running.pop_front();
        std::vector<std::unique_ptr<RunningApplication>> instances;
        for (int number = 1; bundleIdentifier == mainAppBundleIdentifier && number <= count;)
            instances.push_back(std::make_unique<Instance>(*this, number++));
        return instances;
    }
    std::optional<AppUrl> urlForApplication(std::string_view bundleIdentifier) override
    {
        return bundleIdentifier == mainAppBundleIdentifier ? installedUrl : std::nullopt;
    }
    void openApplication(const AppUrl& url, const OpenConfiguration& configuration,
                         OpenCompletion completion) override
    {
        note("open " + url.path + (configuration.activates ? "" : " in the background"));
        opens_.push_back(std::move(completion));
    }
    AppUrl ownBundleUrl() override { return note("own bundle"), ownBundle; }
    AppUrl deletingLastPathComponent(const AppUrl& url) override
    {
        return {drovix::deletingLastPathComponent(url.path)};
    }
    bool fileExists(const std::string& path) override { return existingPaths.contains(path); }
    void log(std::string_view message) override { lines.emplace_back(message), note(lines.back()); }

private:
    void note(const std::string& entry)
    {
        std::ostringstream stamped;
        stamped << (transcript.empty() ? "" : "; ") << monotonic_ << "s " << entry;
        transcript += stamped.str();
    }
    // Equal due times keep posting order: a multimap adds after its equal keys.
    void schedule(double due, std::function<void()> work) { due_.emplace(due, std::move(work)); }

    struct Instance final : RunningApplication {
        Instance(FakePlatform& platform, int n) : fake(platform), number(n) {}
        void terminate() override { fake.note("terminate app" + std::to_string(number)); }
        void forceTerminate() override { fake.note("force app" + std::to_string(number)); }
        FakePlatform& fake;
        int number;
    };
    struct Container final : CommandRecordStore {
        explicit Container(FakePlatform& platform) : fake(platform) {}
        void fetchCommandRecord(FetchCompletion completion) override
        {
            fake.note("fetch");
            std::thread([&] { completion(fake.record, fake.fetchError); }).join();
        }
        FakePlatform& fake;
    };

    double monotonic_ = 0;
    std::multimap<double, std::function<void()>> due_;
    std::vector<OpenCompletion> opens_;
};

} // namespace drovix::testing
