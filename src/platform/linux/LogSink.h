// The log sink of a Linux process: NSLog-style lines on standard error.
#pragma once

#ifndef __linux__
#error "This file is the Linux implementation"
#endif

#include "platform/LogSink.h"

#include <mutex>
#include <string>
#include <string_view>

namespace drovix {

class StandardErrorLog final : public LogSink {
public:
    // Writes to fd, standard error unless a test says otherwise.
    explicit StandardErrorLog(int fd = 2) : fd_(fd) {}

    // "YYYY-MM-DD HH:MM:SS.mmm name[pid:tid] message", local time, one line at a time, so that
    // lines from several threads never mix. Failures, a closed or
    // broken standard error among them, are ignored: there is nowhere else to report them.
    void log(std::string_view message) override;

private:
    int fd_;
    std::mutex mutex_;
};

} // namespace drovix
