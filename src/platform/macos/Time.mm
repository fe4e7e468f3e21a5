// Wall-clock dates from Foundation.
#include "Services.h"

#import <Foundation/Foundation.h>

#if !__has_feature(objc_arc)
#error "This file is built with automatic reference counting"
#endif

namespace drovix {

namespace {

class FoundationClock final : public Clock {
public:
    Instant now() const override
    {
        @autoreleasepool {
            return [NSDate date].timeIntervalSince1970;
        }
    }

    Instant distantPast() const override
    {
        @autoreleasepool {
            return [NSDate distantPast].timeIntervalSince1970;
        }
    }
};

} // namespace

std::unique_ptr<Clock> makeClock()
{
    return std::make_unique<FoundationClock>();
}

} // namespace drovix
