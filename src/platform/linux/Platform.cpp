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

namespace {

class BackgroundOnlyApplication final : public AgentApplication {
public:
    void run(const std::function<void(Platform&)>& startup) override
    {
        Platform platform = services_.platform([this](std::string_view identifier) {
            return openCommandContainer(*services_.mainThread, identifier);
        });
        startup(platform);
        services_.mainThread->run();
    }

private:
    OwnedServices<MainLoop> services_{makeAppWorkspace(), makeMainThread(), makeClock(),
                                      makeLogSink()};
};

} // namespace

std::unique_ptr<AgentApplication> makeBackgroundOnlyApplication()
{
    // A closed or broken standard error must not end the agent: writes to it fail quietly.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, nullptr);
    // The threads that open Drovix allocate little and briefly: an arena of their own would stay
    // resident for the rest of the agent's life.
    ::mallopt(M_ARENA_MAX, 1);
    return std::make_unique<BackgroundOnlyApplication>();
}

} // namespace drovix
