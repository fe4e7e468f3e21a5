// The agent as a Linux process: there is no user interface to hide; the main thread runs the
// epoll loop.
#include "platform/Platform.h"

#include "platform/linux/Services.h"

#include <malloc.h>
#include <signal.h>

#ifndef __linux__
#error "This file is the Linux implementation"
#endif

namespace drovix {

std::unique_ptr<AgentApplication> makeBackgroundOnlyApplication()
{
    // A closed or broken standard error must not end the agent: writes to it fail quietly.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, nullptr);
    // The threads that open Drovix allocate little and briefly: an arena of their own would stay
    // resident for the rest of the agent's life.
    ::mallopt(M_ARENA_MAX, 1);

    auto workspace = makeAppWorkspace();
    std::unique_ptr<MainLoop> loop = makeMainThread();
    MainLoop& mainLoop = *loop;
    return std::make_unique<ServicesApplication<MainLoop>>(
        std::move(workspace), std::move(loop), makeClock(), makeLogSink(),
        [&mainLoop](std::string_view identifier) {
            return openCommandContainer(mainLoop, identifier);
        },
        [](MainLoop& main, const std::function<void()>& startup) {
            startup();
            main.run();
        });
}

} // namespace drovix
