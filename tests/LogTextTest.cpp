// The text of log lines: escaping and whole seconds.
#include "LogText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace drovix {
namespace {

TEST(LogTextTest, EscapesEverythingThatCouldBreakALineAndNothingElse)
{
    EXPECT_EQ(escapedForLog("a\nb\rc\td"), "a\\nb\\rc\\td");
    EXPECT_EQ(escapedForLog(std::string("nul\0esc\x1b[31m", 12)), "nul\\x00esc\\x1b[31m");
    EXPECT_EQ(escapedForLog("del\x7f"), "del\\x7f");
    EXPECT_EQ(escapedForLog("c1\u0085\u009b"), "c1\\u0085\\u009b");
    EXPECT_EQ(escapedForLog("ls\u2028ps\u2029"), "ls\\u2028ps\\u2029");
    // Bytes that are not UTF-8: a lone continuation byte, a truncated sequence, an overlong
    // encoding and an encoded surrogate.
    EXPECT_EQ(escapedForLog("\x85|\xe2\x80|\xc0\xaf|\xed\xa0\x80"),
              "\\x85|\\xe2\\x80|\\xc0\\xaf|\\xed\\xa0\\x80");
    // Backslashes, the em dash, other scripts and emoji pass unchanged.
    const std::string kept = "C:\\path \\n \u2014 caf\u00e9 \u65e5\u672c \U0001F680 \u00a0";
    EXPECT_EQ(escapedForLog(kept), kept);
}

TEST(LogTextTest, WholeSecondsTruncateTowardZeroWithoutNegativeZero)
{
    EXPECT_EQ(wholeSecondsText(59.9), "59");
    EXPECT_EQ(wholeSecondsText(-3.7), "-3");
    EXPECT_EQ(wholeSecondsText(-0.5), "0");
    EXPECT_EQ(wholeSecondsText(-0.0), "0");
    EXPECT_EQ(wholeSecondsText(120.0), "120");
    EXPECT_EQ(wholeSecondsText(-9223372036854775808.0), "-9223372036854775808");
    EXPECT_EQ(wholeSecondsText(9223372036854774784.0), "9223372036854774784");
    EXPECT_EQ(wholeSecondsText(9223372036854775808.0), std::nullopt);
    EXPECT_EQ(wholeSecondsText(-9223372036854777856.0), std::nullopt);
    EXPECT_EQ(wholeSecondsText(std::numeric_limits<double>::quiet_NaN()), std::nullopt);
    EXPECT_EQ(wholeSecondsText(-std::numeric_limits<double>::infinity()), std::nullopt);
}

} // namespace
} // namespace drovix
