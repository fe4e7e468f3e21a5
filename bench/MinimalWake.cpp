// One wake of the minimal loop: a plain /proc scan and one read, with nothing cached.
#include "MinimalWake.h"

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace drovix::bench {

MinimalWakeResult minimalWake(const char* executable, const char* file)
{
    MinimalWakeResult result;

    if (DIR* proc = opendir("/proc")) {
        const std::size_t executableLength = std::strlen(executable);
        char linkPath[sizeof "/proc/" + sizeof(dirent::d_name) + sizeof "/exe"];
        char target[4096];
        while (const dirent* entry = readdir(proc)) {
            if (entry->d_name[0] < '1' || entry->d_name[0] > '9')
                continue;
            std::snprintf(linkPath, sizeof linkPath, "/proc/%s/exe", entry->d_name);
            const ssize_t length = readlink(linkPath, target, sizeof target);
            if (length > 0 && static_cast<std::size_t>(length) == executableLength &&
                std::memcmp(target, executable, executableLength) == 0)
                ++result.instances;
        }
        closedir(proc);
    }

    const int descriptor = open(file, O_RDONLY | O_CLOEXEC);
    if (descriptor >= 0) {
        char buffer[64 * 1024];
        ssize_t count;
        while ((count = read(descriptor, buffer, sizeof buffer)) > 0)
            result.bytesRead += static_cast<std::size_t>(count);
        close(descriptor);
    }
    return result;
}

} // namespace drovix::bench
