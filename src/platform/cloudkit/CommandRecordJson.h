// The command record in the JSON form of CloudKit's web services, read and written: as the record
// file holds it, as the service answers a lookup or a save, and as the command writer sends it.
#pragma once

#include "platform/CommandRecordStore.h"
#include "platform/posix/Posix.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace drovix {

// Larger texts are refused unread.
inline constexpr std::size_t maxRecordJsonSize = 64 * 1024;

// Deeper nesting of arrays and objects is refused.
inline constexpr int maxRecordJsonDepth = 64;

// Where the record sits in a text: the whole text (the record file, or a failed request's error
// dictionary), or the first element of its "records" array (the answer to a lookup or a save).
enum class RecordPlace { wholeText, firstOfRecords };

// What one place of CloudKit's JSON holds: a record, or an error dictionary in its place.
struct RecordEntry {
    enum Text { serverErrorCode, reason, redirectUrl, textCount };

    // Present when the entry has an object "fields".
    std::optional<CommandRecord> record;
    // The entry's own texts by their keys: "serverErrorCode", "reason", "redirectURL". Absent
    // when missing or not a string.
    std::array<std::optional<std::string>, textCount> texts;
    // "retryAfter", in seconds, when it is a number.
    std::optional<double> retryAfter;
    // When the service last saved the record, on its own clock: "modified": {"timestamp": ms}.
    std::optional<Instant> modifiedAt;

    const std::optional<std::string>& text(Text which) const { return texts[which]; }
};

// Reads the entry at place:
//   {"recordName": "command", "fields": {"kind": {"value": "restart", "type": "STRING"}, ...}}
// "kind" and "nonce" count when their value is a string, "issuedAt" when its value is a number of
// milliseconds since the Unix epoch, and each only when its "type" is the field's own ("STRING",
// "TIMESTAMP"), or, with no "type", when an "issuedAt" is a whole number. Any other field or shape
// of a field is absent. A later duplicate of a key replaces the earlier one whole. The failure
// says what is wrong with the text, which it calls name.
posix::Result<RecordEntry> readRecordEntry(std::string_view text, RecordPlace place,
                                           std::string_view name);

// The record file: the whole text is the record, which must have an object "fields".
posix::Result<CommandRecord> parseCommandRecordFile(std::string_view bytes);

// The record as the clients of the container write it, as one line of JSON:
//   {"recordName":"command",["recordType":"<type>",]"fields":{"kind":{"value":"restart",
//    "type":"STRING"},"nonce":{...},"issuedAt":{"value":1796575210000,"type":"TIMESTAMP"}}}
// with "recordType" only when recordType is not empty. Bytes of kind or nonce that are not UTF-8
// become U+FFFD, so that the text is always JSON that readRecordEntry reads.
std::string commandRecordJson(std::string_view kind, std::string_view nonce,
                              std::int64_t issuedAtMilliseconds, std::string_view recordType = {});

// A text from elsewhere cut to a length fit for a log line, at a character boundary.
std::string shortened(std::string_view text, std::size_t limit = 200);

} // namespace drovix
