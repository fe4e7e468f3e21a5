// Finding, listing and opening application bundles on Linux.
#include "platform/linux/AppWorkspace.h"
#include "platform/linux/Services.h"

#include "platform/PathText.h"
#include "platform/linux/BundlePaths.h"
#include "platform/linux/ProcessLaunch.h"
#include "platform/linux/ProcessTable.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <vector>

namespace drovix {

namespace {

// The entries named "*.app" in a folder, by name.
std::vector<std::string> applicationNames(const std::string& folder)
{
    const posix::Directory directory(::opendir(folder.c_str()));
    if (!directory)
        return {};
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(directory.get())) {
        const std::string_view name = entry->d_name;
        if (name.size() > 4 && name.ends_with(".app"))
            names.emplace_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> applicationFolders()
{
    std::vector<std::string> folders{"/Applications"};
    if (const char* home = ::getenv("HOME"); home && *home) {
        std::string_view base = home;
        while (base.ends_with('/'))
            base.remove_suffix(1);
        // A home of "/" has no folder of its own to look in first.
        if (!base.empty())
            folders.insert(folders.begin(), std::string(base) + "/Applications");
    }
    return folders;
}

std::string canonicalPath(const std::string& path)
{
    const std::unique_ptr<char, decltype(&::free)> resolved(::realpath(path.c_str(), nullptr),
                                                            &::free);
    return resolved ? std::string(resolved.get()) : path;
}

// Only one open at a time decides whether the bundle runs and starts it, so that two opens at
// once start one instance.
std::mutex launchMutex;

} // namespace

std::optional<std::string> openBundle(BundleInfoCache& cache, const std::string& bundlePath)
{
    struct stat status {};
    if (::stat(bundlePath.c_str(), &status) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return bundlePath + " doesn't exist";
        return posix::systemFailure(bundlePath).description;
    }
    if (!S_ISDIR(status.st_mode))
        return bundlePath + " is no application bundle";

    const posix::Result<BundleInfo> info = cache.infoForBundle(bundlePath);
    if (!info)
        return bundlePath + " has no readable Contents/Info.plist: " + info.error();
    if (!info->executable || !isPlainFileName(*info->executable))
        return bundlePath + " has no usable CFBundleExecutable in Contents/Info.plist";
    const std::string relativeExecutable = "Contents/MacOS/" + *info->executable;
    const std::string executable = bundlePath + "/" + relativeExecutable;
    if (::stat(executable.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
        return bundlePath + " has no executable " + relativeExecutable;

    std::lock_guard lock(launchMutex);
    const std::string bundle = canonicalPath(bundlePath);
    if (!bundleProcesses([&](const std::string& running) { return running == bundle; }).empty())
        return std::nullopt;
    return startDetachedProgram(executable);
}

LinuxWorkspace::LinuxWorkspace() : cache_(std::make_shared<BundleInfoCache>()) {}

std::vector<std::unique_ptr<RunningApplication>>
LinuxWorkspace::runningApplications(std::string_view bundleIdentifier)
{
    auto processes = bundleProcesses([&](const std::string& bundle) {
        const posix::Result<BundleInfo> info = cache_->infoForBundle(bundle);
        return info && info->identifier == bundleIdentifier;
    });
    return {std::make_move_iterator(processes.begin()), std::make_move_iterator(processes.end())};
}

std::optional<AppUrl> LinuxWorkspace::urlForApplication(std::string_view bundleIdentifier)
{
    for (const std::string& folder : applicationFolders()) {
        for (const std::string& name : applicationNames(folder)) {
            const std::string bundle = folder + "/" + name;
            const posix::Result<BundleInfo> info = cache_->infoForBundle(bundle);
            if (info && info->identifier == bundleIdentifier)
                return AppUrl{bundle};
        }
    }
    return std::nullopt;
}

void LinuxWorkspace::openApplication(const AppUrl& url, const OpenConfiguration&,
                                     OpenCompletion completion)
{
    // Bringing to the front has no meaning for the processes started here.
    posix::runOnShortLivedThread(
        [cache = cache_, path = url.path, completion = std::move(completion)] {
            std::optional<std::string> error = openBundle(*cache, path);
            completion(std::move(error));
        });
}

AppUrl LinuxWorkspace::ownBundleUrl()
{
    const posix::Result<std::string> executable = posix::readLink("/proc/self/exe");
    if (!executable)
        return AppUrl{};
    return AppUrl{bundleOrFolderOfExecutable(*executable)};
}

AppUrl LinuxWorkspace::deletingLastPathComponent(const AppUrl& url)
{
    return AppUrl{drovix::deletingLastPathComponent(url.path)};
}

bool LinuxWorkspace::fileExists(const std::string& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

std::unique_ptr<AppWorkspace> makeAppWorkspace()
{
    return std::make_unique<LinuxWorkspace>();
}

} // namespace drovix
