// The web auth token file: checked as ssh checks a private key, read only when it changed.
#include "platform/cloudkit/WebAuthToken.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace drovix {

namespace {

// A file's times of modification and change in nanoseconds: Linux and macOS name them
// differently.
template <typename Stat> std::pair<long long, long long> fileTimes(const Stat& status)
{
    const auto nanoseconds = [](const timespec& time) {
        return time.tv_sec * 1'000'000'000LL + time.tv_nsec;
    };
    if constexpr (requires { status.st_mtim; })
        return {nanoseconds(status.st_mtim), nanoseconds(status.st_ctim)};
    else
        return {nanoseconds(status.st_mtimespec), nanoseconds(status.st_ctimespec)};
}

std::string octal(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Why the user's own private file or folder at path is not that, if it is not.
std::optional<std::string> notPrivate(const std::string& path, const struct stat& status,
                                      mode_t forbidden, const char* remedy)
{
    if (status.st_uid != ::geteuid())
        return path + " belongs to another user (uid " + std::to_string(status.st_uid) + ")";
    if (status.st_mode & forbidden)
        return path + " can be " + (forbidden & S_IROTH ? "read or written" : "written") +
               " by others (mode " + octal(status.st_mode) + ") — " + remedy;
    return std::nullopt;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f')
        return (c | 0x20) - 'a' + 10;
    return -1;
}

// %XX sequences decoded; anything else, '+' among it, kept as it is.
std::string percentDecoded(std::string_view text)
{
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const int high = i + 2 < text.size() && text[i] == '%' ? hexDigit(text[i + 1]) : -1;
        const int low = high >= 0 ? hexDigit(text[i + 2]) : -1;
        if (low >= 0) {
            decoded += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

const char* fileName(const std::string& path)
{
    return path.c_str() + path.rfind('/') + 1;
}

// Why path could not be opened: a link where only the folder or the file itself may be is named.
posix::Failure openFailure(const std::string& path, int code)
{
    if (code == ENOENT || code == ENOTDIR)
        return posix::Failure{std::string(signInRequired), ENOENT};
    if (code == ELOOP)
        return posix::Failure{path + " is a symbolic link: the token is read only from a file "
                                     "of its own, in a folder of its own",
                              code};
    return posix::Failure{path + ": " + posix::errorText(code), code};
}

// The writers' lock on the token at path, held while the result lives.
posix::Result<posix::FileDescriptor> lockIn(int folder, const std::string& path)
{
    const std::string name = std::string(fileName(path)) + ".lock";
    posix::FileDescriptor lock(posix::retryOnInterrupt([&] {
        return ::openat(folder, name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    }));
    if (!lock.valid() || posix::retryOnInterrupt([&] { return ::flock(lock.get(), LOCK_EX); }) != 0)
        return posix::systemFailure("can't lock " + path + ".lock");
    return lock;
}

} // namespace

posix::Result<std::string> webAuthTokenPath(std::string_view containerIdentifier,
                                            const char* xdgConfigHome, const char* home)
{
    return posix::pathInUserFolder(xdgConfigHome, home, "/.config",
                                   "cloud/" + std::string(containerIdentifier) + "/web-auth-token",
                                   "the web auth token");
}

bool isUsableWebAuthToken(std::string_view token)
{
    return !token.empty() && token.size() <= maxWebAuthTokenSize &&
           std::all_of(token.begin(), token.end(), [](char c) { return c > ' ' && c < 0x7F; });
}

WebAuthTokenFile::Version WebAuthTokenFile::versionOf(const struct stat& status)
{
    return {status.st_dev, status.st_ino, status.st_size, fileTimes(status)};
}

std::string webAuthTokenFrom(std::string_view text)
{
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    for (const std::string_view name : {"ckWebAuthToken=", "ckSession="}) {
        for (std::size_t at = text.find(name); at != text.npos; at = text.find(name, at + 1)) {
            if (at == 0 || (text[at - 1] != '?' && text[at - 1] != '&' && text[at - 1] != '#'))
                continue;
            std::string_view value = text.substr(at + name.size());
            value = value.substr(0, value.find_first_of("&# "));
            std::string token = percentDecoded(value);
            // A page that read the query as a form gave '+' back as a space.
            std::replace(token.begin(), token.end(), ' ', '+');
            if (isUsableWebAuthToken(token))
                return token;
        }
    }
    // An address, or a request for one, without the token holds none.
    if (text.find("://") != text.npos || text.find('?') != text.npos)
        return {};
    return isUsableWebAuthToken(text) ? std::string(text) : std::string();
}

posix::Result<std::string> WebAuthTokenFile::current()
{
    if (!path_)
        return path_.failure();
    struct stat status {};
    if (::lstat(path_->c_str(), &status) != 0) {
        const int code = errno;
        if (code != ENOENT && code != ENOTDIR)
            return posix::Failure{*path_ + ": " + posix::errorText(code), code};
        // Removing the file signs the user out; whatever file comes next is read.
        token_.clear();
        return posix::Failure{std::string(signInRequired), code};
    }
    if (versionOf(status) == version_ && !token_.empty())
        return token_;
    return read();
}

posix::Result<posix::FileDescriptor> WebAuthTokenFile::openFolder(bool create) const
{
    const std::string folder = path_->substr(0, path_->rfind('/'));
    if (create) {
        if (std::optional<posix::Failure> failure = posix::makePrivateFolders(folder))
            return *failure;
    }
    posix::FileDescriptor opened(posix::retryOnInterrupt(
        [&] { return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    struct stat status {};
    if (!opened.valid()) {
        // A link to a folder fails as no folder at all: told apart, it is named for what it is.
        const int code = errno;
        return openFailure(folder, code == ENOTDIR && ::lstat(folder.c_str(), &status) == 0 &&
                                           S_ISLNK(status.st_mode)
                                       ? ELOOP
                                       : code);
    }
    if (::fstat(opened.get(), &status) != 0)
        return posix::systemFailure(folder);
    if (auto wrong = notPrivate(folder, status, S_IWGRP | S_IWOTH, "chmod 700 it"))
        return posix::Failure{*wrong};
    return opened;
}

posix::Result<std::string> WebAuthTokenFile::read()
{
    posix::Result<posix::FileDescriptor> folder = openFolder(false);
    if (!folder)
        return folder.failure();
    return read(folder->get());
}

posix::Result<std::string> WebAuthTokenFile::read(int folder)
{
    const std::string& path = *path_;
    const posix::FileDescriptor file(posix::retryOnInterrupt([&] {
        return ::openat(folder, fileName(path), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    }));
    struct stat status {};
    if (!file.valid())
        return openFailure(path, errno);
    if (::fstat(file.get(), &status) != 0)
        return posix::systemFailure(path);
    if (auto wrong =
            notPrivate(path, status, S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH, "chmod 600 it"))
        return posix::Failure{*wrong};
    posix::Result<std::string> bytes = posix::readRegularFile(file.get(), maxWebAuthTokenSize);
    if (!bytes)
        return posix::Failure{path + ": " + bytes.error(), bytes.failure().code};
    std::string_view token = *bytes;
    while (!token.empty() && (token.back() == '\n' || token.back() == '\r' || token.back() == ' '))
        token.remove_suffix(1);
    if (!isUsableWebAuthToken(token))
        return posix::Failure{path + " holds no usable token — run drovix-command sign-in"};
    version_ = versionOf(status);
    token_ = token;
    return token_;
}

std::optional<posix::Failure> WebAuthTokenFile::write(int folder, const std::string& token)
{
    const std::string& path = *path_;
    if (auto failure = posix::replaceFileIn(folder, path.substr(0, path.rfind('/')), fileName(path),
                                            token + "\n"))
        return failure;
    struct stat status {};
    if (::fstatat(folder, fileName(path), &status, AT_SYMLINK_NOFOLLOW) == 0)
        version_ = versionOf(status);
    token_ = token;
    return std::nullopt;
}

std::optional<posix::Failure> WebAuthTokenFile::store(const std::string& token)
{
    if (!path_)
        return path_.failure();
    posix::Result<posix::FileDescriptor> folder = openFolder(true);
    if (!folder)
        return folder.failure();
    const posix::Result<posix::FileDescriptor> lock = lockIn(folder->get(), *path_);
    if (!lock)
        return lock.failure();
    return write(folder->get(), token);
}

std::optional<posix::Failure> WebAuthTokenFile::renew(const std::string& used,
                                                      const std::string& renewal)
{
    if (!path_)
        return path_.failure();
    posix::Result<posix::FileDescriptor> folder = openFolder(false);
    posix::Result<posix::FileDescriptor> lock =
        folder ? lockIn(folder->get(), *path_) : folder.failure();
    if (!lock) {
        token_ = renewal; // for this process, where the file can't be reached
        return lock.failure();
    }
    // Under the lock, the file holds either the token the request went out with, or a newer one
    // that a sign-in stored meanwhile: only the first is renewed.
    const posix::Result<std::string> stored = read(folder->get());
    if (!stored)
        return stored.failure().code == ENOENT ? std::nullopt // signed out meanwhile
                                               : std::optional(stored.failure());
    if (*stored != used)
        return std::nullopt;
    if (std::optional<posix::Failure> failure = write(folder->get(), renewal)) {
        token_ = renewal; // the file as last read stays the version in use, with this token
        return failure;
    }
    return std::nullopt;
}

std::string WebAuthTokenFile::newerThan(const std::string& used)
{
    if (!path_)
        return {};
    posix::Result<std::string> stored = read();
    return stored && *stored != used ? *stored : std::string();
}

} // namespace drovix
