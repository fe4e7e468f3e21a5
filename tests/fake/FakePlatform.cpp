// The deterministic test platform.
#include "fake/FakePlatform.h"

#include "Identifiers.h"
#include "platform/PathText.h"

#include <sstream>
#include <thread>
#include <utility>

namespace drovix::testing {

namespace {

struct FakeInstance final : RunningApplication {
    FakeInstance(FakePlatform& platform, std::string app) : fake(platform), name(std::move(app)) {}
    void terminate() override { fake.note("terminate " + name); }
    void forceTerminate() override { fake.note("force " + name); }
    FakePlatform& fake;
    std::string name;
};

struct FakeContainer final : CommandRecordStore {
    explicit FakeContainer(FakePlatform& platform) : fake(platform) {}
    void fetchCommandRecord(FetchCompletion completion) override
    {
        fake.note("fetch");
        std::thread([&] { completion(fake.record, fake.fetchError); }).join();
    }
    FakePlatform& fake;
};

} // namespace

std::shared_ptr<RepeatingTimer> VirtualMainLoop::scheduleRepeating(double interval,
                                                                   std::function<void()> tick)
{
    repeat(monotonic_ + interval, interval, std::move(tick));
    return std::make_shared<RepeatingTimer>();
}

// Like a run loop's, the timer keeps running whoever holds its handle.
void VirtualMainLoop::repeat(double due, double interval, std::function<void()> tick)
{
    schedule(due, [=, this] {
        tick();
        repeat(due + interval, interval, tick);
    });
}

void VirtualMainLoop::sleep(double seconds, std::function<void(SleepOutcome)> resume)
{
    const bool cancelled = sleepsToCancel > 0;
    sleepsToCancel -= cancelled;
    schedule(monotonic_ + (cancelled ? 0 : seconds), [cancelled, resume = std::move(resume)] {
        resume(cancelled ? SleepOutcome::cancelled : SleepOutcome::elapsed);
    });
}

void VirtualMainLoop::advance(double seconds)
{
    const double target = monotonic_ + seconds;
    while (!due_.empty() && due_.begin()->first.first <= target) {
        auto next = due_.extract(due_.begin());
        monotonic_ = std::max(monotonic_, next.key().first);
        next.mapped()();
    }
    monotonic_ = target;
}

Platform FakePlatform::platform()
{
    auto open = [this](std::string_view identifier) -> std::unique_ptr<CommandRecordStore> {
        containersOpened.emplace_back(identifier);
        return std::make_unique<FakeContainer>(*this);
    };
    return Platform{*this, open, loop, loop, *this};
}

void FakePlatform::note(const std::string& entry)
{
    std::ostringstream stamped;
    stamped << (transcript.empty() ? "" : "; ") << loop.monotonicNow() << "s " << entry;
    transcript += stamped.str();
}

void FakePlatform::finishOpens(const std::optional<std::string>& error)
{
    for (auto& completion : std::exchange(opens_, {}))
        std::thread([&] { completion(error); }).join();
}

// Only the main application runs, and only it is installed.
std::vector<std::unique_ptr<RunningApplication>>
FakePlatform::runningApplications(std::string_view bundleIdentifier)
{
    const int count = running.front();
    if (running.size() > 1)
        running.pop_front();
    std::vector<std::unique_ptr<RunningApplication>> instances;
    for (int number = 1; bundleIdentifier == mainAppBundleIdentifier && number <= count; ++number)
        instances.push_back(std::make_unique<FakeInstance>(*this, "app" + std::to_string(number)));
    return instances;
}

std::optional<AppUrl> FakePlatform::urlForApplication(std::string_view bundleIdentifier)
{
    return bundleIdentifier == mainAppBundleIdentifier ? installedUrl : std::nullopt;
}

void FakePlatform::openApplication(const AppUrl& url, const OpenConfiguration& configuration,
                                   OpenCompletion completion)
{
    note("open " + url.path + (configuration.activates ? "" : " in the background"));
    opens_.push_back(std::move(completion));
}

AppUrl FakePlatform::deletingLastPathComponent(const AppUrl& url)
{
    return {drovix::deletingLastPathComponent(url.path)};
}

void FakePlatform::log(std::string_view message)
{
    lines.emplace_back(message);
    note(std::string(message));
}

} // namespace drovix::testing
