// The agent as a Linux process: there is no user interface to hide; the main thread runs the
// epoll loop.
#include "platform/Platform.h"
#include "platform/linux/CommandRecordFile.h"
#include "platform/linux/MainLoop.h"
#include "platform/linux/StandardErrorLog.h"
#include "platform/linux/SystemClock.h"
#include "platform/linux/Workspace.h"

#include <signal.h>

#include <cstdlib>

#ifndef __linux__
#error "This file is the Linux implementation"
#endif

namespace drovix {

namespace {

class LinuxAgentApplication final : public AgentApplication {
public:
    explicit LinuxAgentApplication(std::unique_ptr<MainLoop> loop) : loop_(std::move(loop)) {}

    void run(const std::function<void(Platform&)>& startup) override
    {
        Platform platform{workspace_, openCommandContainer, *loop_, clock_, log_};
        startup(platform);
        loop_->run();
    }

private:
    StandardErrorLog log_;
    SystemClock clock_;
    LinuxWorkspace workspace_;
    std::unique_ptr<MainLoop> loop_;
};

} // namespace

std::unique_ptr<AgentApplication> makeBackgroundOnlyApplication()
{
    // A closed or broken standard error must not end the agent: writes to it fail quietly.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, nullptr);

    posix::Result<std::unique_ptr<MainLoop>> loop = MainLoop::create();
    if (!loop) {
        StandardErrorLog().log("DrovixRescue: can't run without a main loop — " + loop.error());
        std::exit(EXIT_FAILURE);
    }
    return std::make_unique<LinuxAgentApplication>(std::move(*loop));
}

} // namespace drovix
