// The wall clock of a Linux process.
#pragma once

#ifndef __linux__
#error "This file is the Linux implementation"
#endif

#include "platform/Time.h"

namespace drovix {

class SystemClock final : public Clock {
public:
    // The first instant of year 1, as Foundation's distant past.
    static constexpr Instant distantPastInstant = -62'135'596'800.0;

    // CLOCK_REALTIME as seconds since the Unix epoch.
    Instant now() const override;
    Instant distantPast() const override { return distantPastInstant; }
};

} // namespace drovix
