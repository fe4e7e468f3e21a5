// Where the agent's one-line messages go.
#pragma once

#include <string_view>

namespace drovix {

class LogSink {
public:
    virtual ~LogSink() = default;

    // Emits one message, literally. May be called from any thread; the caller has already made
    // sure the text holds no line break or other control character.
    virtual void log(std::string_view message) = 0;
};

} // namespace drovix
