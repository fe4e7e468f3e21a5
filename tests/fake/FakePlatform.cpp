// The deterministic test platform.
#include "fake/FakePlatform.h"

#include "platform/PathText.h"

#include <cmath>
#include <thread>

namespace drovix::testing {

namespace {

std::string timeStamp(double seconds)
{
    // Whole seconds read best; fractions appear only where a test makes them.
    if (seconds == std::floor(seconds))
        return std::to_string(static_cast<long long>(seconds)) + "s ";
    std::string text = std::to_string(seconds);
    text.erase(text.find_last_not_of('0') + 1);
    return text + "s ";
}

class FakeTimer final : public RepeatingTimer {
public:
    void invalidate() override { valid = false; }
    bool valid = true;
};

class FakeRunningApplication final : public RunningApplication {
public:
    FakeRunningApplication(Transcript& transcript, int number)
        : transcript_(transcript), name_("app" + std::to_string(number))
    {
    }
    void terminate() override { transcript_.record("terminate " + name_); }
    void forceTerminate() override { transcript_.record("force " + name_); }

private:
    Transcript& transcript_;
    std::string name_;
};

class FakeContainer final : public CommandRecordStore {
public:
    explicit FakeContainer(std::function<void(FetchCompletion)> fetch) : fetch_(std::move(fetch)) {}
    void fetchCommandRecord(FetchCompletion completion) override { fetch_(std::move(completion)); }

private:
    std::function<void(FetchCompletion)> fetch_;
};

} // namespace

void runOnOtherThread(const std::function<void()>& work)
{
    std::thread thread(work);
    thread.join();
}

void Transcript::record(const std::string& entry)
{
    std::lock_guard lock(mutex_);
    entries_.push_back(timeStamp(now_()) + entry);
}

std::vector<std::string> Transcript::entries() const
{
    std::lock_guard lock(mutex_);
    return entries_;
}

std::vector<std::string> Transcript::entriesWith(const std::string& text) const
{
    std::vector<std::string> matching;
    for (const std::string& entry : entries())
        if (entry.find(text) != std::string::npos)
            matching.push_back(entry);
    return matching;
}

void Transcript::clear()
{
    std::lock_guard lock(mutex_);
    entries_.clear();
}

VirtualMainLoop::~VirtualMainLoop()
{
    // Pending work may own suspended jobs that hold objects of the test; free them while the
    // loop is still whole.
    auto pending = std::move(due_);
    pending.clear();
}

void VirtualMainLoop::schedule(double due, std::function<void()> work)
{
    due_.emplace(Key{due, nextSequence_++}, std::move(work));
}

std::shared_ptr<RepeatingTimer> VirtualMainLoop::scheduleRepeating(double intervalSeconds,
                                                                   std::function<void()> tick)
{
    auto timer = std::make_shared<FakeTimer>();
    // The loop keeps the timer running whoever holds the handle, like a run loop does.
    auto fire = std::make_shared<std::function<void(double)>>();
    *fire = [this, timer, intervalSeconds, tick = std::move(tick),
             weakFire = std::weak_ptr(fire)](double due) {
        if (!timer->valid)
            return;
        tick();
        if (auto again = weakFire.lock())
            schedule(due + intervalSeconds,
                     [again, next = due + intervalSeconds] { (*again)(next); });
    };
    const double first = monotonic_ + intervalSeconds;
    schedule(first, [fire, first] { (*fire)(first); });
    return timer;
}

void VirtualMainLoop::post(std::function<void()> job)
{
    std::lock_guard lock(incomingMutex_);
    incoming_.push_back(std::move(job));
}

void VirtualMainLoop::sleep(double seconds, std::function<void(SleepOutcome)> resume)
{
    if (sleepsToCancel_ > 0) {
        --sleepsToCancel_;
        schedule(monotonic_, [resume = std::move(resume)] { resume(SleepOutcome::cancelled); });
        return;
    }
    schedule(monotonic_ + seconds, [resume = std::move(resume)] { resume(SleepOutcome::elapsed); });
}

void VirtualMainLoop::takeIncomingPosts()
{
    std::vector<std::function<void()>> posted;
    {
        std::lock_guard lock(incomingMutex_);
        posted.swap(incoming_);
    }
    for (auto& job : posted)
        schedule(monotonic_, std::move(job));
}

void VirtualMainLoop::advance(double seconds)
{
    const double target = monotonic_ + seconds;
    for (;;) {
        takeIncomingPosts();
        if (due_.empty() || due_.begin()->first.first > target)
            break;
        auto next = due_.extract(due_.begin());
        monotonic_ = std::max(monotonic_, next.key().first);
        next.mapped()();
    }
    monotonic_ = target;
}

std::size_t VirtualMainLoop::pendingWork() const
{
    std::lock_guard lock(incomingMutex_);
    return due_.size() + incoming_.size();
}

std::optional<double> VirtualMainLoop::nextDue() const
{
    std::lock_guard lock(incomingMutex_);
    if (!incoming_.empty())
        return monotonic_;
    if (due_.empty())
        return std::nullopt;
    return due_.begin()->first.first;
}

std::vector<std::unique_ptr<RunningApplication>>
FakeWorkspace::runningApplications(std::string_view bundleIdentifier)
{
    ++runningQueries;
    queriedIdentifiers.emplace_back(bundleIdentifier);
    int count = running;
    if (!scriptedRunning.empty()) {
        count = scriptedRunning.front();
        scriptedRunning.pop_front();
    }
    std::vector<std::unique_ptr<RunningApplication>> instances;
    for (int number = 1; number <= count; ++number)
        instances.push_back(std::make_unique<FakeRunningApplication>(transcript_, number));
    return instances;
}

std::optional<AppUrl> FakeWorkspace::urlForApplication(std::string_view bundleIdentifier)
{
    queriedIdentifiers.emplace_back(bundleIdentifier);
    return installedUrl;
}

void FakeWorkspace::openApplication(const AppUrl& url, const OpenConfiguration& configuration,
                                    OpenCompletion completion)
{
    transcript_.record("open " + url.path);
    openConfigurations.push_back(configuration);
    pendingOpens_.push_back(std::move(completion));
}

void FakeWorkspace::finishOpens(const std::optional<std::string>& error)
{
    auto opens = std::move(pendingOpens_);
    pendingOpens_.clear();
    for (auto& completion : opens)
        runOnOtherThread([&] { completion(error); });
}

AppUrl FakeWorkspace::ownBundleUrl()
{
    ++ownBundleQueries;
    return ownBundle;
}

AppUrl FakeWorkspace::deletingLastPathComponent(const AppUrl& url)
{
    return AppUrl{drovix::deletingLastPathComponent(url.path)};
}

ContainerFactory FakeRecordStore::factory()
{
    return [this](std::string_view identifier) -> std::unique_ptr<CommandRecordStore> {
        ++containersOpened;
        containerIdentifiers.emplace_back(identifier);
        return std::make_unique<FakeContainer>(
            [this](FetchCompletion completion) { fetch(std::move(completion)); });
    };
}

void FakeRecordStore::fetch(FetchCompletion completion)
{
    ++fetches;
    transcript_.record("fetch");
    if (holdCompletions) {
        held_.push_back(std::move(completion));
        return;
    }
    runOnOtherThread([&] { completion(record, error); });
}

void FakeRecordStore::completeHeldFetches()
{
    auto held = std::move(held_);
    held_.clear();
    for (auto& completion : held)
        runOnOtherThread([&] { completion(record, error); });
}

void FakeRecordStore::setCommand(std::string kind, std::string nonce, Instant issuedAt)
{
    record = CommandRecord{std::move(kind), std::move(nonce), issuedAt};
    error.reset();
}

void CapturingLog::log(std::string_view message)
{
    transcript_.record(std::string(message));
    std::lock_guard lock(mutex_);
    lines_.emplace_back(message);
}

std::vector<std::string> CapturingLog::lines() const
{
    std::lock_guard lock(mutex_);
    return lines_;
}

} // namespace drovix::testing
