// drovix-command sign-in: asks the service for its sign-in page, then takes the web auth token
// that the person pastes from the page the browser ends on. Only a token the person moved here by
// hand, and the service then accepted, ever reaches the token file.
#include "CloudKitSettings.h"
#include "LogText.h"
#include "Writer.h"

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

namespace drovix::writer {

namespace {

// How long sign-in waits for the person.
constexpr int signInWaitMilliseconds = 10 * 60 * 1000;

// The terminal's settings from before the token was read without echo, put back however the
// writer ends.
termios savedTerminal;
volatile sig_atomic_t echoIsOff = 0;

void restoreEcho()
{
    if (echoIsOff)
        ::tcsetattr(0, TCSANOW, &savedTerminal);
    echoIsOff = 0;
}

void restoreEchoAndEnd(int signal)
{
    restoreEcho();
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// A pasted token is a secret: a terminal does not show it.
struct EchoOff {
    EchoOff()
    {
        if (!::isatty(0) || ::tcgetattr(0, &savedTerminal) != 0)
            return;
        termios quiet = savedTerminal;
        quiet.c_lflag &= ~tcflag_t{ECHO};
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
            ::signal(signal, restoreEchoAndEnd);
        echoIsOff = ::tcsetattr(0, TCSANOW, &quiet) == 0;
    }
    ~EchoOff() { restoreEcho(); }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;
};

// The token the person pastes: empty when none came in time, or the input ended first.
std::string awaitToken()
{
    std::printf("The page the browser ends on shows a token: copy it, paste it here and press "
                "Return\n(it is not shown; the address the browser ended on works too):\n");
    std::fflush(stdout);
    const EchoOff hidden;
    std::string line;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(signInWaitMilliseconds);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd entry{0, POLLIN, 0};
        if (left.count() <= 0 ||
            posix::retryOnInterrupt([&] { return ::poll(&entry, 1, int(left.count())); }) <= 0)
            return {};
        char c = 0;
        const ssize_t count = ::read(0, &c, 1);
        if (count > 0 && c != '\n') {
            if (line.size() <= 4 * maxWebAuthTokenSize) // an address carries more than the token
                line += c;
            continue;
        }
        if (echoIsOff)
            std::putchar('\n'); // for the Return the terminal did not show
        if (std::string token = webAuthTokenFrom(line); !token.empty())
            return token;
        if (count <= 0)
            return {};
        if (!line.empty())
            say(0, "that holds no web auth token: paste the token the page shows, or the whole "
                   "address");
        line.clear();
    }
}

} // namespace

int signIn(const std::string& container)
{
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
        return say(exitBadArguments,
                   "no web auth token came: nothing was signed in, and the stored token is as "
                   "it was");
    // Tried while it is in memory alone: a token the service refuses never replaces a working one.
    request.prepare("records/lookup", token, lookupRequestBody());
    const ServiceAnswer checked = request.answer(curl_easy_perform(request.handle()));
    const bool refused = checked.serverErrorCode.starts_with("AUTHENTICATION_");
    if (refused || (checked.kind == ServiceAnswer::Kind::failed && checked.serverErrorCode.empty()))
        return say(exitNotDone,
                   "nothing was signed in, and the stored token is as it was: " +
                       (refused ? "the service does not accept that token (" +
                                      checked.serverErrorCode + ")"
                                : "the token could not be checked: " + checked.failure));
    const std::string renewed = request.replacementToken();
    if (const auto failure = tokenFile.store(renewed.empty() ? token : renewed))
        return say(exitNotDone, failure->description);
    if (checked.kind == ServiceAnswer::Kind::failed)
        return say(exitNotDone,
                   "signed in, but the service refuses the command record: " + checked.failure);
    std::printf("signed in; the token is in %s\n", tokenPath(container)->c_str());
    return exitDone;
}

} // namespace drovix::writer
