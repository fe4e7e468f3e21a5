// NSLog-style lines on standard error.
#include "platform/linux/LogSink.h"

#include "platform/linux/Services.h"

#include "platform/linux/Posix.h"

#include <algorithm>

#include <errno.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

namespace drovix {

namespace {

LogStamp stampNow()
{
    LogStamp stamp;
    timespec time{};
    ::clock_gettime(CLOCK_REALTIME, &time);
    ::localtime_r(&time.tv_sec, &stamp.localTime);
    stamp.milliseconds = static_cast<int>(time.tv_nsec / 1'000'000);
    stamp.pid = ::getpid();
    stamp.tid = ::gettid();
    return stamp;
}

} // namespace

std::string formatLogLine(const LogStamp& stamp, std::string_view processName,
                          std::string_view message)
{
    char prefix[32];
    std::size_t length = std::strftime(prefix, sizeof prefix, "%F %T", &stamp.localTime);
    length += static_cast<std::size_t>(std::snprintf(prefix + length, sizeof prefix - length,
                                                     ".%03d ", stamp.milliseconds % 1000));
    std::string line(prefix, std::min(length, sizeof prefix - 1));
    line += processName;
    line += '[' + std::to_string(stamp.pid) + ':' + std::to_string(stamp.tid) + "] ";
    line += message;
    line += '\n';
    return line;
}

std::string executableFileName()
{
    posix::Result<std::string> path = posix::readLink("/proc/self/exe");
    if (!path)
        return program_invocation_short_name;
    return path->substr(path->rfind('/') + 1);
}

StandardErrorLog::StandardErrorLog(int fd) : fd_(fd), processName_(executableFileName())
{
    // localtime_r need not read the time zone by itself.
    ::tzset();
}

void StandardErrorLog::log(std::string_view message)
{
    const std::string line = formatLogLine(stampNow(), processName_, message);
    std::lock_guard lock(mutex_);
    (void)posix::writeAll(fd_, line);
}

std::unique_ptr<LogSink> makeLogSink()
{
    return std::make_unique<StandardErrorLog>();
}

} // namespace drovix
