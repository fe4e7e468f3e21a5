// drovix-command sign-in: asks the service for its sign-in page, then takes the web auth token
// from the browser at the loopback callback, or pasted by the user, whichever comes first.
#include "CloudKitSettings.h"
#include "LogText.h"
#include "Writer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

namespace drovix::writer {

namespace {

// How long sign-in waits for the browser or the user.
constexpr int signInWaitMilliseconds = 10 * 60 * 1000;

// The request a browser sends to the loopback callback: its token, if it holds one, and the page
// it is answered with.
std::string answerCallback(int listener)
{
    const posix::FileDescriptor connection(::accept(listener, nullptr, nullptr));
    if (!connection.valid())
        return {};
    std::string request;
    char buffer[4096];
    pollfd entry{connection.get(), POLLIN, 0};
    // The request line is all that is read; a browser sends it at once.
    while (request.find("\r\n") == request.npos && request.size() < 16 * 1024 &&
           ::poll(&entry, 1, 5000) > 0) {
        const ssize_t count = ::read(connection.get(), buffer, sizeof buffer);
        if (count <= 0)
            break;
        request.append(buffer, static_cast<std::size_t>(count));
    }
    const std::string line = request.substr(0, request.find("\r\n"));
    const std::string target = line.substr(0, line.rfind(' '));
    const std::string token = webAuthTokenFrom(target.substr(target.find(' ') + 1));
    const std::string page = token.empty()
                                 ? "This address holds no ckWebAuthToken: sign in again.\n"
                                 : "Signed in: drovix-command has the token. You can close this "
                                   "window.\n";
    (void)posix::writeAll(
        connection.get(),
        std::string(token.empty() ? "HTTP/1.1 400 Bad Request" : "HTTP/1.1 200 OK") +
            "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
            std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n" + page);
    return token;
}

// A listener on the loopback port the sign-in page sends the browser back to, when the build has
// one and it is free.
posix::FileDescriptor callbackListener()
{
    if (build::cloudKitCallbackPort == 0)
        return {};
    posix::FileDescriptor listener(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(build::cloudKitCallbackPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int on = 1;
    if (!listener.valid() ||
        ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener.get(), 4) != 0) {
        say(0, posix::systemFailure("can't listen on 127.0.0.1:" +
                                    std::to_string(build::cloudKitCallbackPort))
                       .description +
                   "; paste the address instead");
        return {};
    }
    return listener;
}

// Waits for the token: from the browser at the callback, or pasted by the user, whichever comes
// first. Empty when neither came in time, or the input ended first.
std::string awaitToken()
{
    const posix::FileDescriptor listener = callbackListener();
    std::printf(listener.valid() ? "When the browser shows \"Signed in\", you are done. If it "
                                   "ends on an address that does not load,\npaste that address "
                                   "here and press Return:\n"
                                 : "Then paste the address the browser ended on, or the web auth "
                                   "token alone, and press Return:\n");
    std::fflush(stdout);
    std::string line;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(signInWaitMilliseconds);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd entries[2] = {{0, POLLIN, 0}, {listener.get(), POLLIN, 0}};
        if (left.count() <= 0 ||
            posix::retryOnInterrupt([&] { return ::poll(entries, 2, int(left.count())); }) <= 0)
            return {};
        if (entries[1].revents & POLLIN) {
            if (std::string token = answerCallback(listener.get()); !token.empty())
                return token;
        }
        if (entries[0].revents & (POLLIN | POLLHUP)) {
            char c = 0;
            const ssize_t count = ::read(0, &c, 1);
            if (count > 0 && c != '\n') {
                line += c;
                continue;
            }
            if (std::string token = webAuthTokenFrom(line); !token.empty())
                return token;
            if (count <= 0)
                return {};
            if (!line.empty())
                say(0, "that holds no web auth token: paste the whole address, or the token alone");
            line.clear();
        }
    }
}

} // namespace

int signIn(const std::string& container)
{
    // A browser that goes away before the page is written must not end the writer.
    ::signal(SIGPIPE, SIG_IGN);
    WebAuthTokenFile tokenFile(tokenPath(container));
    ServiceRequest request(build::webServiceSettings(container));
    request.prepare("records/lookup", "", lookupRequestBody());
    const ServiceAnswer asked = request.answer(curl_easy_perform(request.handle()));
    if (asked.serverErrorCode != "AUTHENTICATION_REQUIRED" || !asked.redirectUrl)
        return say(exitNotDone,
                   "the service gave no sign-in address: " +
                       (asked.failure.empty() ? "it answered without one" : asked.failure));
    std::printf("Sign in to iCloud in a browser, at\n  %s\n",
                escapedForLog(*asked.redirectUrl).c_str());
    const std::string token = awaitToken();
    if (token.empty())
        return say(exitBadArguments, "no web auth token came: nothing was signed in");
    if (const auto failure = tokenFile.replace(token))
        return say(exitNotDone, failure->description);
    // A first lookup shows that the token works, and what the service thinks of this user.
    const ServiceAnswer checked =
        exchange(request, tokenFile, "records/lookup", lookupRequestBody(), token);
    if (checked.kind == ServiceAnswer::Kind::failed)
        return say(exitNotDone,
                   "signed in, but the service refuses the command record: " + checked.failure);
    std::printf("signed in; the token is in %s\n", tokenPath(container)->c_str());
    return exitDone;
}

} // namespace drovix::writer
