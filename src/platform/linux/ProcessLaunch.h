// Starting an application's executable as a process that is no child of the agent.
#pragma once

#ifndef __linux__
#error "This file is the Linux implementation"
#endif

#include <optional>
#include <string>

namespace drovix {

// Starts the program with no arguments and the agent's environment, in a session of its own,
// with standard input, output and error on /dev/null, "/" as its working folder, default signal
// handling, and no other descriptor of the agent's. Returns once the program runs (or failed to),
// with the reason for a failure.
std::optional<std::string> startDetachedProgram(const std::string& executablePath);

} // namespace drovix
