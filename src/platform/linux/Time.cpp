// The wall clock of a Linux process.
#include "platform/linux/Time.h"
#include "platform/linux/Services.h"

#include <time.h>

namespace drovix {

Instant SystemClock::now() const
{
    timespec time{};
    ::clock_gettime(CLOCK_REALTIME, &time);
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

std::unique_ptr<Clock> makeClock()
{
    return std::make_unique<SystemClock>();
}

} // namespace drovix
