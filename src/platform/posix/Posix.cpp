// POSIX helpers shared by the Linux services.
#include "platform/posix/Posix.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <random>
#include <system_error>
#include <thread>

namespace drovix::posix {

namespace {

// The GNU strerror_r returns the text, which may or may not live in buffer; the POSIX one (macOS)
// fills buffer and returns 0.
[[maybe_unused]] const char* strerrorText(const char* text, const char*)
{
    return text;
}
[[maybe_unused]] const char* strerrorText(int result, const char* buffer)
{
    return result == 0 ? buffer : "Unknown error";
}

} // namespace

std::string errorText(int code)
{
    char buffer[256];
    return strerrorText(::strerror_r(code, buffer, sizeof buffer), buffer);
}

Failure systemFailure(const std::string& what)
{
    const int code = errno;
    return Failure{what + ": " + errorText(code), code};
}

namespace {

Failure reasonOnly()
{
    const int code = errno;
    return Failure{errorText(code), code};
}

} // namespace

void FileDescriptor::reset(int fd)
{
    // close() is not retried: on Linux the descriptor is gone even when it reports EINTR.
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

Result<std::string> pathInUserFolder(const char* xdgFolder, const char* home,
                                     std::string_view homeFolder, std::string_view rest,
                                     std::string_view what)
{
    std::string folder;
    if (xdgFolder && xdgFolder[0] == '/')
        folder = xdgFolder;
    else if (home && home[0] == '/')
        folder = std::string(home) + std::string(homeFolder);
    else
        return Failure{"no home folder to find " + std::string(what) + " in"};
    while (folder.ends_with('/'))
        folder.pop_back();
    return folder + "/" + std::string(rest);
}

Result<FileDescriptor> openForReading(const std::string& path)
{
    // O_NONBLOCK keeps a FIFO put in place of a file from stalling the reader; it changes nothing
    // for regular files.
    const int fd =
        retryOnInterrupt([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); });
    if (fd < 0)
        return reasonOnly();
    return FileDescriptor(fd);
}

Result<std::string> readRegularFile(int fd, std::size_t limit)
{
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        return reasonOnly();
    if (!S_ISREG(status.st_mode))
        return Failure{"not a regular file", EINVAL};

    // The first read is sized by what the file reports, so that a small file costs a small
    // buffer; /proc files report 0 whatever they hold, and most fit a page. Room doubles from
    // there, never beyond what the limit needs.
    const std::size_t wanted = limit + 1;
    const std::size_t reported = static_cast<std::size_t>(std::max<off_t>(status.st_size, 0));
    std::string bytes(std::min(reported > 0 ? reported + 1 : 4096, wanted), '\0');
    std::size_t used = 0;
    while (used < wanted) {
        if (used == bytes.size())
            bytes.resize(std::min(bytes.size() * 2, wanted));
        const ssize_t count =
            retryOnInterrupt([&] { return ::read(fd, bytes.data() + used, bytes.size() - used); });
        if (count < 0)
            return reasonOnly();
        if (count == 0)
            break;
        used += static_cast<std::size_t>(count);
    }
    bytes.resize(used);
    return bytes;
}

Result<std::string> readRegularFile(const std::string& path, std::size_t limit)
{
    Result<FileDescriptor> file = openForReading(path);
    if (!file)
        return file.failure();
    return readRegularFile(file->get(), limit);
}

std::optional<Failure> writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t written =
            retryOnInterrupt([&] { return ::write(fd, bytes.data(), bytes.size()); });
        if (written <= 0)
            return systemFailure("write");
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return std::nullopt;
}

std::optional<Failure> makePrivateFolders(const std::string& folder)
{
    for (std::size_t next = 1; next <= folder.size(); ++next) {
        next = std::min(folder.find('/', next), folder.size());
        const std::string parent = folder.substr(0, next);
        if (::mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST)
            return systemFailure("can't create " + parent);
    }
    return std::nullopt;
}

std::optional<Failure> replaceFileIn(int folder, const std::string& folderName,
                                     const std::string& name, std::string_view contents)
{
    // mkostemp has no form relative to a folder descriptor: the same, by hand.
    std::random_device random;
    std::string temporary;
    FileDescriptor file;
    for (int attempt = 0; attempt < 100 && !file.valid(); ++attempt) {
        temporary = "." + name + "." + std::to_string(random() % 1'000'000'000);
        file.reset(retryOnInterrupt([&] {
            return ::openat(folder, temporary.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        }));
        if (!file.valid() && errno != EEXIST)
            break;
    }
    if (!file.valid())
        return systemFailure("can't create a temporary file in " + folderName);
    const std::string shown = folderName + "/" + temporary;
    std::optional<Failure> failure = writeAll(file.get(), contents);
    if (failure)
        failure->description = "can't write " + shown + ": " + failure->description;
    if (!failure && ::fsync(file.get()) != 0)
        failure = systemFailure("can't flush " + shown);
    if (!failure && ::renameat(folder, temporary.c_str(), folder, name.c_str()) != 0)
        failure =
            systemFailure("can't move " + shown + " into place at " + folderName + "/" + name);
    if (failure)
        ::unlinkat(folder, temporary.c_str(), 0);
    return failure;
}

std::optional<Failure> replaceFile(const std::string& path, std::string_view contents)
{
    const std::size_t slash = path.rfind('/');
    const std::string folder = path.substr(0, slash);
    if (std::optional<Failure> failure = makePrivateFolders(folder))
        return failure;
    const FileDescriptor opened(
        ::open(folder.empty() ? "/" : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!opened.valid())
        return systemFailure("can't open " + folder);
    return replaceFileIn(opened.get(), folder, path.substr(slash + 1), contents);
}

Result<std::string> readLink(const std::string& path)
{
    std::string target(256, '\0');
    for (;;) {
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length < 0)
            return systemFailure(path);
        if (static_cast<std::size_t>(length) < target.size()) {
            target.resize(static_cast<std::size_t>(length));
            return target;
        }
        // Possibly cut short: try again with more room, within reason.
        if (target.size() >= 64 * 1024)
            return Failure{path + ": link target too long", ENAMETOOLONG};
        target.resize(target.size() * 2);
    }
}

void runOnShortLivedThread(std::function<void()> work)
{
    // Shared, so that the work outlives a thread that could not be made and can run here.
    auto shared = std::make_shared<std::function<void()>>(std::move(work));
    try {
        std::thread([shared] { (*shared)(); }).detach();
    } catch (const std::system_error&) {
        (*shared)(); // with no thread to be had, here rather than never
    }
}

} // namespace drovix::posix
