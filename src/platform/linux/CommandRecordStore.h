// The command record as a file: the local stand-in for the private cloud database, kept in the
// record form of CloudKit's web services and replaced atomically by whoever writes it.
#pragma once

#ifndef __linux__
#error "This file is the Linux implementation"
#endif

#include "platform/CommandRecordStore.h"
#include "platform/MainThread.h"
#include "platform/linux/Posix.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace drovix {

// Larger record files are refused unread.
inline constexpr std::size_t maxCommandRecordFileSize = 64 * 1024;

// Deeper nesting of arrays and objects is refused.
inline constexpr int maxCommandRecordDepth = 64;

// Reads a record file:
//   {"recordName": "command", "fields": {"kind": {"value": "restart", "type": "STRING"}, ...}}
// "kind" and "nonce" count when their type is "STRING" with a string value, "issuedAt" when its
// type is "TIMESTAMP" with a number of milliseconds since the Unix epoch; any other field or
// shape of a field is absent. The failure says what is wrong with the file.
posix::Result<CommandRecord> parseCommandRecordFile(std::string_view bytes);

// <data>/cloud/<containerIdentifier>/private/_defaultZone/command.json, where <data> is
// xdgDataHome when it is an absolute path, else home + "/.local/share". Either may be null.
posix::Result<std::string> commandRecordPath(std::string_view containerIdentifier,
                                             const char* xdgDataHome, const char* home);

// The record as the other clients of the container write it, as one line of JSON:
//   {"recordName":"command","fields":{"kind":{"value":"restart","type":"STRING"},
//    "nonce":{...},"issuedAt":{"value":1796575210000,"type":"TIMESTAMP"}}}
// followed by a line break. Bytes of kind or nonce that are not UTF-8 become U+FFFD, so that the
// text is always JSON that parseCommandRecordFile reads.
std::string commandRecordText(std::string_view kind, std::string_view nonce,
                              std::int64_t issuedAtMilliseconds);

// Fetches the record from a file: no file (or no folder) is no record and no error. The read is
// a bounded local one that never waits on a FIFO, so each fetch runs as a job on the main thread,
// which also runs the completion: a look costs no thread and no wake of its own.
class CommandRecordFileStore final : public CommandRecordStore {
public:
    CommandRecordFileStore(MainThread& mainThread, posix::Result<std::string> path)
        : mainThread_(mainThread),
          path_(std::make_shared<const posix::Result<std::string>>(std::move(path)))
    {
    }
    void fetchCommandRecord(FetchCompletion completion) override;

    // The fetch itself, on the calling thread.
    static void fetchNow(const posix::Result<std::string>& path, const FetchCompletion& completion);

private:
    MainThread& mainThread_;
    // Shared with the fetch jobs, which may outlive the store.
    std::shared_ptr<const posix::Result<std::string>> path_;
};

} // namespace drovix
