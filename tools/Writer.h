// What the parts of drovix-command share: its exit statuses, how it reports, and the two things
// it does wherever the build keeps the record (the record file, or CloudKit's web services).
#pragma once

#include "platform/CommandRecordStore.h"
#include "platform/cloudkit/WebAuthToken.h"
#include "platform/cloudkit/WebService.h"

#include <cstdint>
#include <optional>
#include <string>

namespace drovix::writer {

constexpr int exitDone = 0;
constexpr int exitNotDone = 1;
constexpr int exitBadArguments = 2;

// Writes "drovix-command: <reason>" to standard error and returns status.
int say(int status, const std::string& reason);

// One command as it is sent.
struct Command {
    std::string kind;
    std::string nonce;
    std::int64_t issuedAtMilliseconds;
};

// Sends the command to the container; reports what was sent or why not.
int send(const std::string& container, const Command& command);

// The record as the agent would read it now: present, none yet (an empty optional), or the
// agent's reason why it can't be read.
struct Reading {
    std::optional<CommandRecord> record;
    std::optional<std::string> failure;
};
Reading read(const std::string& container);

// Where the build keeps the record, for --help.
const char* destinationText();

// Where the build keeps the container's record, in one line, for --version; found without the
// token or the service.
std::string recordPlace(const std::string& container);

// Asks for a web auth token in a browser and stores it; a build without CloudKit's web services
// says there is nothing to sign in to.
int signIn(const std::string& container);

// What a build with CloudKit's web services shares with its sign-in: the token file of the user,
// and one request, sent once more with the token that another client stored meanwhile if the
// service refused this one's. A token the service hands out is stored for the agent and later
// commands.
posix::Result<std::string> tokenPath(const std::string& container);
ServiceAnswer exchange(ServiceRequest& request, WebAuthTokenFile& tokenFile,
                       std::string_view operation, const std::string& body, std::string token);

} // namespace drovix::writer
