// The command record in the container's private database, through CloudKit's web services.
#include "CloudKitSettings.h"
#include "LogText.h"
#include "Writer.h"
#include "platform/cloudkit/CommandRecordJson.h"

#include <stdlib.h>

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
            if (const auto failure = tokenFile.replace(replacement))
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

// One request with the user's token: the answer, or why none could be asked for.
posix::Result<ServiceAnswer> ask(const std::string& container, std::string_view operation,
                                 const std::string& body)
{
    WebAuthTokenFile tokenFile(tokenPath(container));
    const posix::Result<std::string> token = tokenFile.current();
    if (!token)
        return token.failure();
    ServiceRequest request(build::webServiceSettings(container));
    return exchange(request, tokenFile, operation, body, *token);
}

} // namespace

int send(const std::string& container, const Command& command)
{
    const posix::Result<ServiceAnswer> answer = ask(
        container, "records/modify",
        saveRequestBody(commandRecordJson(command.kind, command.nonce, command.issuedAtMilliseconds,
                                          build::cloudKitRecordType)));
    if (!answer)
        return say(exitNotDone, answer.error());
    if (answer->kind != ServiceAnswer::Kind::record)
        return say(exitNotDone,
                   "the command was not saved: " +
                       (answer->failure.empty() ? "no record came back" : answer->failure));
    if (answer->record.nonce != command.nonce)
        return say(exitNotDone, "the command was not saved: the service answered with "
                                "another record");
    std::printf("sent %s to %s, nonce %s\n", escapedForLog(command.kind).c_str(), container.c_str(),
                escapedForLog(command.nonce).c_str());
    return exitDone;
}

Reading read(const std::string& container)
{
    const posix::Result<ServiceAnswer> answer =
        ask(container, "records/lookup", lookupRequestBody());
    if (!answer)
        return {std::nullopt, answer.error()};
    switch (answer->kind) {
    case ServiceAnswer::Kind::record:
        return {answer->record, std::nullopt};
    case ServiceAnswer::Kind::noRecord:
        return {};
    case ServiceAnswer::Kind::failed:
        break;
    }
    return {std::nullopt, answer->failure};
}

} // namespace drovix::writer
