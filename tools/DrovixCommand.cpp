// drovix-command: writes the command record for the agent to find, standing in for the other
// software that shares the cloud container.
#include "CommandWriter.h"
#include "Identifiers.h"

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr int exitWritten = 0;
constexpr int exitNotWritten = 1;
constexpr int exitBadArguments = 2;

} // namespace

int main(int argc, char** argv)
{
    using namespace drovix::tools;
    const std::string programName =
        argc > 0 ? std::filesystem::path(argv[0]).filename().string() : "drovix-command";
    const std::string defaultContainer{drovix::commandContainerIdentifier};
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);

    const auto parsed = parseArguments(arguments);
    if (const auto* error = std::get_if<ArgumentError>(&parsed)) {
        std::cerr << programName << ": " << error->message << "\n\n"
                  << usageText(programName, defaultContainer);
        return exitBadArguments;
    }
    const auto& options = std::get<CommandOptions>(parsed);
    if (options.help) {
        std::cout << usageText(programName, defaultContainer);
        return exitWritten;
    }

    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    const std::string nonce = options.nonce ? *options.nonce : randomNonce();
    const auto text = commandRecordText(options.kind, nonce, issuedAtFor(options, now));
    if (!text) {
        std::cerr << programName << ": the kind and the nonce must be UTF-8 text\n";
        return exitBadArguments;
    }

    const auto path = commandRecordPath(options.containerIdentifier.value_or(defaultContainer),
                                        std::getenv("XDG_DATA_HOME"), std::getenv("HOME"));
    if (const auto* error = std::get_if<std::string>(&path)) {
        std::cerr << programName << ": " << *error << "\n";
        return exitNotWritten;
    }
    const auto& recordPath = std::get<std::filesystem::path>(path);
    if (const auto error = writeFileAtomically(recordPath, *text)) {
        std::cerr << programName << ": " << *error << "\n";
        return exitNotWritten;
    }
    std::cout << "wrote " << recordPath.string() << "\n" << *text;
    return exitWritten;
}
