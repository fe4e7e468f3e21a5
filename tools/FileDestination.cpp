// The command record as a file on this machine, where the Linux agent of a build without
// CloudKit's web services reads it. Elsewhere no agent reads such a file.
#include "CommandStatus.h"
#include "Writer.h"
#include "platform/cloudkit/CommandRecordJson.h"
#ifdef __linux__
#include "platform/posix/CommandRecordFileStore.h"
#endif

#include <stdlib.h>

#include <cstdio>

namespace drovix::writer {

namespace {

[[maybe_unused]] posix::Result<std::string> recordPath(const std::string& container)
{
#ifdef __linux__
    return commandRecordPath(container, ::getenv("XDG_DATA_HOME"), ::getenv("HOME"));
#else
    (void)container;
    return posix::Failure{"this build sends commands nowhere: build it with "
                          "-DDROVIX_CLOUDKIT_API_TOKEN=<the container's API token>"};
#endif
}

} // namespace

const char* destinationText()
{
    return "This build writes the record to the file the agent reads on this machine:\n"
           "  ${XDG_DATA_HOME:-$HOME/.local/share}/cloud/ID/private/_defaultZone/command.json\n";
}

std::string recordPlace(const std::string& container)
{
#ifdef __linux__
    const posix::Result<std::string> path = recordPath(container);
    return "the file " + (path ? *path
                               : "${XDG_DATA_HOME:-$HOME/.local/share}/cloud/" + container +
                                     "/private/_defaultZone/command.json");
#else
    return "nowhere: " + recordPath(container).error();
#endif
}

int send(const std::string& container, Command command)
{
    const posix::Result<std::string> path = recordPath(container);
    if (!path)
        return say(exitBadArguments, path.error());
    const std::string nonce = command.nonce.value_or(randomNonce());
    const std::string text =
        commandRecordJson(command.kind, nonce, command.issuedAtMilliseconds) + "\n";
    if (const std::optional<posix::Failure> failure = posix::replaceFile(*path, text))
        return say(exitNotDone, failure->description);
    // The agent on this machine counts the age on the same clock.
    const Instant now = thisClock();
    std::printf(
        "wrote %s\n%s%s\n", path->c_str(), text.c_str(),
        verdictOf({command.kind, nonce, double(command.issuedAtMilliseconds) / 1000}, now).c_str());
    return exitDone;
}

Reading read(const std::string& container)
{
    Reading reading;
#ifdef __linux__
    CommandRecordFileStore::fetchNow(recordPath(container), [&](auto record, auto failure) {
        reading = {std::move(record), std::move(failure), std::nullopt};
    });
#else
    reading.failure = recordPath(container).error();
#endif
    return reading;
}

int signIn(const std::string&)
{
    return say(exitBadArguments,
               "this build has no CloudKit API token: there is nothing to sign in to");
}

} // namespace drovix::writer
