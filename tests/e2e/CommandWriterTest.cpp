// The command writer's arguments, record text, location and atomic replacement.
#include "CommandWriter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace drovix::tools {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

CommandOptions parsed(const std::vector<std::string>& arguments)
{
    auto result = parseArguments(arguments);
    if (const auto* error = std::get_if<ArgumentError>(&result)) {
        ADD_FAILURE() << "refused: " << error->message;
        return {};
    }
    return std::get<CommandOptions>(result);
}

std::string refusal(const std::vector<std::string>& arguments)
{
    auto result = parseArguments(arguments);
    const auto* error = std::get_if<ArgumentError>(&result);
    return error ? error->message : "(accepted)";
}

TEST(CommandWriterTest, ReadsOptionsInBothFormsAndAnyKind)
{
    const auto options =
        parsed({"--nonce", "n-1", "--age=-12.5", "--container=iCloud.x.Y", "Quit"});
    EXPECT_EQ(options.kind, "Quit");
    EXPECT_EQ(options.nonce, "n-1");
    EXPECT_EQ(options.ageSeconds, -12.5);
    EXPECT_EQ(options.containerIdentifier, "iCloud.x.Y");
    EXPECT_FALSE(options.issuedAtMilliseconds);

    EXPECT_EQ(parsed({"--", "-odd-kind"}).kind, "-odd-kind");
    EXPECT_EQ(parsed({"--issued-at", "1796575210000", "start"}).issuedAtMilliseconds,
              1796575210000);
    EXPECT_TRUE(parsed({"--help"}).help);
}

TEST(CommandWriterTest, RefusesBadArgumentsWithAReason)
{
    EXPECT_EQ(refusal({}), "no command kind given");
    EXPECT_THAT(refusal({"start", "restart"}), HasSubstr("one command kind only"));
    EXPECT_EQ(refusal({"--force", "start"}), "unknown option --force");
    EXPECT_EQ(refusal({"start", "--nonce"}), "--nonce needs a value");
    EXPECT_EQ(refusal({"--nonce", "a", "--nonce", "b", "start"}), "--nonce is given twice");
    EXPECT_THAT(refusal({"--age", "soon", "start"}), HasSubstr("not \"soon\""));
    EXPECT_THAT(refusal({"--age", "nan", "start"}), HasSubstr("--age takes"));
    EXPECT_THAT(refusal({"--issued-at", "yesterday", "start"}), HasSubstr("--issued-at takes"));
    EXPECT_THAT(refusal({"--issued-at", "0", "--age", "3", "start"}), HasSubstr("give one"));
    for (const char* container : {"", ".", "..", "iCloud.a/../b"})
        EXPECT_THAT(refusal({"--container", container, "start"}), HasSubstr("--container takes"))
            << container;
}

TEST(CommandWriterTest, ReadsIssueTimesAsMillisecondsOrIsoDates)
{
    EXPECT_EQ(parseIssuedAt("1796575210000"), 1796575210000);
    EXPECT_EQ(parseIssuedAt("-1500"), -1500);
    EXPECT_EQ(parseIssuedAt("1970-01-01T00:00:00Z"), 0);
    EXPECT_EQ(parseIssuedAt("2026-12-06T17:00:10Z"), 1796576410000);
    EXPECT_EQ(parseIssuedAt("2026-12-06T18:00:10.25+01:00"), 1796576410250);
    EXPECT_EQ(parseIssuedAt("2026-12-06T12:30:10.123456-0430"), 1796576410123);
    EXPECT_EQ(parseIssuedAt("2024-02-29T00:00:00Z"), 1709164800000);
    for (const char* bad : {"", "12ab", "2026-12-06T17:00:10", "2026-02-29T00:00:00Z",
                            "2026-12-06T24:00:00Z", "2026-12-06T17:60:00Z", "2026-12-06T17:00:10.Z",
                            "2026-12-06T17:00:10Z trailing", "2026-12-06T17:00:10+25:00"})
        EXPECT_FALSE(parseIssuedAt(bad)) << bad;
}

TEST(CommandWriterTest, DatesTheCommandByAgeOrByTime)
{
    CommandOptions options;
    EXPECT_EQ(issuedAtFor(options, 1'000'000), 1'000'000);
    options.ageSeconds = 2.5;
    EXPECT_EQ(issuedAtFor(options, 1'000'000), 997'500);
    options.ageSeconds = -60;
    EXPECT_EQ(issuedAtFor(options, 1'000'000), 1'060'000);
    options = {};
    options.issuedAtMilliseconds = 42;
    EXPECT_EQ(issuedAtFor(options, 1'000'000), 42);
}

TEST(CommandWriterTest, WritesTheRecordWithTypedFieldsInOrder)
{
    const auto text = commandRecordText("restart", "ab\"c\u00e9", 1796575210000);
    ASSERT_TRUE(text.has_value());
    const auto record = nlohmann::ordered_json::parse(*text);
    EXPECT_EQ(record.dump(), R"({"recordName":"command","recordType":"Command","fields":{)"
                             R"("kind":{"value":"restart","type":"STRING"},)"
                             R"("nonce":{"value":"ab\"c)"
                             "\u00e9"
                             R"(","type":"STRING"},)"
                             R"("issuedAt":{"value":1796575210000,"type":"TIMESTAMP"}}})");
    EXPECT_FALSE(commandRecordText("start", "\xff", 0).has_value());
}

TEST(CommandWriterTest, MakesDistinctHexNonces)
{
    const std::string first = randomNonce();
    EXPECT_THAT(first, MatchesRegex("[0-9a-f]{16}"));
    EXPECT_NE(first, randomNonce());
}

TEST(CommandWriterTest, FindsTheRecordUnderTheUsersDataFolder)
{
    const auto path = [](const char* xdg, const char* home) {
        const auto result = commandRecordPath("iCloud.x.Y", xdg, home);
        if (const auto* error = std::get_if<std::string>(&result))
            return "error: " + *error;
        return std::get<fs::path>(result).string();
    };
    EXPECT_EQ(path("/data", "/home/u"), "/data/cloud/iCloud.x.Y/private/_defaultZone/command.json");
    EXPECT_EQ(path(nullptr, "/home/u"),
              "/home/u/.local/share/cloud/iCloud.x.Y/private/_defaultZone/command.json");
    EXPECT_EQ(path("", "/home/u"), path(nullptr, "/home/u"));
    EXPECT_EQ(path("relative", "/home/u"), path(nullptr, "/home/u"));
    EXPECT_THAT(path(nullptr, nullptr), HasSubstr("error: "));
    EXPECT_THAT(path("relative", ""), HasSubstr("error: "));
}

class AtomicWriteTest : public ::testing::Test {
protected:
    fs::path root;
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "drovix-writer.XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root = pattern;
    }
    void TearDown() override { fs::remove_all(root); }

    static std::string contents(const fs::path& path)
    {
        std::ostringstream text;
        text << std::ifstream(path).rdbuf();
        return text.str();
    }
    std::vector<std::string> namesIn(const fs::path& folder) const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder))
            names.push_back(entry.path().filename().string());
        return names;
    }
};

TEST_F(AtomicWriteTest, CreatesPrivateFoldersAndReplacesTheRecordLeavingNothingBehind)
{
    const fs::path record = root / "cloud" / "c" / "private" / "_defaultZone" / "command.json";
    ASSERT_EQ(writeFileAtomically(record, "first\n"), std::nullopt);
    ASSERT_EQ(writeFileAtomically(record, "second\n"), std::nullopt);
    EXPECT_EQ(contents(record), "second\n");
    EXPECT_THAT(namesIn(record.parent_path()), ::testing::ElementsAre("command.json"));
    struct stat info {};
    ASSERT_EQ(::stat((root / "cloud").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(record.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 077, 0u);
}

TEST_F(AtomicWriteTest, ReportsAFolderThatCannotBeMade)
{
    std::ofstream(root / "cloud") << "a file where a folder should be";
    const auto error = writeFileAtomically(root / "cloud" / "c" / "command.json", "x");
    ASSERT_TRUE(error.has_value());
    EXPECT_THAT(*error, HasSubstr("can't create " + (root / "cloud" / "c").string() + ": "));
    EXPECT_THAT(namesIn(root), ::testing::ElementsAre("cloud"));
}

} // namespace
} // namespace drovix::tools
