// Canonical equivalence of texts, through utf8proc's normalization.
#include "platform/TextEquality.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <utf8proc.h>

#ifndef __linux__
#error "This file is the Linux implementation"
#endif

namespace drovix {

namespace {

struct FreeDeleter {
    void operator()(utf8proc_uint8_t* text) const { std::free(text); }
};

// A text in canonical decomposition (NFD), owned; it may hold NUL characters.
struct NormalizedText {
    std::unique_ptr<utf8proc_uint8_t, FreeDeleter> bytes;
    std::size_t length = 0;

    std::string_view view() const { return {reinterpret_cast<const char*>(bytes.get()), length}; }
};

// Absent when the text is not valid UTF-8 or memory ran out.
std::optional<NormalizedText> decomposed(std::string_view text)
{
    utf8proc_uint8_t* result = nullptr;
    const auto options = static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_DECOMPOSE);
    const utf8proc_ssize_t length =
        utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                     static_cast<utf8proc_ssize_t>(text.size()), &result, options);
    if (length < 0)
        return std::nullopt;
    return NormalizedText{{result, {}}, static_cast<std::size_t>(length)};
}

bool isAscii(std::string_view text)
{
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x80; });
}

} // namespace

bool textsEqual(std::string_view a, std::string_view b)
{
    if (a == b)
        return true;
    // ASCII is its own decomposition. Kinds and nonces are mostly ASCII, so a look seldom touches
    // utf8proc's tables (a fifth of a MiB of memory) or allocates for them.
    if (isAscii(a) && isAscii(b))
        return false;
    const auto left = decomposed(a);
    const auto right = decomposed(b);
    return left && right && left->view() == right->view();
}

} // namespace drovix
