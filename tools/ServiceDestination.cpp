// The command record in the container's private database, through CloudKit's web services.
#include "CloudKitSettings.h"
#include "CommandStatus.h"
#include "LogText.h"
#include "Writer.h"
#include "platform/cloudkit/CommandRecordJson.h"

#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>

namespace drovix::writer {

const char* destinationText()
{
    return "This build saves the record in the container's private database through CloudKit's\n"
           "web services, with the web auth token that \"sign-in\" stores in\n"
           "  ${XDG_CONFIG_HOME:-$HOME/.config}/cloud/ID/web-auth-token\n";
}

std::string recordPlace(const std::string& container)
{
    std::string place = "CloudKit's web services at " + std::string(build::cloudKitUrl);
    if (!build::cloudKitUnixSocket.empty())
        place += " through " + std::string(build::cloudKitUnixSocket);
    return place + ", container " + container + ", its private database in production";
}

posix::Result<std::string> tokenPath(const std::string& container)
{
    return webAuthTokenPath(container, ::getenv("XDG_CONFIG_HOME"), ::getenv("HOME"));
}

ServiceAnswer exchange(ServiceRequest& request, WebAuthTokenFile& tokenFile,
                       std::string_view operation, const std::string& body, std::string token)
{
    for (bool retried = false;; retried = true) {
        request.prepare(operation, token, body);
        ServiceAnswer answer = request.answer(curl_easy_perform(request.handle()));
        if (const std::string replacement = request.replacementToken();
            !replacement.empty() && replacement != token) {
            if (const auto failure = tokenFile.renew(token, replacement))
                say(0, "can't store the web auth token the service handed out: " +
                           failure->description);
        }
        if (answer.serverErrorCode != "AUTHENTICATION_FAILED" || retried)
            return answer;
        token = tokenFile.newerThan(token);
        if (token.empty())
            return answer;
    }
}

namespace {

// The user's token file and one kept connection to the service.
struct Session {
    explicit Session(const std::string& container)
        : tokenFile(tokenPath(container)), request(build::webServiceSettings(container))
    {
    }
    ServiceAnswer ask(std::string_view operation, const std::string& body)
    {
        return exchange(request, tokenFile, operation, body, token);
    }
    WebAuthTokenFile tokenFile;
    ServiceRequest request;
    std::string token;
};

// The user's token to ask with, or why there is none.
std::optional<std::string> signedIn(Session& session)
{
    posix::Result<std::string> token = session.tokenFile.current();
    if (!token)
        return token.error();
    session.token = std::move(*token);
    return std::nullopt;
}

// Where a command whose save may or may not have reached the service is kept, so that sending it
// again reuses its nonce: an agent then acts on it at most once.
posix::Result<std::string> doubtPath(const std::string& container)
{
    posix::Result<std::string> token = tokenPath(container);
    return token ? token->substr(0, token->rfind('/')) + "/command-in-doubt.json" : token;
}

struct Outcome {
    enum { saved, notSaved, unknown } is;
    std::string failure;
    std::optional<double> clockOffset; // the service's clock ahead of this computer's
};

// Saves the command, and when the answer leaves it unknown whether the service did, looks the
// record up once.
Outcome save(Session& session, const Command& command)
{
    const ServiceAnswer answer = session.ask(
        "records/modify", saveRequestBody(commandRecordJson(command.kind, *command.nonce,
                                                            command.issuedAtMilliseconds,
                                                            build::cloudKitRecordType)));
    const Instant answered = thisClock();
    const auto offset = [answered](std::optional<Instant> service) {
        return service ? std::optional(*service - answered) : std::nullopt;
    };
    if (answer.kind == ServiceAnswer::Kind::record && answer.record.nonce == command.nonce)
        return {Outcome::saved, {}, offset(answer.savedAt ? answer.savedAt : answer.dated)};
    const std::string failure = answer.kind == ServiceAnswer::Kind::failed
                                    ? answer.failure
                                    : "the service answered with another record";
    if (answer.kind == ServiceAnswer::Kind::failed && !answer.outcomeUnknown)
        return {Outcome::notSaved, failure, std::nullopt};
    const ServiceAnswer found = session.ask("records/lookup", lookupRequestBody());
    if (found.kind == ServiceAnswer::Kind::failed)
        return {Outcome::unknown, failure + "; looking the record up failed too: " + found.failure,
                std::nullopt};
    if (found.record.nonce == command.nonce && found.kind == ServiceAnswer::Kind::record)
        return {Outcome::saved,
                {},
                found.dated ? std::optional(*found.dated - thisClock()) : std::nullopt};
    return {Outcome::notSaved, failure + ", and the record holds another command", std::nullopt};
}

// The exit status for a save that did not surely happen, and why.
int unsaved(const posix::Result<std::string>& doubt, const Command& command, const Outcome& outcome)
{
    if (outcome.is == Outcome::notSaved)
        return say(exitNotDone, "the command was not saved: " + outcome.failure);
    if (doubt)
        (void)posix::replaceFile(
            *doubt, commandRecordJson(command.kind, *command.nonce, command.issuedAtMilliseconds));
    return say(exitMaybeSent, "may have been sent: check `drovix-command status` before sending "
                              "again (" +
                                  outcome.failure + "). Sending " + command.kind +
                                  " again reuses nonce " + *command.nonce +
                                  ", so that an agent acts on it at most once");
}

} // namespace

int send(const std::string& container, Command command)
{
    Session session(container);
    if (const auto failure = signedIn(session))
        return say(*failure == signInRequired ? exitBadArguments : exitNotDone, *failure);
    const posix::Result<std::string> doubt = doubtPath(container);
    if (!command.nonce) {
        const posix::Result<std::string> kept =
            doubt ? posix::readRegularFile(*doubt, maxRecordJsonSize) : doubt.failure();
        const posix::Result<CommandRecord> earlier =
            kept ? parseCommandRecordFile(*kept) : kept.failure();
        command.nonce = earlier && earlier->kind == command.kind && earlier->nonce ? *earlier->nonce
                                                                                   : randomNonce();
    }
    Outcome outcome = save(session, command);
    if (outcome.is != Outcome::saved)
        return unsaved(doubt, command, outcome);
    if (doubt)
        ::unlink(doubt->c_str());
    const double offset = outcome.clockOffset.value_or(0);
    if (std::fabs(offset) > clockDifferenceShown)
        say(0, clockDifferenceText(offset) + (command.datedByThisClock
                                                  ? ": the command is dated by the service's clock"
                                                  : ": the issue time given is kept"));
    // A Mac counts the command's age on its own clock, which keeps to the service's better than
    // this computer's did: the same command, with the same nonce, dated again.
    if (command.datedByThisClock && std::fabs(offset) > clockTolerance) {
        command.issuedAtMilliseconds += std::llround(offset * 1000);
        outcome = save(session, command);
        if (outcome.is != Outcome::saved)
            return unsaved(doubt, command, outcome);
    }
    std::printf(
        "sent %s to %s, nonce %s\n%s\n", escapedForLog(command.kind).c_str(), container.c_str(),
        escapedForLog(*command.nonce).c_str(),
        verdictOf({command.kind, command.nonce, double(command.issuedAtMilliseconds) / 1000},
                  thisClock() + offset)
            .c_str());
    return exitDone;
}

Reading read(const std::string& container)
{
    Session session(container);
    if (const auto failure = signedIn(session))
        return {std::nullopt, failure, std::nullopt};
    const ServiceAnswer answer = session.ask("records/lookup", lookupRequestBody());
    const std::optional<double> offset =
        answer.dated ? std::optional(*answer.dated - thisClock()) : std::nullopt;
    switch (answer.kind) {
    case ServiceAnswer::Kind::record:
        return {answer.record, std::nullopt, offset};
    case ServiceAnswer::Kind::noRecord:
        return {std::nullopt, std::nullopt, offset};
    case ServiceAnswer::Kind::failed:
        break;
    }
    return {std::nullopt, answer.failure, std::nullopt};
}

} // namespace drovix::writer
