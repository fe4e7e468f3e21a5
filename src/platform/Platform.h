// Everything the watcher reaches the operating system through.
#pragma once

#include "platform/AppWorkspace.h"
#include "platform/CommandRecordStore.h"
#include "platform/LogSink.h"
#include "platform/MainThread.h"
#include "platform/Time.h"

#include <functional>
#include <memory>
#include <string_view>
#include <utility>

namespace drovix {

// Opens the handle of the cloud container with the given identifier.
using ContainerFactory =
    std::function<std::unique_ptr<CommandRecordStore>(std::string_view containerIdentifier)>;

// The platform services, all of which outlive the watcher that uses them.
struct Platform {
    AppWorkspace& workspace;
    ContainerFactory openContainer;
    MainThread& mainThread;
    Clock& clock;
    LogSink& logSink;
};

// The process as a background-only application: no Dock icon, no menu bar, no windows.
class AgentApplication {
public:
    virtual ~AgentApplication() = default;

    // Calls startup with the platform services of this process, then runs the main run loop,
    // both on the main thread and inside the platform's per-thread scope (an autorelease pool on
    // macOS). Returns only if the run loop ever ends.
    virtual void run(const std::function<void(Platform&)>& startup) = 0;
};

// The application object of a process: it owns the platform's services, which main keeps longer
// than the watcher that uses them. Loop is the platform's type of main thread; runLoop calls
// startup inside the platform's per-thread scope and then runs the loop.
template <typename Loop> class ServicesApplication final : public AgentApplication {
public:
    using RunLoop = std::function<void(Loop& loop, const std::function<void()>& startup)>;

    ServicesApplication(std::unique_ptr<AppWorkspace> workspace, std::unique_ptr<Loop> mainThread,
                        std::unique_ptr<Clock> clock, std::unique_ptr<LogSink> logSink,
                        ContainerFactory openContainer, RunLoop runLoop)
        : workspace_(std::move(workspace)), mainThread_(std::move(mainThread)),
          clock_(std::move(clock)), logSink_(std::move(logSink)),
          openContainer_(std::move(openContainer)), runLoop_(std::move(runLoop))
    {
    }

    void run(const std::function<void(Platform&)>& startup) override
    {
        Platform platform{*workspace_, openContainer_, *mainThread_, *clock_, *logSink_};
        runLoop_(*mainThread_, [&] { startup(platform); });
    }

private:
    std::unique_ptr<AppWorkspace> workspace_;
    std::unique_ptr<Loop> mainThread_;
    std::unique_ptr<Clock> clock_;
    std::unique_ptr<LogSink> logSink_;
    ContainerFactory openContainer_;
    RunLoop runLoop_;
};

// Makes the shared application object of this process background-only. Called once, first thing,
// on the main thread.
std::unique_ptr<AgentApplication> makeBackgroundOnlyApplication();

} // namespace drovix
