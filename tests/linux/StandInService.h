// A stand-in for CloudKit's web services on a unix socket: HTTP/1.1 with the connection kept
// alive, served one connection at a time on a thread of its own by a function of the test's. The
// benchmark and the footprint script serve the agent with it too.
#pragma once

#include "platform/posix/Posix.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace drovix::support {

struct StandInRequest {
    int connection;     // counted from 1
    std::string target; // path and query
    std::string body;
};

// An answer. A silent one is never given, the connection left open; after a hang-up, the
// connection is closed, as a server drops an idle one.
struct StandInReply {
    enum Then { stay, silent, hangUp };
    int status = 200;
    std::string body{}, headers{}; // headers: whole lines, each ending in \r\n
    Then then = stay;
};

class StandInService {
public:
    using Answer = std::function<StandInReply(const StandInRequest&)>;

    StandInService(const std::string& path, Answer answer) : answer_(std::move(answer))
    {
        sockaddr_un address{AF_UNIX, {}};
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        ::unlink(path.c_str());
        if (path.size() >= sizeof address.sun_path ||
            ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_.get(), 8) != 0)
            throw std::runtime_error(posix::systemFailure(path).description);
        thread_ = std::thread([this] { serve(); });
    }
    ~StandInService()
    {
        (void)::eventfd_write(stop_.get(), 1);
        thread_.join();
    }

    // Answers from now on with answer, called on the stand-in's thread.
    void answerWith(Answer answer)
    {
        std::lock_guard lock(mutex_);
        answer_ = std::move(answer);
    }
    std::vector<StandInRequest> requests()
    {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    // Whether fd turned readable before the stand-in was stopped.
    bool await(int fd)
    {
        pollfd entries[2] = {{stop_.get(), POLLIN, 0}, {fd, POLLIN, 0}};
        return ::poll(entries, 2, -1) > 0 && !entries[0].revents;
    }

    void serve()
    {
        for (int connection = 1; await(listener_.get()); ++connection) {
            const posix::FileDescriptor client(::accept(listener_.get(), nullptr, nullptr));
            std::string bytes;
            char buffer[65536];
            bool open = true;
            for (ssize_t count; open && await(client.get()) &&
                                (count = ::read(client.get(), buffer, sizeof buffer)) > 0;) {
                bytes.append(buffer, std::size_t(count));
                // Each request whole: its headers, then as much body as they announce.
                for (std::size_t end, size; open && (end = bytes.find("\r\n\r\n")) != bytes.npos &&
                                            bytes.size() >= end + 4 + (size = bodySize(bytes));) {
                    const std::size_t from = bytes.find(' ') + 1;
                    open = answer(client.get(),
                                  {connection, bytes.substr(from, bytes.find(' ', from) - from),
                                   bytes.substr(end + 4, size)});
                    bytes.erase(0, end + 4 + size);
                }
            }
        }
    }

    static std::size_t bodySize(const std::string& bytes)
    {
        const std::size_t length = bytes.find("Content-Length: ");
        return length == bytes.npos ? 0 : std::stoul(bytes.substr(length + 16));
    }

    // Whether the connection stays open.
    bool answer(int fd, const StandInRequest& request)
    {
        std::unique_lock lock(mutex_);
        requests_.push_back(request);
        const StandInReply reply = answer_(request);
        lock.unlock();
        if (reply.then != StandInReply::silent)
            (void)posix::writeAll(fd, "HTTP/1.1 " + std::to_string(reply.status) + " X\r\n" +
                                          reply.headers +
                                          "Content-Length: " + std::to_string(reply.body.size()) +
                                          "\r\n\r\n" + reply.body);
        return reply.then != StandInReply::hangUp;
    }

    Answer answer_;
    posix::FileDescriptor listener_{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    posix::FileDescriptor stop_{::eventfd(0, EFD_CLOEXEC)};
    std::mutex mutex_;
    std::vector<StandInRequest> requests_;
    std::thread thread_;
};

// Keeps the record that the last save carried and gives it to lookups (NOT_FOUND before the
// first), and asks for a sign-in when a request carries no web auth token.
inline StandInService::Answer keepingTheRecord()
{
    auto saved =
        std::make_shared<std::string>(R"({"recordName":"command","serverErrorCode":"NOT_FOUND"})");
    return [saved](const StandInRequest& request) {
        if (request.target.find("&ckWebAuthToken=") == std::string::npos)
            return StandInReply{421, R"({"serverErrorCode":"AUTHENTICATION_REQUIRED",)"
                                     R"("redirectURL":"https://sign.in/"})"};
        if (request.target.find("/records/modify?") != std::string::npos) {
            *saved = request.body.substr(request.body.find("\"record\":") + 9);
            saved->resize(saved->rfind("}],"));
        }
        return StandInReply{200, "{\"records\":[" + *saved + "]}"};
    };
}

} // namespace drovix::support
