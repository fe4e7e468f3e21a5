// A stand-in for CloudKit's web services, for the tests, the benchmark and a demonstration without
// an Apple account: HTTP/1.1 on a unix socket and, when asked, on a loopback TCP port, where it
// answers browsers as the service does (CORS for the page's origin, the token headers exposed) and
// can serve the command page's files from a second port. Every connection is kept alive, and all
// are served on one thread of the stand-in's own, by a function of the caller's.
#pragma once

#include "platform/posix/Posix.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace drovix::support {

struct StandInRequest {
    int connection;     // counted from 1
    std::string method; // GET, POST, ...
    std::string target; // path and query
    std::string body;
    std::string host, origin; // the headers, or empty
    std::string pageOrigin;   // http://127.0.0.1:<port> of the page's files, when served
};

// An answer, and then: stay open; say nothing and stay open; close, as a server drops an idle
// connection; close without a word; announce the whole body and close halfway; write the answer
// a few bytes at a time; or write the body alone, as no HTTP server would. With a delay, it is
// held back that long while the stand-in serves other connections.
struct StandInReply {
    enum Then { stay, silent, hangUp, reset, cut, dribble, raw };
    int status = 200;
    std::string body{}, headers{}; // headers: whole lines, each ending in \r\n
    Then then = stay;
    int delay = 0; // ms
};

// A parameter of a request's query, as it is written there, or empty.
inline std::string queryParameter(const std::string& target, const std::string& name)
{
    const std::size_t query = target.find('?');
    for (std::size_t at = query; at != target.npos; at = target.find('&', at + 1)) {
        if (target.compare(at + 1, name.size() + 1, name + "=") == 0)
            return target.substr(at + name.size() + 2,
                                 target.find('&', at + 1) - at - name.size() - 2);
    }
    return {};
}

// The time on a clock offsetSeconds off this machine's, in ms since 1970, and as a Date header.
inline long long standInMilliseconds(double offsetSeconds)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
               .count() +
           (long long)(offsetSeconds * 1000);
}
inline std::string standInDate(double offsetSeconds)
{
    const std::time_t seconds = std::time_t(standInMilliseconds(offsetSeconds) / 1000);
    std::tm utc{};
    char text[64];
    ::gmtime_r(&seconds, &utc);
    return std::string(
        text, std::strftime(text, sizeof text, "Date: %a, %d %b %Y %H:%M:%S GMT\r\n", &utc));
}

class StandInService {
public:
    using Answer = std::function<StandInReply(const StandInRequest&)>;

    // Listens on the unix socket path; with onLoopback also on a port of 127.0.0.1, and with a
    // pageFolder serves its files on another, whose origin alone CORS lets read the answers.
    StandInService(const std::string& path, Answer answer, bool onLoopback = false,
                   std::string pageFolder = {})
        : answer_(std::move(answer)), pageFolder_(std::move(pageFolder))
    {
        sockaddr_un address{AF_UNIX, {}};
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        ::unlink(path.c_str());
        if (path.size() >= sizeof address.sun_path ||
            ::bind(listeners_[0].get(), reinterpret_cast<sockaddr*>(&address), sizeof address) !=
                0 ||
            ::listen(listeners_[0].get(), 8) != 0)
            throw std::runtime_error(posix::systemFailure(path).description);
        if (onLoopback)
            port_ = listenOnLoopback(listeners_[1]);
        if (!pageFolder_.empty())
            pageOrigin_ = "http://127.0.0.1:" + std::to_string(listenOnLoopback(listeners_[2]));
        thread_ = std::thread([this] { serve(); });
    }
    ~StandInService()
    {
        (void)::eventfd_write(stop_.get(), 1);
        thread_.join();
    }

    int port() const { return port_; }
    const std::string& pageOrigin() const { return pageOrigin_; }

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
    void forgetRequests()
    {
        std::lock_guard lock(mutex_);
        requests_.clear();
    }

private:
    enum Listener { unixSocket, service, page };
    struct Connection {
        posix::FileDescriptor fd;
        Listener from;
        int number;
        std::string bytes;
        std::optional<std::pair<std::chrono::steady_clock::time_point, StandInReply>> held{};
    };

    static int listenOnLoopback(posix::FileDescriptor& listener)
    {
        listener = posix::FileDescriptor(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::listen(listener.get(), 16) != 0 ||
            ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
            throw std::runtime_error(posix::systemFailure("127.0.0.1").description);
        return ntohs(address.sin_port);
    }

    void serve()
    {
        std::vector<std::unique_ptr<Connection>> connections;
        for (int number = 1;;) {
            std::vector<pollfd> entries{{stop_.get(), POLLIN, 0}};
            for (const auto& listener : listeners_)
                entries.push_back({listener.get(), POLLIN, 0}); // -1 is left alone
            // Until the first answer held back is due.
            auto due = std::chrono::steady_clock::time_point::max();
            for (const auto& connection : connections) {
                entries.push_back({connection->fd.get(), POLLIN, 0});
                if (connection->held)
                    due = std::min(due, connection->held->first);
            }
            const auto wait = [&] {
                if (due == std::chrono::steady_clock::time_point::max())
                    return -1;
                return int(std::max<long long>(0, std::chrono::ceil<std::chrono::milliseconds>(
                                                      due - std::chrono::steady_clock::now())
                                                      .count()));
            };
            if (posix::retryOnInterrupt(
                    [&] { return ::poll(entries.data(), entries.size(), wait()); }) < 0 ||
                entries[0].revents)
                return;
            for (std::size_t i = 0; i < listeners_.size(); ++i) {
                if (entries[1 + i].revents & POLLIN)
                    connections.push_back(std::make_unique<Connection>(
                        Connection{posix::FileDescriptor(::accept4(listeners_[i].get(), nullptr,
                                                                   nullptr, SOCK_CLOEXEC)),
                                   Listener(i),
                                   number++,
                                   {}}));
            }
            for (std::size_t i = 0; i + 1 + listeners_.size() < entries.size(); ++i) {
                Connection& connection = *connections[i];
                if ((entries[1 + listeners_.size() + i].revents && !read(connection)) ||
                    (connection.held &&
                     connection.held->first <= std::chrono::steady_clock::now() &&
                     !release(connection)))
                    connections[i].reset();
            }
            std::erase(connections, nullptr);
        }
    }

    // Whether the connection stays open, as for the functions below.
    bool read(Connection& connection)
    {
        char buffer[65536];
        const ssize_t count = ::read(connection.fd.get(), buffer, sizeof buffer);
        if (count <= 0)
            return false;
        connection.bytes.append(buffer, std::size_t(count));
        return answerWhole(connection);
    }

    bool release(Connection& connection)
    {
        const StandInReply held = std::move(connection.held->second);
        connection.held.reset();
        return reply(connection.fd.get(), held) && answerWhole(connection);
    }

    // Each request whole, its headers and then as much body as they announce, in turn: none
    // while an answer is held back.
    bool answerWhole(Connection& connection)
    {
        std::string& bytes = connection.bytes;
        for (std::size_t end, size; !connection.held &&
                                    (end = bytes.find("\r\n\r\n")) != bytes.npos &&
                                    bytes.size() >= end + 4 + (size = bodySize(bytes, end));) {
            const std::string head = bytes.substr(0, end + 2);
            const std::size_t from = head.find(' ') + 1;
            StandInRequest request{connection.number,
                                   head.substr(0, from - 1),
                                   head.substr(from, head.find(' ', from) - from),
                                   bytes.substr(end + 4, size),
                                   header(head, "host"),
                                   header(head, "origin"),
                                   pageOrigin_};
            bytes.erase(0, end + 4 + size);
            if (!answer(connection, request))
                return false;
        }
        return true;
    }

    // A header's value, its name matched in any case, or empty.
    static std::string header(const std::string& head, std::string name)
    {
        std::string lower = head;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        const std::size_t at = lower.find("\r\n" + name + ":");
        if (at == lower.npos)
            return {};
        std::string value = head.substr(at + name.size() + 3);
        value.resize(value.find("\r\n"));
        return value.substr(value.find_first_not_of(' ') == value.npos
                                ? value.size()
                                : value.find_first_not_of(' '));
    }

    static std::size_t bodySize(const std::string& bytes, std::size_t end)
    {
        const std::string length = header(bytes.substr(0, end + 2), "content-length");
        return length.empty() ? 0 : std::stoul(length);
    }

    bool answer(Connection& connection, const StandInRequest& request)
    {
        const int fd = connection.fd.get();
        const Listener from = connection.from;
        if (from == page)
            return reply(fd, pageFile(request.target));
        std::string cors;
        if (from == service && !request.origin.empty() && request.origin == pageOrigin_)
            cors = "Access-Control-Allow-Origin: " + request.origin +
                   "\r\nAccess-Control-Expose-Headers: X-Apple-CloudKit-Web-Auth-Token, "
                   "X-Apple-CloudKit-Session\r\nVary: Origin\r\n";
        if (request.method == "OPTIONS")
            return reply(fd, {204, "",
                              cors + "Access-Control-Allow-Methods: GET, POST\r\n"
                                     "Access-Control-Allow-Headers: Content-Type\r\n"});
        std::unique_lock lock(mutex_);
        requests_.push_back(request);
        StandInReply answered = answer_(request);
        lock.unlock();
        answered.headers += cors;
        if (answered.delay > 0) {
            connection.held.emplace(std::chrono::steady_clock::now() +
                                        std::chrono::milliseconds(answered.delay),
                                    std::move(answered));
            return true;
        }
        return reply(fd, answered);
    }

    static bool reply(int fd, const StandInReply& reply)
    {
        if (reply.then == StandInReply::silent)
            return true;
        if (reply.then == StandInReply::reset)
            return false;
        const std::string head =
            "HTTP/1.1 " + std::to_string(reply.status) + " X\r\n" + reply.headers +
            "Content-Length: " + std::to_string(reply.body.size()) + "\r\n\r\n";
        std::string whole = reply.then == StandInReply::raw ? reply.body : head + reply.body;
        if (reply.then == StandInReply::cut)
            whole.resize(head.size() + reply.body.size() / 2);
        const std::size_t step = reply.then == StandInReply::dribble ? 7 : whole.size();
        for (std::size_t at = 0; at < whole.size(); at += step) {
            // A client that went away is no reason for a signal.
            const std::string_view part = std::string_view(whole).substr(at, step);
            if (::send(fd, part.data(), part.size(), MSG_NOSIGNAL) != ssize_t(part.size()))
                return false;
            if (step < whole.size())
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return reply.then == StandInReply::stay || reply.then == StandInReply::dribble;
    }

    // The page's files, as a static host serves them with the headers docs/web.md asks for.
    StandInReply pageFile(std::string target) const
    {
        target = target.substr(0, target.find_first_of("?#"));
        if (target.ends_with("/"))
            target += "index.html";
        static const std::map<std::string, std::string> types = {
            {".html", "text/html"}, {".js", "text/javascript"}, {".mjs", "text/javascript"},
            {".css", "text/css"},   {".svg", "image/svg+xml"},  {".png", "image/png"}};
        const auto type = types.find(target.substr(std::min(target.rfind('.'), target.size())));
        const posix::Result<std::string> bytes =
            target.find("..") == target.npos && type != types.end()
                ? posix::readRegularFile(pageFolder_ + target, 1 << 20)
                : posix::Result<std::string>(posix::Failure{"no such file"});
        if (!bytes)
            return {404, "not found\n", "Content-Type: text/plain\r\n"};
        return {200, *bytes,
                "Content-Type: " + type->second +
                    "; charset=utf-8\r\nContent-Security-Policy: frame-ancestors 'none'\r\n"
                    "X-Content-Type-Options: nosniff\r\nCache-Control: no-store\r\n"};
    }

    Answer answer_;
    std::string pageFolder_, pageOrigin_;
    int port_ = 0;
    std::array<posix::FileDescriptor, 3> listeners_{
        posix::FileDescriptor(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))};
    posix::FileDescriptor stop_{::eventfd(0, EFD_CLOEXEC)};
    std::mutex mutex_;
    std::vector<StandInRequest> requests_;
    std::thread thread_;
};

// The service as a client meets it: keeps the record that the last save carried and gives it to
// lookups (NOT_FOUND before the first); asks for a sign-in when a request carries no web auth
// token, at an address that sends the browser back with one, as Apple's does for an API token
// whose callback is a URL redirect: to the page for pageApiToken, to its callback.html for any
// other. Odd sign-ins put the token in the query with a raw '+', even ones in the fragment as
// ckSession. With renewEvery, every such answer hands out a new token, through
// X-Apple-CloudKit-Session first, then X-Apple-CloudKit-Web-Auth-Token. Its clock runs
// clockOffset seconds off this machine's: every answer carries it in a Date header, and every
// record saved its times of creation and modification, in ms, as CloudKit gives them.
inline StandInService::Answer standInCloud(std::string pageApiToken = "page-api-token",
                                           int renewEvery = 0, double clockOffset = 0)
{
    struct State {
        std::string saved = R"({"recordName":"command","serverErrorCode":"NOT_FOUND"})";
        long long created = 0;
        int signIns = 0, answers = 0, renewals = 0, saves = 0;
    };
    auto state = std::make_shared<State>();
    return [state, pageApiToken, renewEvery, clockOffset](const StandInRequest& request) {
        const std::string date = standInDate(clockOffset);
        const auto parameter = [&](const std::string& name) {
            return queryParameter(request.target, name);
        };
        if (request.target.starts_with("/sign-in?")) {
            const std::string token = "signed+in" + std::to_string(++state->signIns) + "/t=";
            const std::string callback =
                request.pageOrigin +
                (parameter("ckAPIToken") == pageApiToken ? "/" : "/callback.html");
            return StandInReply{302, "",
                                date + "Location: " + callback +
                                    (state->signIns % 2 ? "?ckWebAuthToken=" : "#ckSession=") +
                                    token + "\r\n"};
        }
        if (parameter("ckWebAuthToken").empty())
            return StandInReply{421,
                                R"({"serverErrorCode":"AUTHENTICATION_REQUIRED","reason":)"
                                R"("request needs authorization","redirectURL":"http://)" +
                                    request.host +
                                    "/sign-in?ckAPIToken=" + parameter("ckAPIToken") + "\"}",
                                date};
        if (request.target.find("/records/modify?") != std::string::npos) {
            std::string& saved = state->saved;
            saved = request.body.substr(request.body.find("\"record\":") + 9);
            saved.resize(saved.rfind("}],"));
            if (saved.find("\"serverErrorCode\"") == saved.npos) {
                const long long now = standInMilliseconds(clockOffset);
                state->created = state->created ? state->created : now;
                saved.insert(saved.size() - 1,
                             ",\"recordChangeTag\":\"" + std::to_string(++state->saves) +
                                 "\",\"created\":{\"timestamp\":" + std::to_string(state->created) +
                                 "},\"modified\":{\"timestamp\":" + std::to_string(now) + "}");
            } else {
                state->created = 0;
            }
        }
        std::string renewal;
        if (renewEvery > 0 && ++state->answers % renewEvery == 0)
            renewal = std::string(state->renewals % 2 ? "X-Apple-CloudKit-Web-Auth-Token"
                                                      : "X-Apple-CloudKit-Session") +
                      ": renewed+" + std::to_string(++state->renewals) + "/t=\r\n";
        return StandInReply{200, "{\"records\":[" + state->saved + "]}", date + renewal};
    };
}

} // namespace drovix::support
