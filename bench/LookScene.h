// One look, taken apart: the scene every benchmark of the look works in, and each part of a look
// as a call that returns what it found, so that a run can check the work was really done.
#pragma once

#include "BenchSupport.h"
#include "RescueWatcher.h"
#include "fake/FakePlatform.h"
#include "platform/linux/CommandRecordStore.h"
#include "platform/linux/MainThread.h"
#include "platform/linux/Time.h"
#include "platform/linux/AppWorkspace.h"

#include <filesystem>
#include <memory>
#include <string>
#include <utility>

namespace drovix::bench {

// A scratch data folder holding the command record (a "restart" issued an hour ago, so that each
// look reads it, evaluates it all the way to its age and refuses it), a Drovix.app that does not
// run, and an unrelated bundle whose process does, so that every scan meets a bundle and must
// know its identifier. Set up once; the child processes end with it.
class LookScene {
public:
    // Points this process's XDG_DATA_HOME at the scene's data folder.
    LookScene();
    ~LookScene();
    LookScene(const LookScene&) = delete;
    LookScene& operator=(const LookScene&) = delete;

    // The minimal loop's wake over the same process table and record: instances found.
    int minimalWake();

    // The running-instance scan over the machine's real /proc: instances of Drovix found.
    std::size_t scan();

    // The record read from its file and parsed, on the calling thread.
    std::optional<CommandRecord> readRecord();

    // The record's bytes parsed, without the read.
    std::optional<CommandRecord> parseRecord();

    // The watcher's evaluation of the record on the fake platform.
    void evaluate();

    // A whole look by the agent's own watcher on the agent's own main loop: the scan, the fetch
    // on its thread, the hand-over to the main loop and the evaluation. Fetches so far.
    int wholeLook();

    // A completion handed from a thread made for it to the main loop, which runs it: what a
    // fetch adds to a look beyond the read.
    void handOffFromNewThread();

    // The same from a thread that stays.
    void handOffFromStandingWorker();

    // Starts a running instance of Drovix, or ends it, for the scans that must find one.
    void setDrovixRunning(bool running);

    // Opens of the unrelated bundle's Info.plist since the last call.
    int infoPlistOpens() { return std::exchange(opensBeforeTouch_, 0) + infoPlistOpens_->take(); }

    // Changes the unrelated bundle's Info.plist as an update of that application would.
    void touchInfoPlist();

    std::string evaluationLine() const { return fake_.log.lines().back(); }
    std::string lookLine() const { return lookLog_.lastLine(); }

private:
    ScratchDirectory scratch_;
    std::filesystem::path drovixExecutable_;
    std::filesystem::path otherInfoPlist_;
    std::filesystem::path recordFile_;
    std::string recordBytes_;
    CommandRecord record_;
    std::unique_ptr<ChildProcess> other_;
    std::unique_ptr<ChildProcess> drovix_;
    std::unique_ptr<OpenCounter> infoPlistOpens_;
    int opensBeforeTouch_ = 0;

    LinuxWorkspace workspace_;
    posix::Result<std::string> recordPath_{posix::Failure{"not laid out yet"}};

    testing::FakePlatform fake_;
    std::shared_ptr<RescueWatcher> fakeWatcher_;

    std::unique_ptr<MainLoop> loop_;
    std::unique_ptr<LookDriver> driver_;
    std::unique_ptr<StandingWorker> worker_;
    SystemClock clock_;
    CountingLog lookLog_;
    int fetches_ = 0;
    std::shared_ptr<RescueWatcher> watcher_;
};

// The bundle identifier of the unrelated application the scene runs.
inline constexpr const char* otherBundleIdentifier = "com.example.Unrelated";

} // namespace drovix::bench
