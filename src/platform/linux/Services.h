// The Linux services behind the platform interfaces, as the application object assembles them.
#pragma once

#ifndef __linux__
#error "This file is the Linux implementation"
#endif

#include "platform/AppWorkspace.h"
#include "platform/CommandRecordStore.h"
#include "platform/LogSink.h"
#include "platform/Time.h"
#include "platform/linux/MainThread.h"

#include <memory>
#include <string_view>

namespace drovix {

// Bundles on disk and the user's processes in /proc.
std::unique_ptr<AppWorkspace> makeAppWorkspace();

// The command record of the container with this identifier, on mainLoop: the record file under
// the user's data folder, or CloudKit's web services, as the build decided.
std::unique_ptr<CommandRecordStore> openCommandContainer(MainLoop& mainLoop,
                                                         std::string_view containerIdentifier);

// The epoll loop of the main thread. Without one the agent cannot run: it logs why and exits.
std::unique_ptr<MainLoop> makeMainThread();

// CLOCK_REALTIME.
std::unique_ptr<Clock> makeClock();

// NSLog-style lines on standard error.
std::unique_ptr<LogSink> makeLogSink();

} // namespace drovix
