// The workspace of a Linux process: application bundles found on disk and in /proc.
#pragma once

#ifndef __linux__
#error "This file is the Linux implementation"
#endif

#include "platform/AppWorkspace.h"
#include "platform/linux/BundleInfo.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace drovix {

// Why a bundle cannot be opened, or absent once it runs: already, or started now. Waits for the
// exec of a new process, so it is called off the main thread.
std::optional<std::string> openBundle(BundleInfoCache& cache, const std::string& bundlePath);

class LinuxWorkspace final : public AppWorkspace {
public:
    LinuxWorkspace();

    // Processes of this user running from a bundle whose Info.plist has the identifier.
    std::vector<std::unique_ptr<RunningApplication>>
    runningApplications(std::string_view bundleIdentifier) override;

    // The first bundle, by name, in $HOME/Applications and then /Applications with the identifier.
    std::optional<AppUrl> urlForApplication(std::string_view bundleIdentifier) override;

    // Opens on a short-lived thread, which also runs the completion.
    void openApplication(const AppUrl& url, const OpenConfiguration& configuration,
                         OpenCompletion completion) override;

    // From /proc/self/exe: the bundle around the executable, or its folder.
    AppUrl ownBundleUrl() override;

    AppUrl deletingLastPathComponent(const AppUrl& url) override;
    bool fileExists(const std::string& path) override;

private:
    // Shared with the open threads, which may outlive a call.
    std::shared_ptr<BundleInfoCache> cache_;
};

} // namespace drovix
