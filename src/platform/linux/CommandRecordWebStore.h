// The command record from CloudKit's web services, asked on the agent's own main loop.
#pragma once

#ifndef __linux__
#error "This file is the Linux implementation"
#endif

#include "platform/CommandRecordStore.h"
#include "platform/cloudkit/WebAuthToken.h"
#include "platform/cloudkit/WebService.h"
#include "platform/linux/MainThread.h"

#include <string>
#include <vector>

namespace drovix {

// Looks the record up with the user's web auth token, through libcurl's multi interface driven
// by the main loop: a look costs no thread and never blocks the loop, and the connection is kept
// between looks. A fetch while one is under way shares its answer. The completion runs as a job
// of the main loop once the answer is in. After an answer with retryAfter, fetches answer the same
// failure without asking until that time has passed.
class CommandRecordWebStore final : public CommandRecordStore {
public:
    CommandRecordWebStore(MainLoop& mainLoop, WebServiceSettings settings,
                          posix::Result<std::string> tokenPath);
    ~CommandRecordWebStore() override;
    CommandRecordWebStore(const CommandRecordWebStore&) = delete;
    CommandRecordWebStore& operator=(const CommandRecordWebStore&) = delete;

    void fetchCommandRecord(FetchCompletion completion) override;

private:
    static int watchSocket(CURL*, curl_socket_t socket, int what, void* store, void*);
    static int setTimer(CURLM*, long milliseconds, void* store);

    void ask(const std::string& token);
    void drive(curl_socket_t socket, int events);
    void finished(CURLcode result);
    void complete(std::optional<CommandRecord> record, std::optional<std::string> error);

    MainLoop& mainLoop_;
    CURLM* multi_;
    ServiceRequest request_;
    WebAuthTokenFile tokenFile_;
    std::vector<FetchCompletion> waiting_;
    bool asking_ = false;
    std::string usedToken_;
    bool retried_ = false;
    BootNanoseconds quietUntil_ = 0;
    std::string quietFailure_;
};

} // namespace drovix
