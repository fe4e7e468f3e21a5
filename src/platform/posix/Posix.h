// POSIX helpers shared by the Linux services and the command writer, which builds on macOS too:
// results that carry an error text, an owned file descriptor, EINTR retries, bounded file reads,
// atomic file replacement and short-lived worker threads.
#pragma once

#include <dirent.h>

#include <cerrno>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace drovix::posix {

// What went wrong, as a text for a log line, and the errno behind it when there is one.
struct Failure {
    explicit Failure(std::string text = {}, int error = 0)
        : description(std::move(text)), code(error)
    {
    }
    std::string description;
    int code; // errno, 0 for failures of content
};

// A value, or the failure that kept it from being made.
template <typename T> class Result {
public:
    Result(T value) : value_(std::move(value)) {}
    Result(Failure failure) : failure_(std::move(failure)) {}

    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }
    T& operator*() { return *value_; }
    const T& operator*() const { return *value_; }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }
    const Failure& failure() const { return failure_; }
    const std::string& error() const { return failure_.description; }

private:
    std::optional<T> value_;
    Failure failure_;
};

// The text of an errno value, e.g. "Permission denied".
std::string errorText(int code);

// "what: <text of errno>", with the current errno kept as the code.
Failure systemFailure(const std::string& what);

// Calls a system call again for as long as it fails with EINTR.
template <typename Call> auto retryOnInterrupt(Call call) -> decltype(call())
{
    decltype(call()) result;
    do {
        result = call();
    } while (result == -1 && errno == EINTR);
    return result;
}

// Sole owner of a file descriptor; closes it when it goes.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.fd_, -1));
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// Sole owner of an open directory stream; closes it when it goes.
struct DirectoryCloser {
    void operator()(DIR* directory) const { ::closedir(directory); }
};
using Directory = std::unique_ptr<DIR, DirectoryCloser>;

// A place in the user's folders: under the folder that xdgFolder names when it is an absolute
// path, else under home + homeFolder; then + "/" + rest. Either may be null; without either, the
// failure is "no home folder to find <what> in".
Result<std::string> pathInUserFolder(const char* xdgFolder, const char* home,
                                     std::string_view homeFolder, std::string_view rest,
                                     std::string_view what);

// Opens a file for reading (close-on-exec, never blocking on a FIFO). The failure names only the
// reason; callers add the path as they see fit.
Result<FileDescriptor> openForReading(const std::string& path);

// Reads a regular file (a /proc file too, whatever size it reports) up to its end or limit + 1
// bytes, whichever comes first: a result longer than limit means the file is too large. A
// descriptor that is no regular file fails with EINVAL ("not a regular file"). Failures name only
// the reason.
Result<std::string> readRegularFile(int fd, std::size_t limit);
Result<std::string> readRegularFile(const std::string& path, std::size_t limit);

// Writes all of bytes, in as many writes as it takes; the failure is "write: <reason>".
std::optional<Failure> writeAll(int fd, std::string_view bytes);

// Makes the folders on the way to folder that are missing, private to the user.
std::optional<Failure> makePrivateFolders(const std::string& folder);

// Replaces the file name in the open folder (folderName in texts) in one step, so that a reader
// sees the old contents or the new, never a part: a temporary file beside it, private to the user,
// flushed, then renamed over it. No link is followed. The failure names what failed and where.
std::optional<Failure> replaceFileIn(int folder, const std::string& folderName,
                                     const std::string& name, std::string_view contents);

// The same for the file at path, after making the folders on the way that are missing.
std::optional<Failure> replaceFile(const std::string& path, std::string_view contents);

// The target of a symbolic link; the failure names the link.
Result<std::string> readLink(const std::string& path);

// Runs work on a new detached thread that ends with it. When no thread can be made, runs it on
// the calling thread instead: callers accept either, as long as the work runs exactly once.
void runOnShortLivedThread(std::function<void()> work);

} // namespace drovix::posix
