// AppKit as GNUstep declares it, plus the parts the agent uses that only Apple's AppKit has,
// declared as Apple documents them. Only the compile check on Linux sees this file.
#pragma once

#include_next <AppKit/AppKit.h>

#pragma clang assume_nonnull begin

@interface NSApplication (AppleActivationPolicy)
- (BOOL)setActivationPolicy:(NSApplicationActivationPolicy)activationPolicy;
@end

@interface NSWorkspaceOpenConfiguration : NSObject <NSCopying>
+ (instancetype)configuration;
@property BOOL activates;
@end

@interface NSWorkspace (AppleApplicationOpening)
- (nullable NSURL*)URLForApplicationWithBundleIdentifier:(NSString*)bundleIdentifier;
- (void)openApplicationAtURL:(NSURL*)applicationURL
               configuration:(NSWorkspaceOpenConfiguration*)configuration
           completionHandler:(void (^_Nullable)(NSRunningApplication* _Nullable app,
                                                NSError* _Nullable error))completionHandler;
@end

#pragma clang assume_nonnull end
