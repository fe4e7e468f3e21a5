// drovix-command: sends a command to DrovixRescue by writing the command record, as the other
// clients of the cloud container do, and shows the command waiting there. Where the record is
// kept is the build's choice, the agent's own: the record file, or the container's private
// database through CloudKit's web services, which reach the agent on any machine, a Mac's among
// them. This file reads what the user asked for.
#include "CommandStatus.h"
#include "Identifiers.h"
#include "LogText.h"
#include "Manual.h"
#include "Writer.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <string_view>
#include <vector>

namespace drovix::writer {

namespace {

// Ages beyond a few centuries are typing mistakes, and would overflow the milliseconds.
constexpr double largestAgeSeconds = 1e10;
// Issue times from 1973 to 2286 have 12 or 13 digits in milliseconds: outside, they are seconds
// or microseconds by mistake.
constexpr std::int64_t earliestIssuedAt = 100'000'000'000, latestIssuedAt = 10'000'000'000'000;

const std::vector<std::string_view> words = {"start",  "restart", "send",
                                             "status", "sign-in", "help"};

// The help text comes from the manual, which the man page is also made from.
int help()
{
    const std::string container(commandContainerIdentifier);
    std::printf(manual::helpFormat, container.c_str());
    std::printf("\n%s", destinationText());
    return exitDone;
}

// Asks nothing of the service and reads no token: it only says what this build is.
int version()
{
    const std::string container(commandContainerIdentifier);
    std::printf("drovix-command %s\nthe record: %s\n", manual::version,
                recordPlace(container).c_str());
    return exitDone;
}

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

// Edits (insertions, deletions, substitutions, swaps of neighbours) that turn one word into
// the other.
std::size_t distance(std::string_view a, std::string_view b)
{
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i)
        for (std::size_t j = 0; j <= b.size(); ++j) {
            if (i == 0 || j == 0) {
                d[i][j] = i + j;
                continue;
            }
            d[i][j] = std::min(
                {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

int unknownWord(const std::string& word)
{
    const auto nearest = std::min_element(words.begin(), words.end(), [&](auto a, auto b) {
        return distance(word, a) < distance(word, b);
    });
    const std::string shown = escapedForLog(word);
    std::string reason = "unknown command \"" + shown + "\"";
    if (distance(word, *nearest) <= 2)
        reason += " (did you mean \"" + std::string(*nearest) + "\"?)";
    return say(exitBadArguments, reason +
                                     "; nothing was sent. A command for Drovix itself goes "
                                     "with: drovix-command send " +
                                     shown);
}

// Start or restart in another letter case: a slip, since an agent answers only these two.
std::optional<std::string> agentKindInOtherCase(std::string kind)
{
    std::transform(kind.begin(), kind.end(), kind.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return kind == "start" || kind == "restart" ? std::optional(kind) : std::nullopt;
}

} // namespace

Instant thisClock()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string randomNonce()
{
    std::random_device source;
    char digits[17];
    std::snprintf(digits, sizeof digits, "%08x%08x", unsigned{source()}, unsigned{source()});
    return digits;
}

std::string clockDifferenceText(double offset)
{
    return "this computer's clock is " +
           wholeSecondsText(std::round(std::fabs(offset))).value_or("countless") + " s " +
           (offset < 0 ? "ahead of" : "behind") + " the service's";
}

int say(int status, const std::string& reason)
{
    std::fprintf(stderr, "drovix-command: %s\n", escapedForLog(reason).c_str());
    return status;
}

} // namespace drovix::writer

int main(int argc, char** argv)
{
    using namespace drovix;
    using namespace drovix::writer;
    std::optional<std::string> nonce;
    std::string container{commandContainerIdentifier};
    std::optional<std::int64_t> issuedAt;
    std::optional<double> age;

    const option options[] = {{"nonce", required_argument, nullptr, 'n'},
                              {"issued-at", required_argument, nullptr, 'i'},
                              {"age", required_argument, nullptr, 'a'},
                              {"container", required_argument, nullptr, 'c'},
                              {"help", no_argument, nullptr, 'h'},
                              {"version", no_argument, nullptr, 'V'},
                              {nullptr, 0, nullptr, 0}};
    for (int option; (option = ::getopt_long(argc, argv, "h", options, nullptr)) != -1;) {
        const std::string value = optarg ? optarg : "";
        switch (option) {
        case 'n':
            nonce = value;
            break;
        case 'i':
            issuedAt = integerFrom(value);
            if (!issuedAt || *issuedAt < earliestIssuedAt || *issuedAt >= latestIssuedAt)
                return say(exitBadArguments,
                           "--issued-at takes milliseconds since the Unix epoch (13 digits this "
                           "century), not \"" +
                               value + "\"");
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
            return help();
        case 'V':
            return version();
        default: // getopt_long has said what is wrong.
            return exitBadArguments;
        }
    }
    const std::vector<std::string> arguments(argv + optind, argv + argc);
    if (arguments.empty())
        return say(exitBadArguments, "no command given (see --help)");
    const std::string& word = arguments[0];
    if (std::find(words.begin(), words.end(), word) == words.end())
        return unknownWord(word);
    if (word == "help")
        return help();
    const bool sends = word != "status" && word != "sign-in";
    if (arguments.size() != (word == "send" ? 2u : 1u))
        return say(exitBadArguments, word == "send" ? "send takes one kind (see --help)"
                                                    : word + " takes no more words (see --help)");
    if (!sends && (nonce || issuedAt || age))
        return say(exitBadArguments, "--nonce, --issued-at and --age are for start, restart and "
                                     "send");
    if (issuedAt && age)
        return say(exitBadArguments,
                   "--issued-at and --age both set the issue time; give one of them");
    if (const auto meant = word == "send" ? agentKindInOtherCase(arguments[1]) : std::nullopt;
        meant && *meant != arguments[1])
        return say(exitBadArguments, "\"" + arguments[1] + "\" is not \"" + *meant +
                                         "\": DrovixRescue answers only lowercase start and "
                                         "restart; nothing was sent (drovix-command " +
                                         *meant + ")");

    using namespace std::chrono;
    const auto now = system_clock::now().time_since_epoch();
    if (word == "status") {
        const Reading reading = read(container);
        if (reading.failure)
            return say(*reading.failure == signInRequired ? exitBadArguments : exitNotDone,
                       "can't read the command record: " + *reading.failure);
        // Ages as a Mac counts them, on a clock that keeps to the service's.
        const double offset = reading.clockOffset.value_or(0);
        if (std::fabs(offset) > clockDifferenceShown)
            say(0, clockDifferenceText(offset) + ": ages are counted on the service's clock");
        std::fputs(
            describeCommand(reading.record, duration<double>(now).count() +
                                                (std::fabs(offset) > clockTolerance ? offset : 0))
                .c_str(),
            stdout);
        return exitDone;
    }
    if (word == "sign-in")
        return signIn(container);
    const std::int64_t nowMilliseconds = duration_cast<milliseconds>(now).count();
    return send(container,
                {word == "send" ? arguments[1] : word, nonce,
                 issuedAt ? *issuedAt : nowMilliseconds - std::llround(age.value_or(0) * 1000),
                 !issuedAt});
}
