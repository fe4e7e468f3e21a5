// The process entry: a background-only application that starts the watcher and runs forever.
#include "RescueWatcher.h"
#include "platform/Platform.h"

#include <memory>

int main()
{
    // Arguments and environment are deliberately not read: the agent has no configuration.
    std::unique_ptr<drovix::AgentApplication> application = drovix::makeBackgroundOnlyApplication();

    // The only long-lived strong reference to the watcher; it lives as long as the run loop.
    std::shared_ptr<drovix::RescueWatcher> watcher;
    application->run([&watcher](drovix::Platform& platform) {
        watcher = std::make_shared<drovix::RescueWatcher>(platform);
        watcher->start();
    });
    return 0;
}
