// The scene of the look benchmarks and the parts of a look.
#include "LookScene.h"

#include "Identifiers.h"
#include "MinimalWake.h"
#include "platform/linux/Services.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <sys/stat.h>
#include <utility>

namespace drovix::bench {

namespace fs = std::filesystem;

namespace {

constexpr double staleAgeSeconds = 3600;

// Hands each fetch to the real store, counting them: a look that did not fetch would post
// nothing, and the benchmark must not wait for it.
class CountingStore final : public CommandRecordStore {
public:
    CountingStore(std::unique_ptr<CommandRecordStore> store, int& fetches)
        : store_(std::move(store)), fetches_(fetches)
    {
    }
    void fetchCommandRecord(FetchCompletion completion) override
    {
        ++fetches_;
        store_->fetchCommandRecord(std::move(completion));
    }

private:
    std::unique_ptr<CommandRecordStore> store_;
    int& fetches_;
};

std::string readWholeFile(const fs::path& path)
{
    std::ifstream stream(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

} // namespace

LookScene::LookScene()
{
    const fs::path self = fs::read_symlink("/proc/self/exe");
    const fs::path applications = scratch_.path() / "Applications";
    drovixExecutable_ =
        layOutBundle(applications, "Drovix", std::string(mainAppBundleIdentifier), self);
    const fs::path otherExecutable =
        layOutBundle(applications, "Unrelated", otherBundleIdentifier, self);
    otherInfoPlist_ = applications / "Unrelated.app" / "Contents" / "Info.plist";
    other_ = std::make_unique<ChildProcess>(otherExecutable, "--sleep");
    infoPlistOpens_ = std::make_unique<OpenCounter>(otherInfoPlist_);

    const fs::path data = scratch_.path() / "data";
    if (setenv("XDG_DATA_HOME", data.c_str(), 1) != 0)
        throw std::runtime_error("setenv XDG_DATA_HOME failed");
    recordPath_ = commandRecordPath(commandContainerIdentifier, data.c_str(), nullptr);
    if (!recordPath_)
        throw std::runtime_error("no record path: " + recordPath_.error());
    recordFile_ = *recordPath_;
    const auto issuedAt =
        wallClockMilliseconds() - static_cast<std::int64_t>(staleAgeSeconds) * 1000;
    writeCommandRecord(recordFile_, "restart", "bench-stale", issuedAt);
    recordBytes_ = readWholeFile(recordFile_);

    record_ = CommandRecord{"restart", "bench-stale", fake_.loop.now() - staleAgeSeconds};
    fakeWatcher_ = std::make_shared<RescueWatcher>(fake_.platform());

    auto loop = MainLoop::create();
    if (!loop)
        throw std::runtime_error("no main loop: " + loop.error());
    loop_ = std::move(*loop);
    driver_ = std::make_unique<LookDriver>(*loop_);
    watcher_ = std::make_shared<RescueWatcher>(Platform{
        workspace_,
        [this](std::string_view identifier) -> std::unique_ptr<CommandRecordStore> {
            return std::make_unique<CountingStore>(openCommandContainer(identifier), fetches_);
        },
        *driver_, clock_, lookLog_});
}

LookScene::~LookScene()
{
    // The watcher's container and jobs refer to the loop and the driver: it goes first.
    watcher_.reset();
    worker_.reset();
}

int LookScene::minimalWake()
{
    return drovix::bench::minimalWake(drovixExecutable_.c_str(), recordFile_.c_str()).instances;
}

std::size_t LookScene::scan()
{
    return workspace_.runningApplications(mainAppBundleIdentifier).size();
}

std::optional<CommandRecord> LookScene::readRecord()
{
    std::optional<CommandRecord> result;
    CommandRecordFileStore::fetchNow(
        recordPath_, [&result](std::optional<CommandRecord> record, std::optional<std::string>) {
            result = std::move(record);
        });
    return result;
}

std::optional<CommandRecord> LookScene::parseRecord()
{
    auto parsed = parseCommandRecordFile(recordBytes_);
    if (!parsed)
        return std::nullopt;
    return std::move(*parsed);
}

void LookScene::evaluate()
{
    fakeWatcher_->considerRecord(record_);
}

int LookScene::wholeLook()
{
    const int before = fetches_;
    watcher_->look();
    if (fetches_ != before)
        driver_->runUntilPostedJob();
    return fetches_;
}

void LookScene::handOffFromNewThread()
{
    posix::runOnShortLivedThread([this] { driver_->post([] {}); });
    driver_->runUntilPostedJob();
}

void LookScene::handOffFromStandingWorker()
{
    if (!worker_)
        worker_ = std::make_unique<StandingWorker>();
    worker_->submit([this] { driver_->post([] {}); });
    driver_->runUntilPostedJob();
}

void LookScene::setDrovixRunning(bool running)
{
    if (!running)
        drovix_.reset();
    else if (!drovix_)
        drovix_ = std::make_unique<ChildProcess>(drovixExecutable_, "--sleep");
}

void LookScene::touchInfoPlist()
{
    opensBeforeTouch_ += infoPlistOpens_->take();
    std::ofstream(otherInfoPlist_, std::ios::app) << "\n";
    // Writing opened it: that open is not the scan's.
    infoPlistOpens_->take();
}

} // namespace drovix::bench
