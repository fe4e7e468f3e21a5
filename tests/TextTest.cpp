// The texts of log lines, and text equality.
#include "LogText.h"
#include "platform/TextEquality.h"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>

namespace drovix {
namespace {

using namespace std::string_literals;

TEST(TextTest, LogLinesEscapeWhatCouldBreakOrForgeALineAndNothingElse)
{
    const std::string kept = "C:\\dir \\n \u2014 caf\u00e9 \u07ff \U0001F680 \U0010FFFF \u00a0";
    const std::pair<std::string, std::string> cases[] = {
        {"a\nb\rc\td", "a\\nb\\rc\\td"},
        {"\0\x1b[2J\x7f"s, "\\x00\\x1b[2J\\x7f"},
        {"\u0085\u009f\u2028\u2029", "\\u0085\\u009f\\u2028\\u2029"},
        {kept, kept},
        // Not UTF-8: a lone continuation byte, a broken sequence, overlong forms, a surrogate,
        // a code point past U+10FFFF, a five-byte lead and a sequence cut off by the end.
        {"\x85|\xe2\x80|\xc0\xaf|\xe0\x9f\xbf|\xed\xa0\x80|\xf4\x90\x80\x80|\xf8|\xe2\x82",
         "\\x85|\\xe2\\x80|\\xc0\\xaf|\\xe0\\x9f\\xbf|\\xed\\xa0\\x80|\\xf4\\x90\\x80\\x80|\\xf8|"
         "\\xe2\\x82"}};
    for (const auto& [message, escaped] : cases)
        EXPECT_EQ(escapedForLog(message), escaped);
}

TEST(TextTest, WholeSecondsTruncateTowardZeroAndMustFitASigned64BitInteger)
{
    // clang-format off
    const std::pair<double, std::optional<std::string>> cases[] = {
        {-0.5, "0"}, {-9223372036854775808.0, "-9223372036854775808"},
        {9223372036854774784.0, "9223372036854774784"}, {9223372036854775808.0, std::nullopt},
        {-9223372036854777856.0, std::nullopt}, {std::nan(""), std::nullopt},
        {-INFINITY, std::nullopt}};
    // clang-format on
    for (const auto& [seconds, text] : cases)
        EXPECT_EQ(wholeSecondsText(seconds), text) << seconds;
}

TEST(TextTest, CanonicallyEquivalentTextsAreEqualAndInvalidOnesOnlyBytewise)
{
    // clang-format off
    const std::tuple<std::string, std::string, bool> cases[] = {
        {"caf\u00e9", "cafe\u0301", true},
        {"q\u0323\u0307", "q\u0307\u0323", true}, {"\uAC00", "\u1100\u1161", true},
        {"start", "Start", false}, {"\uFB01", "fi", false}, {"a\0b"s, "a\0c"s, false},
        {"\xff\xfe", "\xff\xfe", true}, {"caf\u00e9\xff", "cafe\u0301\xff", false},
        {"", "\xff", false}, {"\xff", "a", false}, {"\u212A", "K", true}}; // Kelvin sign, K
    // clang-format on
    for (const auto& [a, b, equal] : cases)
        EXPECT_EQ(textsEqual(a, b), equal) << a << " / " << b;
}

} // namespace
} // namespace drovix
