// A stand-in for the main application on a Mac: a minimal Cocoa application that the checks of
// the agent open, ask to quit and force, as LaunchServices runs them (tests/macos).
//
// Whoever opens it passes no arguments, so what it does is read from its own bundle, the word in
// Contents/Resources/behaviour, at each request to quit:
//   stubborn   refuse, so that only a forced quit ends it
//   (other)    quit
// It ends by itself ten minutes after it started, so that no instance outlives a check that
// failed to clean up.
#import <AppKit/AppKit.h>

#include <unistd.h>

#if !__has_feature(objc_arc)
#error "This file is built with automatic reference counting"
#endif

@interface SampleDrovix : NSObject <NSApplicationDelegate>
@end

@implementation SampleDrovix

- (void)applicationDidFinishLaunching:(NSNotification*)notification
{
    NSLog(@"Drovix: running as pid %d", getpid());
    dispatch_after(dispatch_time(DISPATCH_TIME_NOW, 600 * static_cast<int64_t>(NSEC_PER_SEC)),
                   dispatch_get_main_queue(), ^{
                     NSLog(@"Drovix: pid %d has run for ten minutes, quitting", getpid());
                     exit(0);
                   });
}

- (NSApplicationTerminateReply)applicationShouldTerminate:(NSApplication*)sender
{
    NSString* behaviour =
        [NSString stringWithContentsOfFile:[NSBundle.mainBundle.resourcePath
                                               stringByAppendingPathComponent:@"behaviour"]
                                  encoding:NSUTF8StringEncoding
                                     error:nil];
    const BOOL stubborn = [behaviour hasPrefix:@"stubborn"];
    NSLog(@"Drovix: pid %d asked to quit, %@", getpid(), stubborn ? @"refusing" : @"quitting");
    return stubborn ? NSTerminateCancel : NSTerminateNow;
}

@end

int main()
{
    @autoreleasepool {
        SampleDrovix* sample = [[SampleDrovix alloc] init];
        NSApplication.sharedApplication.delegate = sample;
        [NSApp run];
    }
    return 0;
}
