// Writing the cloud command record on Linux: arguments, record text, location and atomic write.
#include "CommandWriter.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace drovix::tools {

namespace {

std::string systemError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

// Reads exactly count decimal digits at the cursor.
std::optional<int> readDigits(std::string_view& text, size_t count)
{
    if (text.size() < count)
        return std::nullopt;
    int value = 0;
    for (size_t i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    text.remove_prefix(count);
    return value;
}

bool readChar(std::string_view& text, std::string_view accepted)
{
    if (text.empty() || accepted.find(text.front()) == std::string_view::npos)
        return false;
    text.remove_prefix(1);
    return true;
}

std::optional<std::int64_t> parseMilliseconds(std::string_view text)
{
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [next, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || next != end)
        return std::nullopt;
    return value;
}

// YYYY-MM-DDTHH:MM:SS[.fraction](Z|+HH:MM|-HH:MM); the fraction is kept to the millisecond.
std::optional<std::int64_t> parseIsoTime(std::string_view text)
{
    using namespace std::chrono;
    const auto year = readDigits(text, 4);
    if (!year || !readChar(text, "-"))
        return std::nullopt;
    const auto month = readDigits(text, 2);
    if (!month || !readChar(text, "-"))
        return std::nullopt;
    const auto day = readDigits(text, 2);
    if (!day || !readChar(text, "Tt "))
        return std::nullopt;
    const auto hour = readDigits(text, 2);
    if (!hour || !readChar(text, ":"))
        return std::nullopt;
    const auto minute = readDigits(text, 2);
    if (!minute || !readChar(text, ":"))
        return std::nullopt;
    const auto second = readDigits(text, 2);
    if (!second)
        return std::nullopt;
    int millisecond = 0;
    if (readChar(text, ".")) {
        int digits = 0;
        while (!text.empty() && text.front() >= '0' && text.front() <= '9') {
            if (digits++ < 3)
                millisecond = millisecond * 10 + (text.front() - '0');
            text.remove_prefix(1);
        }
        if (digits == 0)
            return std::nullopt;
        for (; digits < 3; ++digits)
            millisecond *= 10;
    }
    int offsetMinutes = 0;
    if (!readChar(text, "Zz")) {
        if (text.empty())
            return std::nullopt;
        const int sign = text.front() == '-' ? -1 : 1;
        if (!readChar(text, "+-"))
            return std::nullopt;
        const auto offsetHour = readDigits(text, 2);
        readChar(text, ":");
        const auto offsetMinute = readDigits(text, 2);
        if (!offsetHour || !offsetMinute || *offsetHour > 23 || *offsetMinute > 59)
            return std::nullopt;
        offsetMinutes = sign * (*offsetHour * 60 + *offsetMinute);
    }
    if (!text.empty() || *hour > 23 || *minute > 59 || *second > 59)
        return std::nullopt;
    const year_month_day date{std::chrono::year{*year}, std::chrono::month{unsigned(*month)},
                              std::chrono::day{unsigned(*day)}};
    if (!date.ok())
        return std::nullopt;
    const auto instant = sys_days{date} + hours{*hour} + minutes{*minute - offsetMinutes} +
                         seconds{*second} + milliseconds{millisecond};
    return duration_cast<milliseconds>(instant.time_since_epoch()).count();
}

// Ages beyond a few centuries are typing mistakes, and would overflow the milliseconds.
constexpr double largestAgeSeconds = 1e10;

std::optional<double> parseSeconds(std::string_view text)
{
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [next, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || next != end || !std::isfinite(value) ||
        std::fabs(value) > largestAgeSeconds)
        return std::nullopt;
    return value;
}

// Writes all of contents, retrying interrupted and partial writes.
bool writeAll(int fd, std::string_view contents)
{
    while (!contents.empty()) {
        const ssize_t written = ::write(fd, contents.data(), contents.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        contents.remove_prefix(size_t(written));
    }
    return true;
}

// Creates each missing folder of the path, private to the user like the rest of the store.
std::optional<std::string> makeFolders(const std::filesystem::path& folder)
{
    std::filesystem::path current;
    for (const auto& part : folder) {
        current /= part;
        if (::mkdir(current.c_str(), 0700) != 0 && errno != EEXIST)
            return systemError("can't create " + current.string());
    }
    return std::nullopt;
}

} // namespace

std::variant<CommandOptions, ArgumentError>
parseArguments(const std::vector<std::string>& arguments)
{
    CommandOptions options;
    bool kindGiven = false;
    bool optionsEnded = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (optionsEnded || argument.size() < 2 || argument.front() != '-') {
            if (kindGiven)
                return ArgumentError{"give one command kind only, not both \"" + options.kind +
                                     "\" and \"" + argument + "\""};
            options.kind = argument;
            kindGiven = true;
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        const size_t equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        if (name == "-h" || name == "--help") {
            options.help = true;
            continue;
        }
        if (name != "--nonce" && name != "--issued-at" && name != "--age" && name != "--container")
            return ArgumentError{"unknown option " + name};
        std::string value;
        if (equals != std::string::npos)
            value = argument.substr(equals + 1);
        else if (i + 1 < arguments.size())
            value = arguments[++i];
        else
            return ArgumentError{name + " needs a value"};

        if (name == "--nonce") {
            if (options.nonce)
                return ArgumentError{"--nonce is given twice"};
            options.nonce = value;
        } else if (name == "--issued-at") {
            if (options.issuedAtMilliseconds)
                return ArgumentError{"--issued-at is given twice"};
            options.issuedAtMilliseconds = parseIssuedAt(value);
            if (!options.issuedAtMilliseconds)
                return ArgumentError{"--issued-at takes milliseconds since the Unix epoch or an "
                                     "ISO 8601 time with a zone such as 2026-12-06T17:00:00Z, "
                                     "not \"" +
                                     value + "\""};
        } else if (name == "--age") {
            if (options.ageSeconds)
                return ArgumentError{"--age is given twice"};
            options.ageSeconds = parseSeconds(value);
            if (!options.ageSeconds)
                return ArgumentError{"--age takes a number of seconds, not \"" + value + "\""};
        } else {
            if (options.containerIdentifier)
                return ArgumentError{"--container is given twice"};
            if (!isUsableContainerIdentifier(value))
                return ArgumentError{"--container takes an identifier such as "
                                     "iCloud.com.example.App, not \"" +
                                     value + "\""};
            options.containerIdentifier = value;
        }
    }
    if (options.help)
        return options;
    if (!kindGiven)
        return ArgumentError{"no command kind given"};
    if (options.issuedAtMilliseconds && options.ageSeconds)
        return ArgumentError{"--issued-at and --age both set the issue time; give one of them"};
    return options;
}

std::optional<std::int64_t> parseIssuedAt(std::string_view text)
{
    if (const auto milliseconds = parseMilliseconds(text))
        return milliseconds;
    return parseIsoTime(text);
}

std::int64_t issuedAtFor(const CommandOptions& options, std::int64_t nowMilliseconds)
{
    if (options.issuedAtMilliseconds)
        return *options.issuedAtMilliseconds;
    if (options.ageSeconds)
        return nowMilliseconds - std::llround(*options.ageSeconds * 1000.0);
    return nowMilliseconds;
}

std::string randomNonce()
{
    std::random_device source;
    static constexpr char hexDigits[] = "0123456789abcdef";
    std::string nonce;
    for (int word = 0; word < 2; ++word) {
        std::uint32_t bits = source();
        for (int digit = 0; digit < 8; ++digit, bits >>= 4)
            nonce += hexDigits[bits & 0xF];
    }
    return nonce;
}

std::optional<std::string> commandRecordText(std::string_view kind, std::string_view nonce,
                                             std::int64_t issuedAtMilliseconds)
{
    // Field order as the other clients write it, so records are easy to compare by eye.
    const auto field = [](auto value, const char* type) {
        return nlohmann::ordered_json{{"value", value}, {"type", type}};
    };
    nlohmann::ordered_json fields;
    fields["kind"] = field(kind, "STRING");
    fields["nonce"] = field(nonce, "STRING");
    fields["issuedAt"] = field(issuedAtMilliseconds, "TIMESTAMP");
    nlohmann::ordered_json record;
    record["recordName"] = "command";
    record["recordType"] = "Command";
    record["fields"] = fields;
    try {
        return record.dump(2) + "\n";
    } catch (const nlohmann::json::type_error&) {
        return std::nullopt;
    }
}

std::variant<std::filesystem::path, std::string>
commandRecordPath(std::string_view containerIdentifier, const char* xdgDataHome, const char* home)
{
    // A relative XDG_DATA_HOME is invalid and ignored, as every XDG client does.
    std::filesystem::path dataHome;
    if (xdgDataHome && xdgDataHome[0] == '/')
        dataHome = xdgDataHome;
    else if (home && home[0] == '/')
        dataHome = std::filesystem::path(home) / ".local" / "share";
    else
        return std::string("neither XDG_DATA_HOME nor HOME names a folder for the record");
    return dataHome / "cloud" / containerIdentifier / "private" / "_defaultZone" / "command.json";
}

bool isUsableContainerIdentifier(std::string_view identifier)
{
    return !identifier.empty() && identifier != "." && identifier != ".." &&
           identifier.find('/') == std::string_view::npos &&
           identifier.find('\0') == std::string_view::npos;
}

std::optional<std::string> writeFileAtomically(const std::filesystem::path& path,
                                               std::string_view contents)
{
    const std::filesystem::path folder = path.parent_path();
    if (auto error = makeFolders(folder))
        return error;

    // Readers see the old record or the new one, never a part of it.
    std::string temporary = folder.string();
    temporary += "/.";
    temporary += path.filename().string();
    temporary += ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return systemError("can't create a temporary file in " + folder.string());
    std::optional<std::string> error;
    if (!writeAll(fd, contents))
        error = systemError("can't write " + temporary);
    else if (::fsync(fd) != 0)
        error = systemError("can't flush " + temporary);
    if (::close(fd) != 0 && !error)
        error = systemError("can't close " + temporary);
    if (!error && ::rename(temporary.c_str(), path.c_str()) != 0)
        error = systemError("can't move the record into place at " + path.string());
    if (error) {
        ::unlink(temporary.c_str());
        return error;
    }
    // Best effort: keep the rename itself across a power cut.
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
    return std::nullopt;
}

std::string usageText(std::string_view programName, std::string_view defaultContainer)
{
    std::string text;
    text += "Usage: ";
    text += programName;
    text += " [options] KIND\n"
            "\n"
            "Writes the command record that DrovixRescue reads, as another client of the cloud\n"
            "container would. KIND \"start\" or \"restart\" is for the agent; any other kind is\n"
            "a command for Drovix itself.\n"
            "\n"
            "Options:\n"
            "  --nonce TEXT       identifies the command (default: 16 random hex digits)\n"
            "  --issued-at TIME   issue time, as milliseconds since the Unix epoch or as ISO 8601\n"
            "                     with a zone, e.g. 2026-12-06T17:00:00Z (default: now)\n"
            "  --age SECONDS      issue time SECONDS before now; a negative age dates it ahead\n"
            "  --container ID     cloud container (default: ";
    text += defaultContainer;
    text += ")\n"
            "  -h, --help         shows this text\n"
            "\n"
            "The record goes to\n"
            "  ${XDG_DATA_HOME:-$HOME/.local/share}/cloud/ID/private/_defaultZone/command.json\n"
            "Exit status: 0 written, 1 not written, 2 bad arguments.\n";
    return text;
}

} // namespace drovix::tools
