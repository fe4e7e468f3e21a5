// libcurl's multi interface on the epoll main loop: its sockets are watched descriptors, its
// timer the loop's alarm.
#include "platform/linux/CommandRecordWebStore.h"

#include <sys/epoll.h>

#include <utility>

namespace drovix {

CommandRecordWebStore::CommandRecordWebStore(MainLoop& mainLoop, WebServiceSettings settings,
                                             posix::Result<std::string> tokenPath)
    : mainLoop_(mainLoop), multi_(curl_multi_init()), request_(std::move(settings)),
      tokenFile_(std::move(tokenPath))
{
    if (!multi_)
        return;
    curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &CommandRecordWebStore::watchSocket);
    curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &CommandRecordWebStore::setTimer);
    curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
}

CommandRecordWebStore::~CommandRecordWebStore()
{
    // libcurl stops watching each socket as it closes it.
    if (multi_) {
        curl_multi_remove_handle(multi_, request_.handle()); // nothing when not under way
        curl_multi_cleanup(multi_);
    }
    mainLoop_.setAlarm(std::nullopt, {});
}

void CommandRecordWebStore::fetchCommandRecord(FetchCompletion completion)
{
    waiting_.push_back(std::move(completion));
    if (asking_)
        return; // answered with the request under way
    if (MainLoop::now() < quietUntil_) {
        complete(std::nullopt, quietFailure_);
        return;
    }
    posix::Result<std::string> token = tokenFile_.current();
    if (!token) {
        complete(std::nullopt, token.error());
        return;
    }
    retried_ = false;
    ask(*token);
}

void CommandRecordWebStore::ask(const std::string& token)
{
    usedToken_ = token;
    request_.prepare("records/lookup", token, lookupRequestBody());
    if (!multi_ || !request_.handle()) {
        complete(std::nullopt, "libcurl could not make a handle");
        return;
    }
    const CURLMcode added = curl_multi_add_handle(multi_, request_.handle());
    if (added != CURLM_OK) {
        complete(std::nullopt, curl_multi_strerror(added));
        return;
    }
    // libcurl sets its timer now, to start the transfer from the loop.
    asking_ = true;
}

int CommandRecordWebStore::watchSocket(CURL*, curl_socket_t socket, int what, void* store, void*)
{
    auto& self = *static_cast<CommandRecordWebStore*>(store);
    if (what == CURL_POLL_REMOVE) {
        self.mainLoop_.unwatch(socket);
        return 0;
    }
    const std::uint32_t events =
        (what & CURL_POLL_IN ? EPOLLIN : 0u) | (what & CURL_POLL_OUT ? EPOLLOUT : 0u);
    const auto ready = [&self, socket](std::uint32_t came) {
        self.drive(socket, (came & EPOLLIN ? CURL_CSELECT_IN : 0) |
                               (came & EPOLLOUT ? CURL_CSELECT_OUT : 0) |
                               (came & (EPOLLERR | EPOLLHUP) ? CURL_CSELECT_ERR : 0));
    };
    // On failure libcurl fails the transfer, which then says why.
    return self.mainLoop_.watch(socket, events, ready) ? -1 : 0;
}

int CommandRecordWebStore::setTimer(CURLM*, long milliseconds, void* store)
{
    auto& self = *static_cast<CommandRecordWebStore*>(store);
    if (milliseconds < 0)
        self.mainLoop_.setAlarm(std::nullopt, {});
    else
        self.mainLoop_.setAlarm(static_cast<double>(milliseconds) / 1000,
                                [&self] { self.drive(CURL_SOCKET_TIMEOUT, 0); });
    return 0;
}

void CommandRecordWebStore::drive(curl_socket_t socket, int events)
{
    int running = 0;
    curl_multi_socket_action(multi_, socket, events, &running);
    std::optional<CURLcode> result;
    int left = 0;
    while (const CURLMsg* message = curl_multi_info_read(multi_, &left)) {
        if (message->msg == CURLMSG_DONE)
            result = message->data.result;
    }
    if (result)
        finished(*result);
}

void CommandRecordWebStore::finished(CURLcode result)
{
    curl_multi_remove_handle(multi_, request_.handle());
    asking_ = false;
    ServiceAnswer answer = request_.answer(result);
    // A renewal replaces only the token it renews, never one that a sign-in stored meanwhile; it
    // is in use even where the file can't be written.
    if (std::string replacement = request_.replacementToken();
        !replacement.empty() && replacement != usedToken_)
        (void)tokenFile_.renew(usedToken_, replacement);
    // The writer may have stored a newer token just as this request went out with the old one.
    if (answer.serverErrorCode == "AUTHENTICATION_FAILED" && !retried_) {
        if (const std::string newer = tokenFile_.newerThan(usedToken_); !newer.empty()) {
            retried_ = true;
            ask(newer);
            return;
        }
    }
    if (answer.retryAfter) {
        quietUntil_ = MainLoop::now() + durationInNanoseconds(*answer.retryAfter);
        quietFailure_ = answer.failure;
    }
    switch (answer.kind) {
    case ServiceAnswer::Kind::record:
        complete(std::move(answer.record), std::nullopt);
        break;
    case ServiceAnswer::Kind::noRecord:
        complete(std::nullopt, std::nullopt);
        break;
    case ServiceAnswer::Kind::failed:
        complete(std::nullopt, std::move(answer.failure));
        break;
    }
}

void CommandRecordWebStore::complete(std::optional<CommandRecord> record,
                                     std::optional<std::string> error)
{
    // As a job of its own, as the file store answers: never inside the fetch that asked.
    mainLoop_.post([waiting = std::exchange(waiting_, {}), record = std::move(record),
                    error = std::move(error)] {
        for (const FetchCompletion& completion : waiting)
            completion(record, error);
    });
}

} // namespace drovix
