// Turning values into the text of the agent's log lines.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace drovix {

// Every message of the agent begins with this.
inline constexpr std::string_view logPrefix = "DrovixRescue: ";

// The message with every character that could break or forge a log line (C0 and C1 controls,
// DEL, U+2028, U+2029, bytes that are not UTF-8) replaced by a visible escape. All else,
// backslashes included, stays as it is.
std::string escapedForLog(std::string_view message);

// Seconds truncated toward zero and printed as a signed decimal integer; absent when the value
// is not finite or does not fit a signed 64-bit integer.
std::optional<std::string> wholeSecondsText(double seconds);

} // namespace drovix
