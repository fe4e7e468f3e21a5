// The command record from the record file instead of CloudKit, read on the main queue: the store
// of an agent built for checks on a Mac that has no iCloud account (DROVIX_MACOS_RECORD_FILE).
// No build that ships has it.
#include "Services.h"

#include "platform/posix/CommandRecordFileStore.h"

#include <stdlib.h>

#ifndef __APPLE__
#error "This file is the macOS implementation"
#endif

namespace drovix {

namespace {

// The file store posts each fetch to the main thread; the main queue is that thread's, whichever
// handle posts to it.
class MainQueueRecordFile final : public CommandRecordStore {
public:
    explicit MainQueueRecordFile(std::string_view containerIdentifier)
        : file_(*mainQueue_,
                commandRecordPath(containerIdentifier, ::getenv("XDG_DATA_HOME"), ::getenv("HOME")))
    {
    }

    void fetchCommandRecord(FetchCompletion completion) override
    {
        file_.fetchCommandRecord(std::move(completion));
    }

private:
    std::unique_ptr<MainThread> mainQueue_ = makeMainThread();
    CommandRecordFileStore file_;
};

} // namespace

std::unique_ptr<CommandRecordStore> openCommandContainer(std::string_view containerIdentifier)
{
    return std::make_unique<MainQueueRecordFile>(containerIdentifier);
}

} // namespace drovix
