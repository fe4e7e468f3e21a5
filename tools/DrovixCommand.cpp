// drovix-command: sends a command to DrovixRescue by writing the command record, as the other
// clients of the cloud container do. Where the record goes is the build's choice, the agent's
// own: the record file, or the container's private database through CloudKit's web services,
// which reach the agent on any machine, a Mac's among them.
#include "CloudKitSettings.h"
#include "Identifiers.h"
#include "LogText.h"
#include "platform/cloudkit/CommandRecordJson.h"
#include "platform/cloudkit/WebAuthToken.h"
#include "platform/cloudkit/WebService.h"
#include "platform/posix/Posix.h"
#ifdef __linux__
#include "platform/linux/CommandRecordFileStore.h"
#endif

#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <string_view>

namespace {

using namespace drovix;

constexpr int exitWritten = 0;
constexpr int exitNotWritten = 1;
constexpr int exitBadArguments = 2;

constexpr bool usesService = !build::cloudKitApiToken.empty();

// Ages beyond a few centuries are typing mistakes, and would overflow the milliseconds.
constexpr double largestAgeSeconds = 1e10;

// How long sign-in waits for the browser or the user.
constexpr int signInWaitMilliseconds = 10 * 60 * 1000;

const char* const usage =
    "Usage: drovix-command [--nonce TEXT] [--issued-at MILLISECONDS] [--age SECONDS]\n"
    "                      [--container ID] KIND\n"
    "       drovix-command [--container ID] sign-in\n"
    "\n"
    "Writes the command record that DrovixRescue reads, as another client of the cloud\n"
    "container would. KIND \"start\" or \"restart\" is for the agent; any other kind is a\n"
    "command for Drovix itself.\n"
    "\n"
    "  --nonce TEXT               identifies the command (default: 16 random hex digits)\n"
    "  --issued-at MILLISECONDS   issue time since the Unix epoch (default: now)\n"
    "  --age SECONDS              issue time SECONDS before now; a negative age dates it ahead\n"
    "  --container ID             cloud container (default: %.*s)\n"
    "  -h, --help                 shows this text\n"
    "\n"
    "%s"
    "Bytes of KIND or TEXT that are not UTF-8 are written as U+FFFD.\n"
    "Exit status: 0 written, 1 not written, 2 bad arguments or no sign-in.\n";

const char* const fileDestination =
    "This build writes the record to the file the agent reads on this machine:\n"
    "  ${XDG_DATA_HOME:-$HOME/.local/share}/cloud/ID/private/_defaultZone/command.json\n";

const char* const serviceDestination =
    "This build saves the record in the container's private database through CloudKit's\n"
    "web services, with the web auth token that \"sign-in\" stores in\n"
    "  ${XDG_CONFIG_HOME:-$HOME/.config}/cloud/ID/web-auth-token\n";

// The whole text as a whole number, or nothing.
std::optional<std::int64_t> integerFrom(std::string_view text)
{
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [next, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || next != end)
        return std::nullopt;
    return value;
}

// The whole text as a finite number, or nothing. (The C++ library of macOS has no from_chars
// for floating point.)
std::optional<double> finiteNumberFrom(const std::string& text)
{
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])) ||
        end != text.c_str() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::string randomNonce()
{
    std::random_device source;
    char digits[17];
    std::snprintf(digits, sizeof digits, "%08x%08x", unsigned{source()}, unsigned{source()});
    return digits;
}

int say(int status, const std::string& reason)
{
    std::fprintf(stderr, "drovix-command: %s\n", escapedForLog(reason).c_str());
    return status;
}

// One request, and once more with the token that another client stored meanwhile if the service
// refused this one's. A token the service hands out is stored for the agent and later commands.
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

posix::Result<std::string> tokenPath(const std::string& container)
{
    return webAuthTokenPath(container, ::getenv("XDG_CONFIG_HOME"), ::getenv("HOME"));
}

int sendToService(const std::string& container, const std::string& kind, const std::string& nonce,
                  std::int64_t issuedAt)
{
    WebAuthTokenFile tokenFile(tokenPath(container));
    const posix::Result<std::string> token = tokenFile.current();
    if (!token)
        return say(exitNotWritten, token.error());
    ServiceRequest request(build::webServiceSettings(container));
    const ServiceAnswer answer = exchange(
        request, tokenFile, "records/modify",
        saveRequestBody(commandRecordJson(kind, nonce, issuedAt, build::cloudKitRecordType)),
        *token);
    if (answer.kind != ServiceAnswer::Kind::record)
        return say(exitNotWritten,
                   "the command was not saved: " +
                       (answer.failure.empty() ? "no record came back" : answer.failure));
    if (answer.record.nonce != nonce)
        return say(exitNotWritten, "the command was not saved: the service answered with "
                                   "another record");
    std::printf("sent %s to %s, nonce %s\n", escapedForLog(kind).c_str(), container.c_str(),
                escapedForLog(nonce).c_str());
    return exitWritten;
}

int writeFile(const std::string& container, const std::string& kind, const std::string& nonce,
              std::int64_t issuedAt)
{
#ifdef __linux__
    const posix::Result<std::string> path =
        commandRecordPath(container, ::getenv("XDG_DATA_HOME"), ::getenv("HOME"));
    const std::string text = commandRecordJson(kind, nonce, issuedAt) + "\n";
    const std::optional<posix::Failure> failure =
        path ? posix::replaceFile(*path, text) : std::optional(path.failure());
    if (failure)
        return say(exitNotWritten, failure->description);
    std::printf("wrote %s\n%s", path->c_str(), text.c_str());
    return exitWritten;
#else
    // No agent on this system reads a record file: writing one would send nothing.
    (void)container, (void)kind, (void)nonce, (void)issuedAt;
    return say(exitBadArguments, "this build sends commands nowhere: build it with "
                                 "-DDROVIX_CLOUDKIT_API_TOKEN=<the container's API token>");
#endif
}

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
                say(0, "that holds no ckWebAuthToken: paste the whole address, or the token alone");
            line.clear();
        }
    }
}

int signIn(const std::string& container)
{
    WebAuthTokenFile tokenFile(tokenPath(container));
    ServiceRequest request(build::webServiceSettings(container));
    request.prepare("records/lookup", "", lookupRequestBody());
    const ServiceAnswer asked = request.answer(curl_easy_perform(request.handle()));
    if (asked.serverErrorCode != "AUTHENTICATION_REQUIRED" || !asked.redirectUrl)
        return say(exitNotWritten,
                   "the service gave no sign-in address: " +
                       (asked.failure.empty() ? "it answered without one" : asked.failure));
    std::printf("Sign in to iCloud in a browser, at\n  %s\n",
                escapedForLog(*asked.redirectUrl).c_str());
    const std::string token = awaitToken();
    if (token.empty())
        return say(exitBadArguments, "no web auth token came: nothing was signed in");
    if (const auto failure = tokenFile.replace(token))
        return say(exitNotWritten, failure->description);
    // A first lookup shows that the token works, and what the service thinks of this user.
    const ServiceAnswer checked =
        exchange(request, tokenFile, "records/lookup", lookupRequestBody(), token);
    if (checked.kind == ServiceAnswer::Kind::failed)
        return say(exitNotWritten,
                   "signed in, but the service refuses the command record: " + checked.failure);
    std::printf("signed in; the token is in %s\n", tokenPath(container)->c_str());
    return exitWritten;
}

} // namespace

int main(int argc, char** argv)
{
    std::string nonce = randomNonce();
    std::string container{commandContainerIdentifier};
    std::optional<std::int64_t> issuedAt;
    std::optional<double> age;

    const option options[] = {
        {"nonce", required_argument, nullptr, 'n'}, {"issued-at", required_argument, nullptr, 'i'},
        {"age", required_argument, nullptr, 'a'},   {"container", required_argument, nullptr, 'c'},
        {"help", no_argument, nullptr, 'h'},        {nullptr, 0, nullptr, 0}};
    for (int option; (option = ::getopt_long(argc, argv, "h", options, nullptr)) != -1;) {
        const std::string value = optarg ? optarg : "";
        switch (option) {
        case 'n':
            nonce = value;
            break;
        case 'i':
            if (!(issuedAt = integerFrom(value)))
                return say(exitBadArguments,
                           "--issued-at takes milliseconds since the Unix epoch, not \"" + value +
                               "\"");
            break;
        case 'a':
            age = finiteNumberFrom(value);
            if (!age || std::fabs(*age) > largestAgeSeconds)
                return say(exitBadArguments,
                           "--age takes a number of seconds, not \"" + value + "\"");
            break;
        case 'c':
            if (value.empty() || value == "." || value == ".." || value.find('/') != value.npos)
                return say(exitBadArguments,
                           "--container takes one folder name, such as iCloud.com.example.App, "
                           "not \"" +
                               value + "\"");
            container = value;
            break;
        case 'h':
            std::printf(usage, static_cast<int>(commandContainerIdentifier.size()),
                        commandContainerIdentifier.data(),
                        usesService ? serviceDestination : fileDestination);
            return exitWritten;
        default: // getopt_long has said what is wrong.
            return exitBadArguments;
        }
    }
    if (argc - optind != 1)
        return say(exitBadArguments, argc == optind ? "no command kind given (see --help)"
                                                    : "give one command kind only (see --help)");
    if (issuedAt && age)
        return say(exitBadArguments,
                   "--issued-at and --age both set the issue time; give one of them");
    const std::string kind = argv[optind];
    if (kind == "sign-in") {
        if (!usesService)
            return say(exitBadArguments, "this build has no CloudKit API token: there is "
                                         "nothing to sign in to");
        // A browser that goes away before the page is written must not end the writer.
        ::signal(SIGPIPE, SIG_IGN);
        return signIn(container);
    }

    using namespace std::chrono;
    const std::int64_t now =
        duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    const std::int64_t at = issuedAt ? *issuedAt : now - std::llround(age.value_or(0) * 1000);
    return usesService ? sendToService(container, kind, nonce, at)
                       : writeFile(container, kind, nonce, at);
}
