// Canonical equivalence of texts.
#include "platform/TextEquality.h"

#include <gtest/gtest.h>

#include <string>

namespace drovix {
namespace {

TEST(TextEqualityTest, CanonicallyEquivalentTextsAreEqual)
{
    EXPECT_TRUE(textsEqual("restart", "restart"));
    EXPECT_TRUE(textsEqual("caf\u00e9", "cafe\u0301"));
    // Combining marks in a different but canonically equal order.
    EXPECT_TRUE(textsEqual("q\u0323\u0307", "q\u0307\u0323"));
    // Hangul syllable and its jamo.
    EXPECT_TRUE(textsEqual("\uAC00", "\u1100\u1161"));
}

TEST(TextEqualityTest, OtherwiseTextsDiffer)
{
    EXPECT_FALSE(textsEqual("start", "Start"));
    EXPECT_FALSE(textsEqual("start", "start "));
    // Compatibility equivalence is not enough: the ligature and "fi" differ.
    EXPECT_FALSE(textsEqual("\uFB01", "fi"));
    EXPECT_FALSE(textsEqual(std::string("a\0b", 3), std::string("a\0c", 3)));
    EXPECT_TRUE(textsEqual(std::string("a\0b", 3), std::string("a\0b", 3)));
    // Bytes that are not UTF-8 are equal only to themselves.
    EXPECT_TRUE(textsEqual("\xff\xfe", "\xff\xfe"));
    EXPECT_FALSE(textsEqual("\xff", "\xfe"));
    EXPECT_FALSE(textsEqual("", "\xff"));
}

} // namespace
} // namespace drovix
