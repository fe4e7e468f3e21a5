// Writing the cloud command record on Linux, as the other clients of the container do.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace drovix::tools {

// What the command line asked for. The issue time is given at most one way.
struct CommandOptions {
    std::string kind;
    std::optional<std::string> nonce;
    std::optional<std::int64_t> issuedAtMilliseconds;
    std::optional<double> ageSeconds;
    std::optional<std::string> containerIdentifier;
    bool help = false;
};

// Why the command line was refused, in words fit for the user.
struct ArgumentError {
    std::string message;
};

// Reads the arguments that follow the program name.
std::variant<CommandOptions, ArgumentError>
parseArguments(const std::vector<std::string>& arguments);

// Milliseconds since the Unix epoch, given either as that number or as an ISO 8601 date and time
// with a zone ("2026-12-06T17:00:00Z", "2026-12-06T18:00:00.250+01:00").
std::optional<std::int64_t> parseIssuedAt(std::string_view text);

// The issue time the options ask for, given the current time.
std::int64_t issuedAtFor(const CommandOptions& options, std::int64_t nowMilliseconds);

// Sixteen hex digits from the system's random source.
std::string randomNonce();

// The record as the cloud store of this machine keeps it, as JSON text ending in a line break.
// Absent when kind or nonce is not valid UTF-8.
std::optional<std::string> commandRecordText(std::string_view kind, std::string_view nonce,
                                             std::int64_t issuedAtMilliseconds);

// Where the record of the container lies under the user's data folder, or an error text when
// neither XDG_DATA_HOME nor HOME names a usable folder.
std::variant<std::filesystem::path, std::string>
commandRecordPath(std::string_view containerIdentifier, const char* xdgDataHome, const char* home);

// True when the identifier can name one folder.
bool isUsableContainerIdentifier(std::string_view identifier);

// Replaces the file with contents in one step (temporary file in the same folder, then rename),
// creating missing folders. Returns an error text on failure.
std::optional<std::string> writeFileAtomically(const std::filesystem::path& path,
                                               std::string_view contents);

// The help text of the tool.
std::string usageText(std::string_view programName, std::string_view defaultContainer);

} // namespace drovix::tools
