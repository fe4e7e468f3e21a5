// Running applications, launching and the file system, through AppKit and Foundation.
#include "Services.h"

#import "FoundationText.h"
#import <AppKit/AppKit.h>

#include <utility>

#if !__has_feature(objc_arc)
#error "This file is built with automatic reference counting"
#endif

namespace drovix {

namespace {

class WorkspaceRunningApplication final : public RunningApplication {
public:
    explicit WorkspaceRunningApplication(NSRunningApplication* application)
        : application_(application)
    {
    }

    // Both return whether the request went out; the watcher only asks and looks again later.
    void terminate() override { [application_ terminate]; }
    void forceTerminate() override { [application_ forceTerminate]; }

private:
    NSRunningApplication* application_;
};

// The path text of a file URL, or the empty text when it has none.
AppUrl appUrl(NSURL* url)
{
    return AppUrl{utf8Text(url.path)};
}

class SharedWorkspace final : public AppWorkspace {
public:
    std::vector<std::unique_ptr<RunningApplication>>
    runningApplications(std::string_view bundleIdentifier) override
    {
        std::vector<std::unique_ptr<RunningApplication>> instances;
        @autoreleasepool {
            NSString* identifier = foundationString(bundleIdentifier);
            if (identifier == nil)
                return instances;
            for (NSRunningApplication* application in
                 [NSRunningApplication runningApplicationsWithBundleIdentifier:identifier])
                instances.push_back(std::make_unique<WorkspaceRunningApplication>(application));
        }
        return instances;
    }

    std::optional<AppUrl> urlForApplication(std::string_view bundleIdentifier) override
    {
        @autoreleasepool {
            NSString* identifier = foundationString(bundleIdentifier);
            if (identifier == nil)
                return std::nullopt;
            NSURL* url =
                [[NSWorkspace sharedWorkspace] URLForApplicationWithBundleIdentifier:identifier];
            if (url == nil || url.path.length == 0)
                return std::nullopt;
            return appUrl(url);
        }
    }

    void openApplication(const AppUrl& url, const OpenConfiguration& configuration,
                         OpenCompletion completion) override
    {
        @autoreleasepool {
            NSString* path = foundationString(url.path);
            if (path == nil || path.length == 0) {
                completion("no application at the path \"" + url.path + "\"");
                return;
            }
            NSWorkspaceOpenConfiguration* options = [NSWorkspaceOpenConfiguration configuration];
            options.activates = configuration.activates ? YES : NO;
            // AppKit calls back on a concurrent queue of its own.
            [[NSWorkspace sharedWorkspace]
                openApplicationAtURL:[NSURL fileURLWithPath:path isDirectory:YES]
                       configuration:options
                   completionHandler:^(NSRunningApplication*, NSError* error) {
                     if (error != nil)
                         completion(errorText(error));
                     else
                         completion(std::nullopt);
                   }];
        }
    }

    AppUrl ownBundleUrl() override
    {
        @autoreleasepool {
            return appUrl([NSBundle mainBundle].bundleURL);
        }
    }

    AppUrl deletingLastPathComponent(const AppUrl& url) override
    {
        @autoreleasepool {
            NSString* path = foundationString(url.path);
            // An empty path names no file; Foundation would read it as the working directory.
            if (path == nil || path.length == 0)
                return url;
            // Every path the agent shortens names a directory; saying so spares a disk access.
            NSURL* fileUrl = [NSURL fileURLWithPath:path isDirectory:YES];
            return appUrl(fileUrl.URLByDeletingLastPathComponent);
        }
    }

    bool fileExists(const std::string& path) override
    {
        @autoreleasepool {
            NSString* text = foundationString(path);
            return text != nil && [[NSFileManager defaultManager] fileExistsAtPath:text];
        }
    }
};

} // namespace

std::unique_ptr<AppWorkspace> makeAppWorkspace()
{
    return std::make_unique<SharedWorkspace>();
}

} // namespace drovix
