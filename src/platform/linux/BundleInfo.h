// What a bundle's Contents/Info.plist says about it, read with libplist, and a cache of it.
#pragma once

#ifndef __linux__
#error "This file is the Linux implementation"
#endif

#include "platform/posix/Posix.h"

#include <cstddef>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unordered_map>

namespace drovix {

// The two keys of an Info.plist the agent reads. A key that is missing or holds no string is
// absent.
struct BundleInfo {
    std::optional<std::string> identifier; // CFBundleIdentifier
    std::optional<std::string> executable; // CFBundleExecutable
};

// Larger Info.plists are refused unread.
inline constexpr std::size_t maxInfoPlistSize = 1024 * 1024;

// Reads an Info.plist, XML or binary. The failure says in a few words what is wrong with it
// ("not a property list").
posix::Result<BundleInfo> parseBundleInfo(std::string_view bytes);

// The Info.plists of bundles, each read again only when its file changed (another path,
// device, inode, size or modification time). Safe from any thread.
class BundleInfoCache {
public:
    // What B/Contents/Info.plist says. The failure says what is wrong with it, without the path
    // ("No such file or directory", "not a property list").
    posix::Result<BundleInfo> infoForBundle(const std::string& bundlePath);

private:
    struct FileIdentity {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        timespec modified{};
        bool operator==(const FileIdentity& other) const;
    };
    struct Entry {
        FileIdentity identity;
        posix::Result<BundleInfo> info;
    };

    static constexpr std::size_t capacity = 512;

    std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
};

} // namespace drovix
