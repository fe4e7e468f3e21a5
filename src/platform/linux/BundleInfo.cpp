// Info.plist reading with libplist, after the guards, and the cache of what bundles say.
//
// libplist is loaded for one reading and let go after it. Loaded for good, it and the math
// library it needs would keep a third of a MiB resident for the agent's life, for a file that is
// read once per bundle change.
#include "platform/linux/BundleInfo.h"

#include "platform/linux/PropertyListGuards.h"

#include <dlfcn.h>
#include <plist/plist.h>
#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <mutex>

namespace drovix {

namespace {

const posix::Failure notAPropertyList{"not a property list"};

// The library of the headers this file is built with, as long as the object lives. The handle
// comes first: the functions are looked up in it as the object is made.
struct Libplist {
    Libplist() = default;
    Libplist(const Libplist&) = delete;
    Libplist& operator=(const Libplist&) = delete;
    ~Libplist()
    {
        if (handle)
            ::dlclose(handle);
    }
    explicit operator bool() const
    {
        return fromMemory && free && nodeType && dictItem && stringPointer;
    }
    template <typename Function> Function* symbol(const char* name) const
    {
        return handle ? reinterpret_cast<Function*>(::dlsym(handle, name)) : nullptr;
    }

    void* const handle = ::dlopen("libplist-2.0.so.3", RTLD_NOW | RTLD_LOCAL);
    decltype(&plist_from_memory) fromMemory =
        symbol<decltype(plist_from_memory)>("plist_from_memory");
    decltype(&plist_free) free = symbol<decltype(plist_free)>("plist_free");
    decltype(&plist_get_node_type) nodeType =
        symbol<decltype(plist_get_node_type)>("plist_get_node_type");
    decltype(&plist_dict_get_item) dictItem =
        symbol<decltype(plist_dict_get_item)>("plist_dict_get_item");
    // Not plist_get_string_val, which asserts that the string holds no NUL character.
    decltype(&plist_get_string_ptr) stringPointer =
        symbol<decltype(plist_get_string_ptr)>("plist_get_string_ptr");
};

std::optional<std::string> stringForKey(const Libplist& plist, plist_t dictionary, const char* key)
{
    plist_t item = plist.dictItem(dictionary, key);
    if (!item || plist.nodeType(item) != PLIST_STRING)
        return std::nullopt;
    std::uint64_t length = 0;
    const char* value = plist.stringPointer(item, &length);
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
    // One reading at a time, so that libplist is loaded and let go in turn. The loader's own lock
    // is invisible to the thread sanitizer, and a reading is rare enough to wait.
    static std::mutex reading;
    const std::lock_guard lock(reading);
    const Libplist plist;
    if (!plist)
        return posix::Failure{std::string("can't load libplist: ") + ::dlerror()};
    plist_t parsed = nullptr;
    plist.fromMemory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &parsed);
    const std::unique_ptr<void, decltype(plist.free)> root(parsed, plist.free);
    if (!root)
        return notAPropertyList;
    if (plist.nodeType(root.get()) != PLIST_DICT)
        return posix::Failure{"not a dictionary"};
    return BundleInfo{stringForKey(plist, root.get(), "CFBundleIdentifier"),
                      stringForKey(plist, root.get(), "CFBundleExecutable")};
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
