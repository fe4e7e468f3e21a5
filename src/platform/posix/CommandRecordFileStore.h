// The command record as a file: the local stand-in for the private cloud database, kept in the
// record form of CloudKit's web services and replaced atomically by whoever writes it. The Linux
// agent's store, and that of a Mac agent built to read the file for checks (never one that ships).
#pragma once

#include "platform/CommandRecordStore.h"
#include "platform/MainThread.h"
#include "platform/posix/Posix.h"

#include <memory>
#include <string>
#include <string_view>

namespace drovix {

// <data>/cloud/<containerIdentifier>/private/_defaultZone/command.json, where <data> is
// xdgDataHome when it is an absolute path, else home + "/.local/share". Either may be null.
posix::Result<std::string> commandRecordPath(std::string_view containerIdentifier,
                                             const char* xdgDataHome, const char* home);

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
