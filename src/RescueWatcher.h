// The agent's one stateful object: looks at the command record and acts on it.
#pragma once

#include "MainThreadTask.h"
#include "platform/Platform.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace drovix {

// Watches the cloud command record and starts or restarts the main application on request.
// Every operation runs on the main thread. Create it with std::make_shared: timer ticks and fetch
// completions hold it weakly and do nothing once it is gone.
class RescueWatcher : public std::enable_shared_from_this<RescueWatcher> {
public:
    static constexpr double lookInterval = 10.0;
    static constexpr double runningLookInterval = 45.0;
    static constexpr double actionCooldown = 30.0;
    static constexpr double commandWindow = 120.0;
    static constexpr int quitWaitLimit = 10;

    explicit RescueWatcher(Platform platform);
    RescueWatcher(const RescueWatcher&) = delete;
    RescueWatcher& operator=(const RescueWatcher&) = delete;

    // Schedules the look timer and takes the first look at once.
    void start();

    // One look: checks the gates and may fetch the command record.
    void look();

    // Logs why the agent is not acting, unless it is the reason logged last.
    void skip(const std::string& reason);

    // Decides on a fetched record: refuses it with a reason or acts on it.
    void considerRecord(const CommandRecord& record);

    // The main application's bundle, by identifier or four levels above the agent's own bundle.
    std::optional<AppUrl> locateMainApp();

    // Opens the main application; the outcome is logged when the platform reports it.
    void launchMainApp();

    // Asks every instance to quit and starts the job that waits, forces and reopens.
    void restartMainApp();

private:
    void handleFetchResult(std::optional<CommandRecord> record, std::optional<std::string> error);
    static MainThreadTask restartSequence(MainThread& mainThread,
                                          std::shared_ptr<RescueWatcher> self);
    bool mainAppRuns();
    void log(std::string_view text);

    Platform platform_;

    std::unique_ptr<CommandRecordStore> container;
    std::optional<std::string> lastNonce;
    Instant lastAction;
    Instant lastLookWhileRunning;
    std::shared_ptr<RepeatingTimer> timer;
    std::optional<std::string> lastSkip;
};

// Emits one message through the sink, prefixed and escaped. Safe from any thread.
void logMessage(LogSink& sink, std::string_view text);

} // namespace drovix
