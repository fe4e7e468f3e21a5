// CloudKit's web services for the command record: the requests both clients send (a lookup by
// the agent, a save and a sign-in by the command writer), on a libcurl handle with the service's
// limits, and how their answers read.
#pragma once

#include "platform/CommandRecordStore.h"

#include <curl/curl.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace drovix {

// How a build reaches the service.
struct WebServiceSettings {
    std::string apiToken;   // the container's API token, production environment
    std::string url;        // https://api.apple-cloudkit.com, or a stand-in's
    std::string unixSocket; // when not empty, requests go through it, and http:// is allowed
    std::string containerIdentifier;
    // A connection is given up after 15 s, and a whole request, from its start to the answer's
    // last byte, after 60 s: the time CloudKit on a Mac waits for data before it gives up.
    long connectTimeoutMilliseconds = 15'000;
    long requestTimeoutMilliseconds = 60'000;
};

// A longer retryAfter is taken as this: the service is asked again within the hour whatever it
// said.
inline constexpr double longestRetryAfter = 3600;

// How the service answered a request.
struct ServiceAnswer {
    enum class Kind { record, noRecord, failed };
    Kind kind = Kind::failed;
    CommandRecord record;
    // When failed: why, as a text fit for a log line, and the service's own code, if it named one.
    std::string failure;
    std::string serverErrorCode;
    std::optional<std::string> redirectUrl;
    // Seconds to wait before asking again, when the service said so.
    std::optional<double> retryAfter;
    // When failed: whether the service may have carried the request out all the same (no answer,
    // a cut or unreadable one, a 5xx), rather than refused it or never received it.
    bool outcomeUnknown = false;
    // The service's clock: when it saved the record answered (its "modified" timestamp), and the
    // answer's Date header.
    std::optional<Instant> savedAt;
    std::optional<Instant> dated;
};

// The bodies of the two requests: a lookup of the record "command" in the default zone, and a
// forced save of the record given as JSON.
std::string lookupRequestBody();
std::string saveRequestBody(std::string_view recordJson);

// One request at a time on a libcurl handle that is kept, with its connection, between requests:
// the writer performs it, the agent's loop drives it. HTTPS only (plain HTTP through a unix socket
// only), the peer and its name verified against the system's certificates, no redirect followed,
// answers read to 64 KiB.
class ServiceRequest {
public:
    explicit ServiceRequest(WebServiceSettings settings);
    ~ServiceRequest();
    ServiceRequest(const ServiceRequest&) = delete;
    ServiceRequest& operator=(const ServiceRequest&) = delete;

    // Null when libcurl could not make a handle.
    CURL* handle() const { return handle_; }

    // Sets up the next request: POST <url>/database/1/<container>/production/private/<operation>,
    // with the web auth token when it is not empty.
    void prepare(std::string_view operation, const std::string& webAuthToken, std::string body);

    // The answer once the transfer ended with result.
    ServiceAnswer answer(CURLcode result) const;

    // The token the service handed out with the last answer, or empty.
    std::string replacementToken() const;

private:
    static std::size_t collect(char* data, std::size_t size, std::size_t count, void* request);

    WebServiceSettings settings_;
    CURL* handle_;
    curl_slist* headers_;
    std::string url_;
    std::string body_;
    std::string answer_;
    bool answerTooLarge_ = false;
    // The tokens, as they are and as the URL carries them: never to appear in a text.
    std::array<std::string, 3> secrets_;
    char errorText_[CURL_ERROR_SIZE] = {};
};

} // namespace drovix
