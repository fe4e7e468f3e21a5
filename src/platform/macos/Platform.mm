// The process as a background-only AppKit application, and the services it hands the watcher.
#include "platform/Platform.h"

#include "Services.h"

#import <AppKit/AppKit.h>

#if !__has_feature(objc_arc)
#error "This file is built with automatic reference counting"
#endif

namespace drovix {

std::unique_ptr<AgentApplication> makeBackgroundOnlyApplication()
{
    @autoreleasepool {
        // No Dock icon, no menu bar, no windows, never frontmost.
        [[NSApplication sharedApplication]
            setActivationPolicy:NSApplicationActivationPolicyProhibited];
        // App Nap would stretch the look timer and the waits of a restart from seconds to
        // minutes. Held for the life of the process; idle system sleep stays allowed.
        [[maybe_unused]] static id<NSObject> appNapOptOut = [[NSProcessInfo processInfo]
            beginActivityWithOptions:NSActivityUserInitiatedAllowingIdleSystemSleep
                              reason:@"Watching over Drovix on a 10-second cadence"];
        auto workspace = makeAppWorkspace();
        auto mainThread = makeMainThread();
        return std::make_unique<ServicesApplication<MainThread>>(
            std::move(workspace), std::move(mainThread), makeClock(), makeLogSink(),
            openCommandContainer, [](MainThread&, const std::function<void()>& startup) {
                @autoreleasepool {
                    startup();
                    [NSApp run];
                }
            });
    }
}

} // namespace drovix
