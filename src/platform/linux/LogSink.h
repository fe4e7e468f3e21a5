// The log sink of a Linux process: NSLog-style lines on standard error.
#pragma once

#ifndef __linux__
#error "This file is the Linux implementation"
#endif

#include "platform/LogSink.h"

#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace drovix {

// Where and by whom a log line was written.
struct LogStamp {
    std::tm localTime{};
    int milliseconds = 0;
    pid_t pid = 0;
    pid_t tid = 0;
};

// "YYYY-MM-DD HH:MM:SS.mmm name[pid:tid] message\n".
std::string formatLogLine(const LogStamp& stamp, std::string_view processName,
                          std::string_view message);

// The file name of this process's executable.
std::string executableFileName();

class StandardErrorLog final : public LogSink {
public:
    // Writes to fd, standard error unless a test says otherwise.
    explicit StandardErrorLog(int fd = 2);

    // One write per line, so that lines from several threads never mix. Failures, a closed or
    // broken standard error among them, are ignored: there is nowhere else to report them.
    void log(std::string_view message) override;

private:
    int fd_;
    std::string processName_;
    std::mutex mutex_;
};

} // namespace drovix
