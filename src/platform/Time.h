// Wall-clock instants as the agent reasons about them.
#pragma once

namespace drovix {

// Seconds of wall-clock time. Differences of instants are elapsed seconds.
using Instant = double;

// The wall clock. Every gate of the agent reads it afresh.
class Clock {
public:
    virtual ~Clock() = default;

    // The current wall-clock date.
    virtual Instant now() const = 0;

    // A date far earlier than any real one; it stands for "never".
    virtual Instant distantPast() const = 0;
};

} // namespace drovix
