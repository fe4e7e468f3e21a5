// A stand-in for CloudKit's web services on a unix socket: HTTP/1.1 with connections kept alive,
// served on a thread of its own by a function of the test's.
#pragma once

#include "Support.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <functional>
#include <mutex>

namespace drovix::support {

struct StandInRequest {
    std::string target; // path and query
    std::string body;
};

// An answer; a silent one is never given, the connection left open.
struct StandInReply {
    StandInReply(int code = 200, std::string text = {}, std::string lines = {}, bool never = false)
        : status(code), body(std::move(text)), headers(std::move(lines)), silent(never)
    {
    }
    int status;
    std::string body;
    std::string headers; // whole lines, each ending in \r\n
    bool silent;
};

class StandInService {
public:
    using Answer = std::function<StandInReply(const StandInRequest&)>;

    StandInService(const std::string& path, Answer answer) : answer_(std::move(answer))
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        ::unlink(path.c_str());
        EXPECT_TRUE(listener_.valid() &&
                    ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address),
                           sizeof address) == 0 &&
                    ::listen(listener_.get(), 8) == 0)
            << path;
        thread_ = std::thread([this] { serve(); });
    }
    ~StandInService()
    {
        const std::uint64_t one = 1;
        (void)::write(stop_.get(), &one, sizeof one);
        thread_.join();
    }

    // Answers from now on with answer; on the stand-in's thread, one request at a time.
    void answerWith(Answer answer)
    {
        std::lock_guard lock(mutex_);
        answer_ = std::move(answer);
    }
    int connections()
    {
        std::lock_guard lock(mutex_);
        return connections_;
    }
    std::vector<StandInRequest> requests()
    {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    void serve()
    {
        std::vector<std::pair<posix::FileDescriptor, std::string>> clients; // with unread bytes
        for (;;) {
            std::vector<pollfd> entries{{stop_.get(), POLLIN, 0}, {listener_.get(), POLLIN, 0}};
            for (auto& client : clients)
                entries.push_back({client.first.get(), POLLIN, 0});
            if (::poll(entries.data(), entries.size(), -1) < 0 || entries[0].revents)
                return;
            if (entries[1].revents) {
                clients.emplace_back(posix::FileDescriptor(::accept(listener_.get(), 0, 0)), "");
                std::lock_guard lock(mutex_);
                ++connections_;
            }
            for (std::size_t i = 2; i < entries.size(); ++i) {
                auto& [fd, bytes] = clients[i - 2];
                char buffer[65536];
                const ssize_t count = entries[i].revents ? ::read(fd.get(), buffer, sizeof buffer) : 0;
                if (entries[i].revents && count <= 0)
                    fd.reset(); // closed by the client
                bytes.append(buffer, count > 0 ? std::size_t(count) : 0);
                while (fd.valid() && answerOne(fd.get(), bytes)) {
                }
            }
            std::erase_if(clients, [](auto& client) { return !client.first.valid(); });
        }
    }

    // Answers the request at the start of bytes once it is all there, and drops it.
    bool answerOne(int fd, std::string& bytes)
    {
        const std::size_t end = bytes.find("\r\n\r\n");
        const std::size_t length = bytes.find("Content-Length: ");
        if (end == std::string::npos || length == std::string::npos ||
            bytes.size() < end + 4 + std::stoul(bytes.substr(length + 16)))
            return false;
        const std::size_t size = std::stoul(bytes.substr(length + 16));
        const std::size_t from = bytes.find(' ') + 1;
        StandInRequest request{bytes.substr(from, bytes.find(' ', from) - from),
                               bytes.substr(end + 4, size)};
        bytes.erase(0, end + 4 + size);
        StandInReply reply;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
            reply = answer_(request);
        }
        if (!reply.silent)
            (void)posix::writeAll(fd, "HTTP/1.1 " + std::to_string(reply.status) + " X\r\n" +
                                          reply.headers + "Content-Length: " +
                                          std::to_string(reply.body.size()) + "\r\n\r\n" +
                                          reply.body);
        return true;
    }

    Answer answer_;
    posix::FileDescriptor listener_{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    posix::FileDescriptor stop_{::eventfd(0, EFD_CLOEXEC)};
    std::mutex mutex_;
    int connections_ = 0;
    std::vector<StandInRequest> requests_;
    std::thread thread_;
};

} // namespace drovix::support
