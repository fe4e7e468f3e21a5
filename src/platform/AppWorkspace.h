// How the agent sees, launches and stops applications.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace drovix {

// A file URL of an application bundle or any other file, held as its path text.
struct AppUrl {
    std::string path;
    friend bool operator==(const AppUrl&, const AppUrl&) = default;
};

// One running instance of an application. Handles are not kept between operations.
class RunningApplication {
public:
    virtual ~RunningApplication() = default;

    // Asks the instance to quit; a request only, never waited for.
    virtual void terminate() = 0;

    // Forces the instance to quit; never waited for.
    virtual void forceTerminate() = 0;
};

struct OpenConfiguration {
    bool activates = true;
};

// Called once, on a thread of the platform's choosing, with no error when the application was
// opened and the platform's description of the failure otherwise.
using OpenCompletion = std::function<void(std::optional<std::string> error)>;

class AppWorkspace {
public:
    virtual ~AppWorkspace() = default;

    // The running instances of the application, freshly listed, in the platform's order.
    virtual std::vector<std::unique_ptr<RunningApplication>>
    runningApplications(std::string_view bundleIdentifier) = 0;

    // The installed application with this bundle identifier, if the platform knows one.
    virtual std::optional<AppUrl> urlForApplication(std::string_view bundleIdentifier) = 0;

    // Starts opening the application and returns at once; completion reports the outcome later.
    virtual void openApplication(const AppUrl& url, const OpenConfiguration& configuration,
                                 OpenCompletion completion) = 0;

    // The bundle directory of the agent itself.
    virtual AppUrl ownBundleUrl() = 0;

    // The URL with its last path component removed.
    virtual AppUrl deletingLastPathComponent(const AppUrl& url) = 0;

    // True when a file or directory exists at the path.
    virtual bool fileExists(const std::string& path) = 0;
};

} // namespace drovix
