// Which store the agent reads the command record from, decided when it is built: the record file,
// or CloudKit's web services when the build has an API token.
#include "CloudKitSettings.h"
#include "platform/cloudkit/WebAuthToken.h"
#include "platform/linux/CommandRecordWebStore.h"
#include "platform/linux/Services.h"
#include "platform/posix/CommandRecordFileStore.h"

#include <stdlib.h>

namespace drovix {

std::unique_ptr<CommandRecordStore> openCommandContainer(MainLoop& mainLoop,
                                                         std::string_view containerIdentifier)
{
    // Only the store chosen is linked, and with the file, neither is libcurl.
    if constexpr (build::cloudKitApiToken.empty())
        return std::make_unique<CommandRecordFileStore>(
            mainLoop,
            commandRecordPath(containerIdentifier, ::getenv("XDG_DATA_HOME"), ::getenv("HOME")));
    else
        return std::make_unique<CommandRecordWebStore>(
            mainLoop, build::webServiceSettings(containerIdentifier),
            webAuthTokenPath(containerIdentifier, ::getenv("XDG_CONFIG_HOME"), ::getenv("HOME")));
}

} // namespace drovix
