// The user's web auth token for CloudKit's web services, in a file of the user's own that the
// agent and the command writer share.
#pragma once

#include "platform/posix/Posix.h"

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace drovix {

// What the agent and the writer say when there is no token to ask with, or the service wants a
// new sign-in.
inline constexpr std::string_view signInRequired = "sign-in required — run drovix-command sign-in";

// Longer tokens are refused.
inline constexpr std::size_t maxWebAuthTokenSize = 16 * 1024;

// <config>/cloud/<containerIdentifier>/web-auth-token, where <config> is xdgConfigHome when it is
// an absolute path, else home + "/.config". Either may be null.
posix::Result<std::string> webAuthTokenPath(std::string_view containerIdentifier,
                                            const char* xdgConfigHome, const char* home);

// A token as it may be stored: not empty, within the bound, and printable ASCII with no space.
bool isUsableWebAuthToken(std::string_view token);

// The token in what came back from signing in: an address the sign-in page sent the browser to,
// or a request for it, with the token as ckWebAuthToken or ckSession in its query or fragment, or
// the token alone. Empty when it holds none.
std::string webAuthTokenFrom(std::string_view text);

// The token file: only the user's own, in a folder others cannot write, readable by no one else,
// and reached through no symbolic link. Read again whenever it is another file or has changed.
// Writes are whole, and made under an advisory lock (flock) on web-auth-token.lock beside it, which
// every process that writes the token takes, so that a renewal and a new sign-in never cross.
class WebAuthTokenFile {
public:
    explicit WebAuthTokenFile(posix::Result<std::string> path) : path_(std::move(path)) {}

    // The token to ask with. No file is signInRequired; a file others may read or write, or one
    // of another user, is refused with a text naming it and what is wrong. A token stored by
    // renew() stays in use when the file could not be written.
    posix::Result<std::string> current();

    // Stores the token the user signed in with, whatever the file held.
    std::optional<posix::Failure> store(const std::string& token);

    // Stores renewal, which the service handed out for used, but only while the file still holds
    // used: a token stored meanwhile (a new sign-in) wins, and is the one in use from then on. When
    // the file can't be written, the renewal is kept for this process alone and the failure
    // returned.
    std::optional<posix::Failure> renew(const std::string& used, const std::string& renewal);

    // After the service refused used: a token that the file holds now and that differs from it,
    // stored meanwhile by another client; else empty.
    std::string newerThan(const std::string& used);

private:
    // What identifies one version of the file: a replacement is another inode, an edit in place
    // changes the times.
    struct Version {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = -1;
        std::pair<long long, long long> times; // modified, changed
        bool operator==(const Version&) const = default;
    };
    static Version versionOf(const struct stat& status);

    // The token's folder, opened and checked; with create, made first when missing.
    posix::Result<posix::FileDescriptor> openFolder(bool create) const;
    posix::Result<std::string> read(int folder);
    posix::Result<std::string> read();
    // The token written in the open folder, under the lock held by the caller.
    std::optional<posix::Failure> write(int folder, const std::string& token);

    posix::Result<std::string> path_;
    Version version_;
    std::string token_;
};

} // namespace drovix
