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
// The service may have saved the command: its answer was lost, and so was a lookup's.
constexpr int exitMaybeSent = 3;

// Writes "drovix-command: <reason>" to standard error and returns status.
int say(int status, const std::string& reason);

// One command as it is sent: without a nonce, the destination picks one.
struct Command {
    std::string kind;
    std::optional<std::string> nonce;
    std::int64_t issuedAtMilliseconds;
    // Whether the issue time was read off this computer's clock, which the service's may correct.
    bool datedByThisClock;
};

// This computer's clock, now.
Instant thisClock();

// 16 random hex digits.
std::string randomNonce();

// Sends the command to the container; reports what was sent, or why not, and what an agent would
// make of the record now.
int send(const std::string& container, Command command);

// The record as the agent would read it now: present, none yet (an empty optional), or the
// agent's reason why it can't be read; and how far the service's clock is ahead of this
// computer's, when its answer told.
struct Reading {
    std::optional<CommandRecord> record;
    std::optional<std::string> failure;
    std::optional<double> clockOffset;
};
Reading read(const std::string& container);

// Where the build keeps the record, for --help.
const char* destinationText();

// Where the build keeps the container's record, in one line, for --version; found without the
// token or the service.
std::string recordPlace(const std::string& container);

// Shows where to sign in, takes the web auth token the person pastes, and stores it once the
// service has accepted it; a build without CloudKit's web services says there is nothing to sign
// in to.
int signIn(const std::string& container);

// What a build with CloudKit's web services shares with its sign-in: the token file of the user,
// and one request, sent once more with the token that another client stored meanwhile if the
// service refused this one's. A renewal the service hands out replaces the token it renews.
posix::Result<std::string> tokenPath(const std::string& container);
ServiceAnswer exchange(ServiceRequest& request, WebAuthTokenFile& tokenFile,
                       std::string_view operation, const std::string& body, std::string token);

// Differences of the service's clock from this computer's up to this are the service's clock read
// through whole seconds and the network; larger ones are taken as this computer's error, and
// from clockDifferenceShown on said.
constexpr double clockTolerance = 2;
constexpr double clockDifferenceShown = 30;

// "this computer's clock is 300 s ahead of the service's", for a service clock offset seconds
// ahead of this computer's.
std::string clockDifferenceText(double offset);

} // namespace drovix::writer
