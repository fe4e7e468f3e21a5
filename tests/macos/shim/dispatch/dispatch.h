// The part of Grand Central Dispatch the agent uses, declared as Apple's SDK declares it for
// Objective-C with ARC (queues are objects). Only the compile check on Linux sees this file.
#pragma once

#import <Foundation/NSObject.h>

#include <stdint.h>

#define DISPATCH_TIME_NOW (0ull)
#define NSEC_PER_SEC 1000000000ull

#pragma clang assume_nonnull begin

typedef uint64_t dispatch_time_t;
typedef void (^dispatch_block_t)(void);
@protocol OS_dispatch_queue <NSObject>
@end
@protocol OS_dispatch_queue_main <OS_dispatch_queue>
@end
typedef NSObject<OS_dispatch_queue>* dispatch_queue_t;
typedef NSObject<OS_dispatch_queue_main>* dispatch_queue_main_t;

extern "C" {
dispatch_queue_main_t dispatch_get_main_queue(void);
void dispatch_async(dispatch_queue_t queue, dispatch_block_t block);
void dispatch_after(dispatch_time_t when, dispatch_queue_t queue, dispatch_block_t block);
__attribute__((warn_unused_result)) dispatch_time_t dispatch_time(dispatch_time_t, int64_t delta);
__attribute__((warn_unused_result)) dispatch_time_t
dispatch_walltime(const struct timespec* _Nullable when, int64_t delta);
}

#pragma clang assume_nonnull end
