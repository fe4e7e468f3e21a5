// The command record file: where it lives, and its fetch on the main loop.
#include "platform/posix/CommandRecordFileStore.h"

#include "platform/cloudkit/CommandRecordJson.h"

namespace drovix {

posix::Result<std::string> commandRecordPath(std::string_view containerIdentifier,
                                             const char* xdgDataHome, const char* home)
{
    return posix::pathInUserFolder(xdgDataHome, home, "/.local/share",
                                   "cloud/" + std::string(containerIdentifier) +
                                       "/private/_defaultZone/command.json",
                                   "the command record");
}

void CommandRecordFileStore::fetchCommandRecord(FetchCompletion completion)
{
    mainThread_.post(
        [path = path_, completion = std::move(completion)] { fetchNow(*path, completion); });
}

void CommandRecordFileStore::fetchNow(const posix::Result<std::string>& path,
                                      const FetchCompletion& completion)
{
    if (!path) {
        completion(std::nullopt, path.error());
        return;
    }
    const posix::Result<std::string> bytes = posix::readRegularFile(*path, maxRecordJsonSize);
    if (!bytes) {
        const int code = bytes.failure().code;
        if (code == ENOENT || code == ENOTDIR)
            completion(std::nullopt, std::nullopt);
        else
            completion(std::nullopt, *path + ": " + bytes.error());
        return;
    }
    posix::Result<CommandRecord> record = parseCommandRecordFile(*bytes);
    if (!record) {
        completion(std::nullopt, record.error());
        return;
    }
    completion(std::move(*record), std::nullopt);
}

} // namespace drovix
