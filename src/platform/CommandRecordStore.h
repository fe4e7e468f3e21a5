// The cloud record that carries commands to the agent.
#pragma once

#include "platform/Time.h"

#include <functional>
#include <optional>
#include <string>

namespace drovix {

// The record "command" as the agent reads it. A field that is missing or holds a value of
// another type is absent.
struct CommandRecord {
    std::optional<std::string> kind;
    std::optional<std::string> nonce;
    std::optional<Instant> issuedAt;
};

// Called exactly once, on a platform thread. A present record means success; otherwise error is
// the platform's description of what failed, or absent when there is simply no record yet.
using FetchCompletion =
    std::function<void(std::optional<CommandRecord> record, std::optional<std::string> error)>;

// One cloud container's handle: fetches the record "command" from the default zone of the
// user's private database.
class CommandRecordStore {
public:
    virtual ~CommandRecordStore() = default;

    // Returns at once; the completion runs later, elsewhere.
    virtual void fetchCommandRecord(FetchCompletion completion) = 0;
};

} // namespace drovix
