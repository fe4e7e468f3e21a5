// The Security calls the agent uses, as Apple declares them, with the CoreFoundation types and
// Foundation's CFBridgingRelease they need, which GNUstep lacks. Only the Linux check sees this.
#pragma once

#import <Foundation/Foundation.h>

#pragma clang assume_nonnull begin

typedef const __attribute__((objc_bridge(id))) void* CFTypeRef;
typedef const struct __attribute__((objc_bridge(NSString))) __CFString* CFStringRef;
typedef const struct __CFAllocator* CFAllocatorRef;
typedef struct __attribute__((objc_bridge(NSError))) __CFError* CFErrorRef;
typedef struct __attribute__((objc_bridge(id))) __SecTask* SecTaskRef;

inline id _Nullable CFBridgingRelease(CFTypeRef __attribute__((cf_consumed)) _Nullable object)
{
    return (__bridge_transfer id)object;
}

#pragma clang arc_cf_code_audited begin
extern "C" SecTaskRef _Nullable SecTaskCreateFromSelf(CFAllocatorRef _Nullable allocator);
extern "C" CFTypeRef _Nullable SecTaskCopyValueForEntitlement(
    SecTaskRef task, CFStringRef entitlement, CFErrorRef _Nullable* _Nullable error);
#pragma clang arc_cf_code_audited end

#pragma clang assume_nonnull end
