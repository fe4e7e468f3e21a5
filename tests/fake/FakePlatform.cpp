// The deterministic test platform.
#include "fake/FakePlatform.h"

#include "Identifiers.h"

#include <sstream>

namespace drovix::testing {

namespace {

struct FakeTimer final : RepeatingTimer {
    bool valid = true;
    void invalidate() override { valid = false; }
};

struct FakeInstance final : RunningApplication {
    FakeInstance(FakePlatform& platform, int number) : fake(platform), name(std::to_string(number))
    {
    }
    void terminate() override { fake.note("terminate app" + name); }
    void forceTerminate() override { fake.note("force app" + name); }
    FakePlatform& fake;
    std::string name;
};

struct FakeContainer final : CommandRecordStore {
    explicit FakeContainer(FakePlatform& platform) : fake(platform) {}
    void fetchCommandRecord(FetchCompletion completion) override
    {
        fake.note("fetch");
        fake.heldFetches.push_back(std::move(completion));
        if (!fake.holdFetches)
            fake.completeHeldFetches();
    }
    FakePlatform& fake;
};

} // namespace

std::shared_ptr<RepeatingTimer> VirtualMainLoop::scheduleRepeating(double interval,
                                                                   std::function<void()> tick)
{
    auto timer = std::make_shared<FakeTimer>();
    repeat(monotonic_ + interval, interval, [timer, tick = std::move(tick)] {
        if (timer->valid)
            tick();
        return timer->valid;
    });
    return timer;
}

// Like a run loop's, the timer keeps running whoever holds its handle.
void VirtualMainLoop::repeat(double due, double interval, std::function<bool()> tick)
{
    schedule(due, [=, this] {
        if (tick())
            repeat(due + interval, interval, tick);
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

// Only the main application runs, and only it is installed.
std::vector<std::unique_ptr<RunningApplication>>
FakePlatform::runningApplications(std::string_view bundleIdentifier)
{
    int count = running;
    if (!scriptedRunning.empty()) {
        count = scriptedRunning.front();
        scriptedRunning.pop_front();
    }
    std::vector<std::unique_ptr<RunningApplication>> instances;
    for (int number = 1; bundleIdentifier == mainAppBundleIdentifier && number <= count; ++number)
        instances.push_back(std::make_unique<FakeInstance>(*this, number));
    return instances;
}

std::optional<AppUrl> FakePlatform::urlForApplication(std::string_view bundleIdentifier)
{
    return bundleIdentifier == mainAppBundleIdentifier ? installedUrl : std::nullopt;
}

} // namespace drovix::testing
