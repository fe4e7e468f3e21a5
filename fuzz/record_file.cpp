// Fuzzes the reader of the command record's JSON, as the record file and as the service's answer:
// any bytes give an entry or a failure, never a crash, a deep recursion or an unbounded
// allocation, and what it returns is fit for a log line.
#include "LogText.h"
#include "platform/cloudkit/CommandRecordJson.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

// A failure text becomes part of one log line. It may quote the input (the parser names the
// token it stopped at), but never grows beyond it by more than a sentence.
constexpr std::size_t failureOverhead = 256;

[[noreturn]] void fail(const char* what, std::string_view detail)
{
    std::fprintf(stderr, "%s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace drovix;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    for (const RecordPlace place : {RecordPlace::wholeText, RecordPlace::firstOfRecords}) {
        const auto entry = readRecordEntry(bytes, place, "the text");
        if (!entry) {
            const std::string& failure = entry.error();
            if (failure.empty())
                fail("a failure without a description", bytes.substr(0, 64));
            if (failure.size() > bytes.size() + failureOverhead)
                fail("a failure description too long for a log line", failure.substr(0, 200));
            (void)escapedForLog(failure);
            continue;
        }
        if (size > maxRecordJsonSize)
            fail("read a text larger than the limit", bytes.substr(0, 64));
        if (entry->retryAfter && std::isnan(*entry->retryAfter))
            fail("a retryAfter that is no number", bytes.substr(0, 64));
        // Whatever came out is what the agent will print and compare.
        for (const auto& text : entry->texts)
            (void)escapedForLog(text.value_or(""));
        if (!entry->record)
            continue;
        (void)escapedForLog(entry->record->kind.value_or(""));
        (void)escapedForLog(entry->record->nonce.value_or(""));
        if (entry->record->issuedAt && !std::isfinite(*entry->record->issuedAt))
            fail("an issue time that is not a finite number", bytes.substr(0, 64));
    }
    return 0;
}
