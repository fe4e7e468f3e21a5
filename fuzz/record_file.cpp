// Fuzzes the reader of the command record file: any bytes give a record or a failure, never a
// crash, a deep recursion or an unbounded allocation, and what it returns is fit for a log line.
#include "LogText.h"
#include "platform/linux/CommandRecordStore.h"

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
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto record = drovix::parseCommandRecordFile(bytes);
    if (!record) {
        const std::string& failure = record.error();
        if (failure.empty())
            fail("a failure without a description", bytes.substr(0, 64));
        if (failure.size() > bytes.size() + failureOverhead)
            fail("a failure description too long for a log line", failure.substr(0, 200));
        (void)drovix::escapedForLog(failure);
        return 0;
    }
    if (size > drovix::maxCommandRecordFileSize)
        fail("read a record larger than the limit", bytes.substr(0, 64));
    // Whatever came out is what the watcher will print and compare.
    if (record->kind)
        (void)drovix::escapedForLog(*record->kind);
    if (record->nonce)
        (void)drovix::escapedForLog(*record->nonce);
    if (record->issuedAt && !std::isfinite(*record->issuedAt))
        fail("an issue time that is not a finite number", bytes.substr(0, 64));
    return 0;
}
