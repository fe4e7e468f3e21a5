// NSLog-style lines on standard error.
#include "platform/linux/LogSink.h"

#include "platform/linux/Services.h"
#include "platform/posix/Posix.h"

#include <errno.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace drovix {

namespace {

// The line as written now by this thread, named as the process was started.
std::string lineNow(std::string_view message)
{
    timespec time{};
    ::clock_gettime(CLOCK_REALTIME, &time);
    std::tm local{};
    ::localtime_r(&time.tv_sec, &local);
    char prefix[32];
    std::size_t length = std::strftime(prefix, sizeof prefix, "%F %T", &local);
    length += static_cast<std::size_t>(std::snprintf(prefix + length, sizeof prefix - length,
                                                     ".%03ld ", time.tv_nsec / 1'000'000));
    std::string line(prefix, std::min(length, sizeof prefix - 1));
    line += program_invocation_short_name;
    line += '[' + std::to_string(::getpid()) + ':' + std::to_string(::gettid()) + "] ";
    line += message;
    line += '\n';
    return line;
}

} // namespace

void StandardErrorLog::log(std::string_view message)
{
    const std::string line = lineNow(message);
    std::lock_guard lock(mutex_);
    (void)posix::writeAll(fd_, line);
}

std::unique_ptr<LogSink> makeLogSink()
{
    return std::make_unique<StandardErrorLog>();
}

} // namespace drovix
