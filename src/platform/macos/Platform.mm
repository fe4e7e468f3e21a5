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
    void run(const std::function<void(Platform&)>& startup) override
    {
        Platform platform = services_.platform(openCommandContainer);
        @autoreleasepool {
            startup(platform);
            [NSApp run];
        }
    }

private:
    OwnedServices<MainThread> services_{makeAppWorkspace(), makeMainThread(), makeClock(),
                                        makeLogSink()};
    // App Nap would stretch the look timer and the waits of a restart from seconds to minutes.
    // Held for the life of the process; idle system sleep stays allowed.
    id<NSObject> appNapOptOut_ = [[NSProcessInfo processInfo]
        beginActivityWithOptions:NSActivityUserInitiatedAllowingIdleSystemSleep
                          reason:@"Watching over Drovix on a 10-second cadence"];
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
