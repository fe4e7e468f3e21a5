// Text equality as the agent compares command kinds, nonces and reasons.
#pragma once

#include <string_view>

namespace drovix {

// True when the two UTF-8 texts are canonically equivalent Unicode strings ("é" precomposed
// equals "e" followed by a combining acute accent). Texts that are not valid UTF-8 are equal
// only when their bytes are.
bool textsEqual(std::string_view a, std::string_view b);

} // namespace drovix
