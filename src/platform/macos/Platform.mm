// The process as a background-only AppKit application, and the services it hands the watcher.
#include "platform/Platform.h"

#include "Services.h"

#import <AppKit/AppKit.h>

#if !__has_feature(objc_arc)
#error "This file is built with automatic reference counting"
#endif

namespace drovix {

namespace {

class BackgroundOnlyApplication final : public AgentApplication {
public:
    // The services belong to the application object, which main keeps longer than the watcher.
    BackgroundOnlyApplication()
        : workspace_(makeAppWorkspace()), mainThread_(makeMainThread()), clock_(makeClock()),
          logSink_(makeLogSink()),
          // App Nap would stretch the look timer and the waits of a restart from seconds to
          // minutes. Held for the life of the process; idle system sleep stays allowed.
          appNapOptOut_([[NSProcessInfo processInfo]
              beginActivityWithOptions:NSActivityUserInitiatedAllowingIdleSystemSleep
                                reason:@"Watching over Drovix on a 10-second cadence"])
    {
    }

    void run(const std::function<void(Platform&)>& startup) override
    {
        Platform platform{
            .workspace = *workspace_,
            .openContainer = openCommandContainer,
            .mainThread = *mainThread_,
            .clock = *clock_,
            .logSink = *logSink_,
        };
        @autoreleasepool {
            startup(platform);
            [NSApp run];
        }
    }

private:
    std::unique_ptr<AppWorkspace> workspace_;
    std::unique_ptr<MainThread> mainThread_;
    std::unique_ptr<Clock> clock_;
    std::unique_ptr<LogSink> logSink_;
    id<NSObject> appNapOptOut_;
};

} // namespace

std::unique_ptr<AgentApplication> makeBackgroundOnlyApplication()
{
    @autoreleasepool {
        // No Dock icon, no menu bar, no windows, never frontmost.
        [[NSApplication sharedApplication]
            setActivationPolicy:NSApplicationActivationPolicyProhibited];
        return std::make_unique<BackgroundOnlyApplication>();
    }
}

} // namespace drovix
