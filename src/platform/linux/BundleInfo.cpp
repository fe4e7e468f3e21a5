// Info.plist reading with libplist, after the guards, and the cache of what bundles say.
#include "platform/linux/BundleInfo.h"

#include "platform/linux/PropertyListGuards.h"

#include <plist/plist.h>
#include <sys/stat.h>

#include <cstdint>
#include <memory>

namespace drovix {

namespace {

const posix::Failure notAPropertyList{"not a property list"};

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using OwnedPlist = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistDeleter>;

std::optional<std::string> stringForKey(plist_t dictionary, const char* key)
{
    plist_t item = plist_dict_get_item(dictionary, key);
    if (!item || plist_get_node_type(item) != PLIST_STRING)
        return std::nullopt;
    // Not plist_get_string_val, which asserts that the string holds no NUL character.
    std::uint64_t length = 0;
    const char* value = plist_get_string_ptr(item, &length);
    if (!value)
        return std::nullopt;
    std::string text(value, length);
    // A name with a NUL in it names nothing: the system would read it cut short.
    if (text.find('\0') != std::string::npos)
        return std::nullopt;
    return text;
}

} // namespace

posix::Result<BundleInfo> parseBundleInfo(std::string_view bytes)
{
    if (bytes.size() > maxInfoPlistSize)
        return posix::Failure{"larger than 1 MiB"};
    if (bytes.empty())
        return notAPropertyList;
    if (auto failure = unsafePropertyListShape(bytes))
        return *failure;

    // libplist reads no byte-order mark, which XML allows before the declaration.
    if (bytes.starts_with("\xEF\xBB\xBF"))
        bytes.remove_prefix(3);
    plist_t parsed = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &parsed);
    const OwnedPlist root(parsed);
    if (!root)
        return notAPropertyList;
    if (plist_get_node_type(root.get()) != PLIST_DICT)
        return posix::Failure{"not a dictionary"};
    return BundleInfo{stringForKey(root.get(), "CFBundleIdentifier"),
                      stringForKey(root.get(), "CFBundleExecutable")};
}

bool BundleInfoCache::FileIdentity::operator==(const FileIdentity& other) const
{
    return device == other.device && inode == other.inode && size == other.size &&
           modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
}

posix::Result<BundleInfo> BundleInfoCache::infoForBundle(const std::string& bundlePath)
{
    const auto identityOf = [](const struct stat& status) {
        return FileIdentity{status.st_dev, status.st_ino, status.st_size, status.st_mtim};
    };
    const std::string path = bundlePath + "/Contents/Info.plist";

    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        const int code = errno;
        return posix::Failure{posix::errorText(code), code};
    }
    {
        std::lock_guard lock(mutex_);
        const auto found = entries_.find(path);
        if (found != entries_.end() && found->second.identity == identityOf(status))
            return found->second.info;
    }

    // Parsed outside the lock; the identity recorded is the one of the file actually read.
    posix::Result<posix::FileDescriptor> file = posix::openForReading(path);
    if (!file)
        return file.failure();
    if (::fstat(file->get(), &status) != 0) {
        const int code = errno;
        return posix::Failure{posix::errorText(code), code};
    }
    posix::Result<std::string> bytes = posix::readRegularFile(file->get(), maxInfoPlistSize);
    if (!bytes)
        return bytes.failure();
    posix::Result<BundleInfo> info = parseBundleInfo(*bytes);

    std::lock_guard lock(mutex_);
    if (entries_.size() >= capacity)
        entries_.clear();
    entries_.insert_or_assign(path, Entry{identityOf(status), info});
    return info;
}

} // namespace drovix
