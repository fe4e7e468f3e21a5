// The macOS services behind the platform interfaces, as the application object assembles them.
#pragma once

#include "platform/AppWorkspace.h"
#include "platform/CommandRecordStore.h"
#include "platform/LogSink.h"
#include "platform/MainThread.h"
#include "platform/Time.h"

#include <memory>
#include <string_view>

namespace drovix {

// NSWorkspace, NSRunningApplication, the agent's own bundle and the file system.
std::unique_ptr<AppWorkspace> makeAppWorkspace();

// The CloudKit container with this identifier, created now and kept by the returned store; or,
// when the process is not entitled to it, a store whose every fetch says which entitlement is
// missing. In a build for checks (DROVIX_MACOS_RECORD_FILE), the container's record file.
std::unique_ptr<CommandRecordStore> openCommandContainer(std::string_view containerIdentifier);

// The main run loop's timers, the main dispatch queue and sleeps on the continuous clock.
std::unique_ptr<MainThread> makeMainThread();

// Foundation's dates.
std::unique_ptr<Clock> makeClock();

// The unified system log, through NSLog.
std::unique_ptr<LogSink> makeLogSink();

} // namespace drovix
