// drovix-command: writes the command record for the agent to find, standing in for the other
// software that shares the cloud container. The record's place and text are the agent's own.
#include "Identifiers.h"
#include "platform/linux/CommandRecordStore.h"
#include "platform/linux/Posix.h"

#include <fcntl.h>
#include <getopt.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Ages beyond a few centuries are typing mistakes, and would overflow the milliseconds.
constexpr double largestAgeSeconds = 1e10;

const char* const usage =
    "Usage: drovix-command [--nonce TEXT] [--issued-at MILLISECONDS] [--age SECONDS]\n"
    "                      [--container ID] KIND\n"
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
    "The record goes to\n"
    "  ${XDG_DATA_HOME:-$HOME/.local/share}/cloud/ID/private/_defaultZone/command.json\n"
    "Bytes of KIND or TEXT that are not UTF-8 are written as U+FFFD.\n"
    "Exit status: 0 written, 1 not written, 2 bad arguments.\n";

// The whole text as a number, or nothing.
template <typename Number> std::optional<Number> numberFrom(std::string_view text)
{
    Number value{};
    const char* end = text.data() + text.size();
    const auto [next, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || next != end)
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

// Replaces the file in one step, so that the agent reads the old record or the new one, never a
// part: a temporary file in the same folder, flushed, then renamed. Missing folders are made
// private to the user, like the rest of the store.
std::optional<posix::Failure> replaceFile(const std::string& path, std::string_view contents)
{
    const std::string folder = path.substr(0, path.rfind('/'));
    for (std::size_t slash = 1; slash <= folder.size(); ++slash) {
        slash = std::min(folder.find('/', slash), folder.size());
        const std::string parent = folder.substr(0, slash);
        if (::mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST)
            return posix::systemFailure("can't create " + parent);
    }
    std::string temporary = folder + "/.command.json.XXXXXX";
    const posix::FileDescriptor file(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!file.valid())
        return posix::systemFailure("can't create a temporary file in " + folder);
    std::optional<posix::Failure> failure = posix::writeAll(file.get(), contents);
    if (failure)
        failure->description = "can't write " + temporary + ": " + failure->description;
    if (!failure && ::fsync(file.get()) != 0)
        failure = posix::systemFailure("can't flush " + temporary);
    if (!failure && ::rename(temporary.c_str(), path.c_str()) != 0)
        failure = posix::systemFailure("can't move the record into place at " + path);
    if (failure)
        ::unlink(temporary.c_str());
    return failure;
}

int refuse(const std::string& reason)
{
    std::fprintf(stderr, "drovix-command: %s\n", reason.c_str());
    return exitBadArguments;
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
            if (!(issuedAt = numberFrom<std::int64_t>(value)))
                return refuse("--issued-at takes milliseconds since the Unix epoch, not \"" +
                              value + "\"");
            break;
        case 'a':
            age = numberFrom<double>(value);
            if (!age || !std::isfinite(*age) || std::fabs(*age) > largestAgeSeconds)
                return refuse("--age takes a number of seconds, not \"" + value + "\"");
            break;
        case 'c':
            if (value.empty() || value == "." || value == ".." || value.find('/') != value.npos)
                return refuse("--container takes one folder name, such as iCloud.com.example.App, "
                              "not \"" +
                              value + "\"");
            container = value;
            break;
        case 'h':
            std::printf(usage, static_cast<int>(commandContainerIdentifier.size()),
                        commandContainerIdentifier.data());
            return exitWritten;
        default: // getopt_long has said what is wrong.
            return exitBadArguments;
        }
    }
    if (argc - optind != 1)
        return refuse(argc == optind ? "no command kind given (see --help)"
                                     : "give one command kind only (see --help)");
    if (issuedAt && age)
        return refuse("--issued-at and --age both set the issue time; give one of them");

    using namespace std::chrono;
    const std::int64_t now =
        duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    const std::string text = commandRecordText(
        argv[optind], nonce, issuedAt ? *issuedAt : now - std::llround(age.value_or(0) * 1000));

    const posix::Result<std::string> path =
        commandRecordPath(container, ::getenv("XDG_DATA_HOME"), ::getenv("HOME"));
    std::optional<posix::Failure> failure =
        path ? replaceFile(*path, text) : std::optional(path.failure());
    if (failure) {
        std::fprintf(stderr, "drovix-command: %s\n", failure->description.c_str());
        return exitNotWritten;
    }
    std::printf("wrote %s\n%s", path->c_str(), text.c_str());
    return exitWritten;
}
