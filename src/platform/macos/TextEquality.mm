// Canonical equivalence of texts, through Foundation's canonical mapping.
#include "platform/TextEquality.h"

#import "FoundationText.h"

#if !__has_feature(objc_arc)
#error "This file is built with automatic reference counting"
#endif

namespace drovix {

namespace {

constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";

} // namespace

bool textsEqual(std::string_view a, std::string_view b)
{
    if (a == b)
        return true;
    // Foundation may drop a leading byte order mark when it reads UTF-8, yet U+FEFF is a
    // character of the text like any other: leading marks are matched here, before Foundation
    // sees them. No reordering moves a character in front of U+FEFF, so a mark that only one text
    // starts with makes the texts differ.
    while (a.starts_with(byteOrderMark) && b.starts_with(byteOrderMark)) {
        a.remove_prefix(byteOrderMark.size());
        b.remove_prefix(byteOrderMark.size());
    }
    if (a.starts_with(byteOrderMark) != b.starts_with(byteOrderMark))
        return false;

    @autoreleasepool {
        NSString* left = foundationString(a);
        NSString* right = foundationString(b);
        // Texts that are not UTF-8 are equal only when their bytes are, as compared above.
        if (left == nil || right == nil)
            return false;
        // isEqualToString: alone compares UTF-16 code units; on the canonical decompositions it
        // is canonical equivalence.
        return [left.decomposedStringWithCanonicalMapping
            isEqualToString:right.decomposedStringWithCanonicalMapping];
    }
}

} // namespace drovix
