// The command record file: field rules, refusals of bad files, where the file lives, and fetches.
#include "platform/linux/CommandRecordStore.h"
#include "LinuxTestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

namespace drovix {
namespace {

using testing::TempFolder;

std::string field(const std::string& name, const std::string& value, const std::string& type)
{
    return "\"" + name + "\": {\"value\": " + value + ", \"type\": \"" + type + "\"}";
}

std::string record(const std::string& fields)
{
    return "{\"recordName\": \"command\", \"recordType\": \"Command\", \"fields\": {" + fields +
           "}}";
}

CommandRecord parsed(const std::string& bytes)
{
    const auto result = parseCommandRecordFile(bytes);
    EXPECT_TRUE(result.ok()) << result.error();
    return result.ok() ? *result : CommandRecord{};
}

std::string refusal(const std::string& bytes)
{
    const auto result = parseCommandRecordFile(bytes);
    EXPECT_FALSE(result.ok());
    return result.ok() ? "" : result.error();
}

TEST(CommandRecordFile, ReadsTheThreeFieldsAndIgnoresTheRest)
{
    const CommandRecord full = parsed(record(field("kind", "\"restart\"", "STRING") + ", " +
                                             field("nonce", "\"n-1 é\"", "STRING") + ", " +
                                             field("issuedAt", "1796575210000", "TIMESTAMP") +
                                             ", " + field("other", "[1, {\"a\": null}]", "LIST")));
    EXPECT_EQ("restart", full.kind);
    EXPECT_EQ("n-1 é", full.nonce);
    EXPECT_EQ(1796575210.0, full.issuedAt);

    // Milliseconds may come as a fraction or negative; a byte-order mark is allowed.
    EXPECT_EQ(1.5, parsed(record(field("issuedAt", "1500.0", "TIMESTAMP"))).issuedAt);
    EXPECT_EQ(-2.0, parsed(record(field("issuedAt", "-2000", "TIMESTAMP"))).issuedAt);
    EXPECT_EQ("start", parsed("\xEF\xBB\xBF" + record(field("kind", "\"start\"", "STRING"))).kind);

    const CommandRecord empty = parsed(record(""));
    EXPECT_FALSE(empty.kind || empty.nonce || empty.issuedAt);
}

TEST(CommandRecordFile, AFieldCountsOnlyWhenItsTypeAndValueAgree)
{
    const std::string absentKinds[] = {
        field("kind", "42", "STRING"),
        field("kind", "null", "STRING"),
        field("kind", "[\"start\"]", "STRING"),
        field("kind", "\"start\"", "string"),
        field("kind", "\"start\"", "TIMESTAMP"),
        "\"kind\": \"start\"",
        "\"kind\": {\"value\": \"start\"}",
        "\"kind\": {\"type\": \"STRING\"}",
        "\"kind\": {\"value\": \"start\", \"type\": 7}",
        "\"Kind\": {\"value\": \"start\", \"type\": \"STRING\"}",
    };
    for (const std::string& fields : absentKinds)
        EXPECT_FALSE(parsed(record(fields)).kind) << fields;

    const std::string absentTimes[] = {
        field("issuedAt", "\"1796575210000\"", "TIMESTAMP"),
        field("issuedAt", "true", "TIMESTAMP"),
        field("issuedAt", "1796575210000", "NUMBER"),
        field("issuedAt", "1796575210000", "STRING"),
    };
    for (const std::string& fields : absentTimes)
        EXPECT_FALSE(parsed(record(fields)).issuedAt) << fields;

    // A bad field leaves the good ones alone.
    const CommandRecord mixed =
        parsed(record(field("kind", "1", "STRING") + ", " + field("nonce", "\"x\"", "STRING")));
    EXPECT_FALSE(mixed.kind);
    EXPECT_EQ("x", mixed.nonce);
}

TEST(CommandRecordFile, ALaterDuplicateKeyReplacesTheEarlierWhole)
{
    // Within a field: the last "type" and the last "value" count.
    EXPECT_EQ("b", parsed(record("\"kind\": {\"value\": \"a\", \"type\": \"STRING\", "
                                 "\"value\": \"b\"}"))
                       .kind);
    EXPECT_FALSE(parsed(record("\"kind\": {\"value\": \"a\", \"type\": \"STRING\", "
                               "\"value\": 1}"))
                     .kind);
    EXPECT_FALSE(parsed(record("\"kind\": {\"value\": \"a\", \"type\": \"STRING\", "
                               "\"type\": \"TIMESTAMP\"}"))
                     .kind);
    EXPECT_EQ(2.0, parsed(record("\"issuedAt\": {\"type\": \"STRING\", \"value\": \"x\", "
                                 "\"type\": \"TIMESTAMP\", \"value\": 2000}"))
                       .issuedAt);

    // A field named twice is the later one, even when that one is broken or lacks a part.
    EXPECT_EQ("b", parsed(record(field("kind", "\"a\"", "STRING") + ", " +
                                 field("kind", "\"b\"", "STRING")))
                       .kind);
    EXPECT_FALSE(parsed(record(field("kind", "\"a\"", "STRING") + ", \"kind\": \"b\"")).kind);
    EXPECT_FALSE(
        parsed(record(field("kind", "\"a\"", "STRING") + ", \"kind\": {\"value\": \"b\"}")).kind);

    // A second "fields" replaces the first: its fields alone count, and without an object there
    // is no record.
    const CommandRecord second =
        parsed("{\"fields\": {" + field("kind", "\"a\"", "STRING") + "}, \"fields\": {" +
               field("nonce", "\"n\"", "STRING") + "}}");
    EXPECT_FALSE(second.kind);
    EXPECT_EQ("n", second.nonce);
    EXPECT_EQ("command.json has no \"fields\" object",
              refusal("{\"fields\": {" + field("kind", "\"a\"", "STRING") + "}, \"fields\": [1]}"));
}

TEST(CommandRecordFile, ReadsOnlyAlongTheRecordsPath)
{
    // Look-alikes nested anywhere else are passed over, however deep. (Built by appending: GCC 12
    // at -O3 warns falsely of overlap when a literal is put before a temporary string.)
    const std::string lookAlike =
        std::string("{").append(field("kind", "\"start\"", "STRING")) + "}";
    const std::string elsewhere[] = {
        "\"other\": " + lookAlike,
        "\"other\": [" + lookAlike + "]",
        "\"kind\": {\"type\": \"STRING\", \"extra\": " + lookAlike + "}",
        "\"kind\": {\"type\": \"STRING\", \"extra\": [{\"value\": \"start\"}]}",
        "\"kind\": {\"type\": \"STRING\", \"value\": " + lookAlike + "}",
        "\"kind\": {\"type\": \"STRING\", \"value\": {\"value\": \"start\"}}",
        "\"kind\": {\"type\": {\"type\": \"STRING\"}, \"value\": \"start\"}",
        "\"kind\": [{\"value\": \"start\", \"type\": \"STRING\"}]",
    };
    for (const std::string& fields : elsewhere)
        EXPECT_FALSE(parsed(record(fields)).kind) << fields;
    EXPECT_EQ("command.json has no \"fields\" object",
              refusal("{\"outer\": {\"fields\": " + lookAlike + "}}"));
    EXPECT_EQ("command.json has no \"fields\" object",
              refusal("[{\"fields\": " + lookAlike + "}]"));

    // Junk before, between and after the fields leaves them whole, and a key that only looks
    // like a part of the path (a "value" one level too high) changes nothing.
    const CommandRecord whole = parsed(
        "{\"a\": [{\"fields\": 1}], \"fields\": {\"x\": {\"kind\": {}}, " +
        field("kind", "\"start\"", "STRING") + ", \"type\": \"TIMESTAMP\", \"value\": 5, " +
        field("issuedAt", "[[[]]], \"value\": 3000", "TIMESTAMP") + "}, \"z\": {\"fields\": {}}}");
    EXPECT_EQ("start", whole.kind);
    EXPECT_EQ(3.0, whole.issuedAt);
    EXPECT_FALSE(whole.nonce);
}

TEST(CommandRecordFile, RefusesFilesThatAreNoRecordSayingWhy)
{
    const std::string notJson = refusal("{\"fields\": {");
    EXPECT_TRUE(notJson.starts_with("command.json is not valid JSON: parse error")) << notJson;
    EXPECT_TRUE(refusal("").starts_with("command.json is not valid JSON: "));
    EXPECT_TRUE(refusal(record("") + " trailing").starts_with("command.json is not valid JSON: "));
    EXPECT_TRUE(refusal("{\"fields\": {\"kind\": \"\xFF\"}}")
                    .starts_with("command.json is not valid JSON: "));
    EXPECT_TRUE(
        refusal("{\"fields\": {}, \"x\": 1e999}").starts_with("command.json is not valid JSON: "));

    // The parser quotes the token it stopped at; a huge one is cut short for the log line.
    const std::string longToken = refusal("{\"fields\"" + std::string(5000, '\t') + "x");
    EXPECT_TRUE(longToken.starts_with("command.json is not valid JSON: parse error")) << longToken;
    EXPECT_TRUE(longToken.ends_with("…"));
    EXPECT_LT(longToken.size(), 300u);

    const std::string noFields = "command.json has no \"fields\" object";
    EXPECT_EQ(noFields, refusal("[]"));
    EXPECT_EQ(noFields, refusal("\"fields\""));
    EXPECT_EQ(noFields, refusal("{\"recordName\": \"command\"}"));
    EXPECT_EQ(noFields, refusal("{\"fields\": [1, 2]}"));
}

TEST(CommandRecordFile, BoundsSizeAndNesting)
{
    const std::string base = record(field("kind", "\"start\"", "STRING"));
    const std::string fits = base + std::string(maxCommandRecordFileSize - base.size(), ' ');
    EXPECT_EQ("start", parsed(fits).kind);
    EXPECT_EQ("command.json is larger than 64 KiB", refusal(fits + " "));

    // 64 levels in all are fine; one more is refused, and so is a bomb that would take the
    // document builder deep into recursion.
    const std::string deepest = std::string(62, '[') + std::string(62, ']');
    EXPECT_EQ("start",
              parsed(record(field("kind", "\"start\"", "STRING") + ", \"x\": " + deepest)).kind);
    const std::string tooDeep = std::string(63, '[') + std::string(63, ']');
    EXPECT_EQ("command.json nests deeper than 64 levels", refusal(record("\"x\": " + tooDeep)));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ("command.json nests deeper than 64 levels",
              refusal(std::string(maxCommandRecordFileSize, '[')));
    std::string objectBomb;
    for (int i = 0; i < 10000; ++i)
        objectBomb += "{\"a\":";
    EXPECT_EQ("command.json nests deeper than 64 levels", refusal(objectBomb));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(CommandRecordFile, LivesInTheContainersDefaultZone)
{
    const std::string tail = "/cloud/iCloud.a.b/private/_defaultZone/command.json";
    EXPECT_EQ("/data" + tail, *commandRecordPath("iCloud.a.b", "/data", "/home/u"));
    EXPECT_EQ("/data" + tail, *commandRecordPath("iCloud.a.b", "/data//", nullptr));
    EXPECT_EQ("/home/u/.local/share" + tail, *commandRecordPath("iCloud.a.b", nullptr, "/home/u"));
    // A relative or empty XDG_DATA_HOME is ignored, as the XDG rules ask.
    EXPECT_EQ("/home/u/.local/share" + tail, *commandRecordPath("iCloud.a.b", "rel", "/home/u"));
    EXPECT_EQ("/home/u/.local/share" + tail, *commandRecordPath("iCloud.a.b", "", "/home/u"));
    EXPECT_EQ(tail, *commandRecordPath("iCloud.a.b", "/", nullptr));
    EXPECT_FALSE(commandRecordPath("iCloud.a.b", nullptr, nullptr).ok());
    EXPECT_FALSE(commandRecordPath("iCloud.a.b", "", "").ok());
}

struct Fetched {
    std::optional<CommandRecord> record;
    std::optional<std::string> error;
    bool onOtherThread = false;
};

// Fetches through the store's own thread, waiting at most a few seconds.
Fetched fetch(const posix::Result<std::string>& path)
{
    CommandRecordFileStore store(path);
    auto done = std::make_shared<std::promise<Fetched>>();
    auto calls = std::make_shared<std::atomic<int>>(0);
    const std::thread::id caller = std::this_thread::get_id();
    store.fetchCommandRecord([done, calls, caller](std::optional<CommandRecord> record,
                                                   std::optional<std::string> error) {
        if (++*calls == 1)
            done->set_value(
                {std::move(record), std::move(error), std::this_thread::get_id() != caller});
    });
    auto result = done->get_future();
    EXPECT_EQ(std::future_status::ready, result.wait_for(std::chrono::seconds(5)));
    Fetched fetched = result.get();
    EXPECT_TRUE(fetched.onOtherThread);
    EXPECT_EQ(1, calls->load());
    return fetched;
}

TEST(CommandRecordFileStore, FetchesOffTheCallingThreadAndTellsNoRecordFromFailure)
{
    TempFolder data;
    const std::string path = *commandRecordPath("iCloud.t", data.path().c_str(), nullptr);

    Fetched missing = fetch(path);
    EXPECT_FALSE(missing.record);
    EXPECT_FALSE(missing.error) << *missing.error;

    testing::makeFolders(data.path() + "/cloud/iCloud.t/private/_defaultZone");
    Fetched stillMissing = fetch(path);
    EXPECT_FALSE(stillMissing.record || stillMissing.error);

    testing::writeFile(path, record(field("kind", "\"start\"", "STRING") + ", " +
                                    field("nonce", "\"n\"", "STRING")));
    Fetched found = fetch(path);
    ASSERT_TRUE(found.record);
    EXPECT_EQ("n", found.record->nonce);
    EXPECT_FALSE(found.error);

    testing::writeFile(path, "{");
    Fetched broken = fetch(path);
    EXPECT_FALSE(broken.record);
    EXPECT_TRUE(broken.error && broken.error->starts_with("command.json is not valid JSON: "));

    // A folder, or a FIFO that would block a careless reader, in place of the file.
    ASSERT_EQ(0, ::unlink(path.c_str()));
    ASSERT_EQ(0, ::mkfifo(path.c_str(), 0600));
    EXPECT_EQ(path + ": not a regular file", fetch(path).error);
    ASSERT_EQ(0, ::unlink(path.c_str()));
    ASSERT_EQ(0, ::mkdir(path.c_str(), 0700));
    EXPECT_EQ(path + ": not a regular file", fetch(path).error);

    // A file where a folder of the path should be means no record.
    ASSERT_EQ(0, ::rmdir(path.c_str()));
    testing::writeFile(data.path() + "/cloud/iCloud.u", "");
    const Fetched blocked = fetch(*commandRecordPath("iCloud.u", data.path().c_str(), nullptr));
    EXPECT_FALSE(blocked.record || blocked.error);

    EXPECT_EQ("no home folder to find the command record in",
              fetch(commandRecordPath("iCloud.t", nullptr, nullptr)).error);
}

} // namespace
} // namespace drovix
