// AppKit as GNUstep declares it, plus what only Apple's AppKit has, as Apple documents it. The
// NSWorkspace calls deprecated since macOS 11 are declared deprecated, GNUstep's undeprecated
// declarations of them renamed out of the way. Only the compile check on Linux sees this file.
#pragma once

#define absolutePathForAppBundleWithIdentifier gnustepAbsolutePathForAppBundleWithIdentifier
#define launchAppWithBundleIdentifier gnustepLaunchAppWithBundleIdentifier
#define launchApplication gnustepLaunchApplication
#include_next <AppKit/AppKit.h>
#undef absolutePathForAppBundleWithIdentifier
#undef launchAppWithBundleIdentifier
#undef launchApplication

#pragma clang assume_nonnull begin

@interface NSApplication (AppleActivationPolicy)
- (BOOL)setActivationPolicy:(NSApplicationActivationPolicy)activationPolicy;
@end

@interface NSWorkspaceOpenConfiguration : NSObject <NSCopying>
+ (instancetype)configuration;
@property BOOL activates;
@end

#define DROVIX_SINCE_11 __attribute__((deprecated("deprecated since macOS 11")))
@interface NSWorkspace (AppleApplicationOpening)
- (nullable NSURL*)URLForApplicationWithBundleIdentifier:(NSString*)bundleIdentifier;
- (void)openApplicationAtURL:(NSURL*)applicationURL
               configuration:(NSWorkspaceOpenConfiguration*)configuration
           completionHandler:(void (^_Nullable)(NSRunningApplication* _Nullable app,
                                                NSError* _Nullable error))completionHandler;
- (nullable NSString*)absolutePathForAppBundleWithIdentifier:(NSString*)identifier DROVIX_SINCE_11;
- (BOOL)launchApplication:(NSString*)appName DROVIX_SINCE_11;
- (BOOL)launchAppWithBundleIdentifier:(NSString*)identifier
                              options:(NSWorkspaceLaunchOptions)options
       additionalEventParamDescriptor:(nullable NSAppleEventDescriptor*)descriptor
                     launchIdentifier:(NSNumber* _Nullable* _Nullable)launch DROVIX_SINCE_11;
- (nullable NSRunningApplication*)launchApplicationAtURL:(NSURL*)url
                                                 options:(NSWorkspaceLaunchOptions)options
                                           configuration:(NSDictionary<NSString*, id>*)settings
                                                   error:(NSError**)error DROVIX_SINCE_11;
@end

#pragma clang assume_nonnull end
