// What fuzzing found in the readers of the record file and of Info.plists, kept as tests.
#include "platform/linux/BundleInfo.h"
#include "platform/linux/CommandRecordStore.h"

#include <gtest/gtest.h>

#include <string>

namespace drovix {
namespace {

TEST(FoundByFuzzingTest, InfoPlistStringWithANulIsReadWithoutAbortingOrTruncating)
{
    // libplist asserts, and so aborts the process, when a string it hands out holds a NUL.
    const std::string plist =
        std::string("<plist version=\"1.0\"><dict>"
                    "<key>CFBundleIdentifier</key><string>com.drovix.Drovix") +
        '\0' + "x</string></dict></plist>";
    const auto info = parseBundleInfo(plist);
    // Cut at the NUL, the text would pass for another identifier.
    if (info) {
        EXPECT_NE(info->identifier, std::optional<std::string>("com.drovix.Drovix"));
    }
}

TEST(FoundByFuzzingTest, RecordFailureNeverOutgrowsTheRecord)
{
    // The parser's message quotes the token it stopped at, with each control character spelled
    // "<U+0009>": eight bytes of log line for every byte of record.
    const std::string record = "{\"fields\"" + std::string(300, '\t') + "x";
    const auto parsed = parseCommandRecordFile(record);
    ASSERT_FALSE(parsed);
    EXPECT_LE(parsed.error().size(), record.size() + 256) << parsed.error().substr(0, 200);
}

} // namespace
} // namespace drovix
