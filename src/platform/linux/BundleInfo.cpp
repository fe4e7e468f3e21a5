// Info.plist reading: a shape check that keeps hostile files from libplist, then libplist.
#include "platform/linux/BundleInfo.h"

#include <plist/plist.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

namespace drovix {

namespace {

const posix::Failure notAPropertyList{"not a property list", 0};
const posix::Failure nestedTooDeep{"nested more than 64 levels deep", 0};
const posix::Failure unfoldsTooFar{"has too many objects", 0};

// libplist recurses once per level of nesting while reading and freeing a property list, and
// copies a binary list's shared objects at every reference: a small hostile file could exhaust
// the stack or unfold into billions of objects. These checks look only at the shape.

// XML begins with a tag, possibly after a byte-order mark and white space.
bool looksLikeXml(std::string_view text)
{
    if (text.starts_with("\xEF\xBB\xBF"))
        text.remove_prefix(3);
    const std::size_t start = text.find_first_not_of(" \t\r\n");
    return start != std::string_view::npos && text[start] == '<';
}

// Largest number of XML elements open at once, stopping early beyond the limit.
int xmlNestingDepth(std::string_view text)
{
    int depth = 0;
    int deepest = 0;
    std::size_t at = 0;
    while ((at = text.find('<', at)) != std::string_view::npos) {
        const std::string_view rest = text.substr(at);
        std::string_view end = ">";
        if (rest.starts_with("<!--"))
            end = "-->";
        else if (rest.starts_with("<![CDATA["))
            end = "]]>";
        else if (rest.starts_with("<?"))
            end = "?>";
        const std::size_t close = text.find(end, at + 1);
        if (close == std::string_view::npos)
            break;
        if (end == ">" && !rest.starts_with("<!")) {
            if (rest.starts_with("</"))
                depth = std::max(depth - 1, 0);
            else if (text[close - 1] != '/')
                deepest = std::max(deepest, ++depth);
            if (deepest > maxPropertyListDepth)
                break;
        }
        at = close + end.size();
    }
    return deepest;
}

// The object graph of a binary property list ("bplist00" ... offset table, 32-byte trailer),
// walked only as far as containers and their references.
class BinaryPlistShape {
public:
    explicit BinaryPlistShape(std::string_view bytes) : bytes_(bytes) {}

    std::optional<posix::Failure> check()
    {
        if (!readTrailer())
            return notAPropertyList;
        return walk();
    }

private:
    struct Object {
        bool holdsReferences = false;
        std::uint64_t refsAt = 0;
        std::uint64_t refCount = 0;
    };
    struct Frame {
        std::uint64_t index;
        Object object;
        std::uint64_t nextRef = 0;
        unsigned depth = 1;
        std::size_t objects = 1;
    };
    enum class Mark : std::uint8_t { unseen, open, done };

    std::uint64_t bigEndian(std::uint64_t at, unsigned width) const
    {
        std::uint64_t value = 0;
        for (unsigned i = 0; i < width; ++i)
            value = (value << 8) | static_cast<unsigned char>(bytes_[at + i]);
        return value;
    }

    bool readTrailer()
    {
        constexpr std::uint64_t headerSize = 8;
        constexpr std::uint64_t trailerSize = 32;
        const std::uint64_t size = bytes_.size();
        if (size < headerSize + trailerSize)
            return false;
        const std::uint64_t trailer = size - trailerSize;
        offsetWidth_ = static_cast<unsigned char>(bytes_[trailer + 6]);
        refWidth_ = static_cast<unsigned char>(bytes_[trailer + 7]);
        objectCount_ = bigEndian(trailer + 8, 8);
        topObject_ = bigEndian(trailer + 16, 8);
        tableAt_ = bigEndian(trailer + 24, 8);
        return offsetWidth_ >= 1 && offsetWidth_ <= 8 && refWidth_ >= 1 && refWidth_ <= 8 &&
               objectCount_ >= 1 && objectCount_ <= size && topObject_ < objectCount_ &&
               tableAt_ >= headerSize && tableAt_ <= trailer &&
               objectCount_ * offsetWidth_ <= trailer - tableAt_;
    }

    // The object at an index as far as its references go, or absent when it is malformed.
    std::optional<Object> objectAt(std::uint64_t index) const
    {
        const std::uint64_t at = bigEndian(tableAt_ + index * offsetWidth_, offsetWidth_);
        if (at < 8 || at >= tableAt_)
            return std::nullopt;
        const auto marker = static_cast<unsigned char>(bytes_[at]);
        const unsigned kind = marker >> 4;
        // Arrays, ordered sets, sets and dictionaries hold references; nothing else does.
        if (kind < 0xA || kind > 0xD)
            return Object{};
        std::uint64_t count = marker & 0x0F;
        std::uint64_t refsAt = at + 1;
        if (count == 0x0F) {
            if (refsAt >= tableAt_)
                return std::nullopt;
            const auto countMarker = static_cast<unsigned char>(bytes_[refsAt]);
            const unsigned width = 1u << (countMarker & 0x0F);
            if ((countMarker >> 4) != 0x1 || width > 8 || tableAt_ - refsAt - 1 < width)
                return std::nullopt;
            count = bigEndian(refsAt + 1, width);
            refsAt += 1 + width;
        }
        const std::uint64_t perEntry = kind == 0xD ? 2 : 1;
        if (count > (tableAt_ - refsAt) / refWidth_ / perEntry)
            return std::nullopt;
        return Object{true, refsAt, count * perEntry};
    }

    // Depth and unfolded size of every object reachable from the top, each computed once, with
    // an explicit stack.
    std::optional<posix::Failure> walk()
    {
        std::vector<Mark> marks(objectCount_, Mark::unseen);
        std::vector<unsigned> depths(objectCount_, 0);
        std::vector<std::size_t> sizes(objectCount_, 0);
        std::vector<Frame> stack;

        const auto enter = [&](std::uint64_t index) -> std::optional<posix::Failure> {
            const std::optional<Object> object = objectAt(index);
            if (!object)
                return notAPropertyList;
            if (!object->holdsReferences) {
                marks[index] = Mark::done;
                sizes[index] = 1;
                return std::nullopt;
            }
            if (stack.size() >= static_cast<std::size_t>(maxPropertyListDepth))
                return nestedTooDeep;
            marks[index] = Mark::open;
            stack.push_back({index, *object});
            return std::nullopt;
        };
        // Adds a finished object to the container that refers to it.
        const auto fold = [&](std::uint64_t child) -> std::optional<posix::Failure> {
            Frame& parent = stack.back();
            parent.depth = std::max(parent.depth, depths[child] + 1);
            parent.objects += sizes[child];
            if (parent.depth > static_cast<unsigned>(maxPropertyListDepth))
                return nestedTooDeep;
            if (parent.objects > maxPropertyListObjects)
                return unfoldsTooFar;
            return std::nullopt;
        };

        if (auto failure = enter(topObject_))
            return failure;
        while (!stack.empty()) {
            Frame& frame = stack.back();
            std::uint64_t finished;
            if (frame.nextRef < frame.object.refCount) {
                finished = bigEndian(frame.object.refsAt + frame.nextRef * refWidth_, refWidth_);
                ++frame.nextRef;
                if (finished >= objectCount_ || marks[finished] == Mark::open)
                    return notAPropertyList;
                if (marks[finished] == Mark::unseen) {
                    if (auto failure = enter(finished))
                        return failure;
                    if (marks[finished] == Mark::open)
                        continue;
                }
            } else {
                finished = frame.index;
                marks[finished] = Mark::done;
                depths[finished] = frame.depth;
                sizes[finished] = frame.objects;
                stack.pop_back();
                if (stack.empty())
                    break;
            }
            if (auto failure = fold(finished))
                return failure;
        }
        return std::nullopt;
    }

    std::string_view bytes_;
    unsigned offsetWidth_ = 0;
    unsigned refWidth_ = 0;
    std::uint64_t objectCount_ = 0;
    std::uint64_t topObject_ = 0;
    std::uint64_t tableAt_ = 0;
};

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
        return posix::Failure{"larger than 1 MiB", 0};
    if (bytes.empty())
        return notAPropertyList;
    if (bytes.starts_with("bplist")) {
        if (auto failure = BinaryPlistShape(bytes).check())
            return *failure;
    } else if (looksLikeXml(bytes)) {
        if (xmlNestingDepth(bytes) > maxPropertyListDepth)
            return nestedTooDeep;
    } else {
        // Info.plists are XML or binary; other formats a newer libplist may know stay unread.
        return notAPropertyList;
    }

    plist_t parsed = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &parsed);
    const OwnedPlist root(parsed);
    if (!root)
        return notAPropertyList;
    if (plist_get_node_type(root.get()) != PLIST_DICT)
        return posix::Failure{"not a dictionary", 0};
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
