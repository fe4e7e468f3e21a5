// The processes of this user that run an executable from a bundle, as signalable handles.
#pragma once

#ifndef __linux__
#error "This file is the Linux implementation"
#endif

#include "platform/AppWorkspace.h"
#include "platform/posix/Posix.h"

#include <csignal>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace drovix {

// One running process, held through a pidfd: it can only ever signal the process it was made
// for, even once that process has ended and its pid has gone to another.
class BundleProcess final : public RunningApplication {
public:
    BundleProcess(pid_t pid, posix::FileDescriptor pidfd) : pid_(pid), pidfd_(std::move(pidfd)) {}

    // SIGTERM, not waited for.
    void terminate() override { sendSignal(SIGTERM); }

    // SIGKILL, not waited for.
    void forceTerminate() override { sendSignal(SIGKILL); }

    // 0 when the signal was sent, otherwise the errno (ESRCH once the process is gone).
    int sendSignal(int signal) const;

    pid_t pid() const { return pid_; }
    int pidfd() const { return pidfd_.get(); }

private:
    pid_t pid_;
    posix::FileDescriptor pidfd_;
};

// The real user of a process from the "Uid:" line of its /proc/<pid>/status; absent when the
// line is missing or malformed.
std::optional<uid_t> parseRealUid(std::string_view statusText);

// The live processes of this real user whose executable lies directly in the
// Contents/MacOS folder of a bundle that accepts(bundlePath) takes, in ascending pid order.
// accepts sees the bundle path as the kernel reports it: absolute, symbolic links resolved.
std::vector<std::unique_ptr<BundleProcess>>
bundleProcesses(const std::function<bool(const std::string& bundlePath)>& accepts);

} // namespace drovix
