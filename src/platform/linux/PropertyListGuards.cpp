// The shapes of hostile property lists, found before libplist reads them.
#include "platform/linux/PropertyListGuards.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace drovix {

namespace {

const posix::Failure notAPropertyList{"not a property list"};
const posix::Failure nestedTooDeep{"nested more than 64 levels deep"};
const posix::Failure unfoldsTooFar{"has too many objects"};

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

} // namespace

std::optional<posix::Failure> unsafePropertyListShape(std::string_view bytes)
{
    if (bytes.starts_with("bplist"))
        return BinaryPlistShape(bytes).check();
    if (looksLikeXml(bytes)) {
        if (xmlNestingDepth(bytes) > maxPropertyListDepth)
            return nestedTooDeep;
        return std::nullopt;
    }
    // Info.plists are XML or binary; other formats a newer libplist may know stay unread.
    return notAPropertyList;
}

} // namespace drovix
