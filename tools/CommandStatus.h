// drovix-command status: the command waiting in the cloud, and what an agent would make of it.
#pragma once

#include "platform/CommandRecordStore.h"

#include <string>

namespace drovix::writer {

// The record as lines for a person: kind and nonce, its issue time in local time (ISO 8601) and
// age, and whether an agent would act on it now, at the instant now. An absent record is "no
// command yet".
std::string describeCommand(const std::optional<CommandRecord>& record, Instant now);

// The last of those lines alone, for a record with a kind and a nonce: what an agent would make of
// it now.
std::string verdictOf(const CommandRecord& record, Instant now);

} // namespace drovix::writer
