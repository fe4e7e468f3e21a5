// CloudKit's web services: requests on libcurl, answers read by the record's own JSON reader.
#include "platform/cloudkit/WebService.h"

#include "platform/cloudkit/CommandRecordJson.h"
#include "platform/cloudkit/WebAuthToken.h"

#include <algorithm>
#include <cmath>

namespace drovix {

namespace {

const std::string answerName = "the service's answer";

using Secrets = std::array<std::string, 3>;

// The text with every secret in it taken out. Real ones are long; taking out a short one would
// only maim the text.
std::string withoutSecrets(std::string text, const Secrets& secrets)
{
    for (const std::string& secret : secrets) {
        for (std::size_t at; secret.size() >= 8 && (at = text.find(secret)) != secret.npos;)
            text.replace(at, secret.size(), "…");
    }
    return text;
}

// The service's own words are bounded before they reach a log line, once no secret is left in
// them to be cut in half.
std::string failureText(const RecordEntry& entry, const std::string& code, const Secrets& secrets)
{
    if (code == "AUTHENTICATION_REQUIRED")
        return std::string(signInRequired);
    std::string text = shortened(withoutSecrets(code, secrets), 64);
    if (const auto& reason = entry.text(RecordEntry::reason); reason && !reason->empty())
        text += ": " + shortened(withoutSecrets(*reason, secrets));
    if (code == "AUTHENTICATION_FAILED")
        text += " — run drovix-command sign-in";
    else if (code == "ACCESS_DENIED")
        text += " — with Advanced Data Protection on, the service answers only once \"Access "
                "iCloud Data on the Web\" is turned on in the iCloud settings of the user's "
                "Apple device";
    return text;
}

ServiceAnswer failed(const RecordEntry& entry, const Secrets& secrets)
{
    ServiceAnswer answer;
    answer.serverErrorCode = *entry.text(RecordEntry::serverErrorCode);
    answer.failure = failureText(entry, answer.serverErrorCode, secrets);
    answer.redirectUrl = entry.text(RecordEntry::redirectUrl);
    if (entry.retryAfter && *entry.retryAfter > 0) // NaN is not
        answer.retryAfter = std::min(*entry.retryAfter, longestRetryAfter);
    return answer;
}

ServiceAnswer failed(std::string text, bool outcomeUnknown)
{
    ServiceAnswer answer;
    answer.failure = std::move(text);
    answer.outcomeUnknown = outcomeUnknown;
    return answer;
}

// How an answer reads: its status (0 when none came) and body, unless the transfer failed.
ServiceAnswer readServiceAnswer(long status, std::string_view body, const Secrets& secrets)
{
    // The service carried out nothing it answered 2xx to without a record, or 5xx to, unless it
    // said so: THROTTLED is a refusal.
    if (status < 200 || status > 299) {
        // A failed request says why in an error dictionary, unless something on the way answered.
        const posix::Result<RecordEntry> entry =
            readRecordEntry(body, RecordPlace::wholeText, answerName);
        if (!entry || !entry->text(RecordEntry::serverErrorCode))
            return failed("HTTP " + std::to_string(status), status >= 500);
        ServiceAnswer answer = failed(*entry, secrets);
        answer.outcomeUnknown = status >= 500 && answer.serverErrorCode != "THROTTLED";
        return answer;
    }
    posix::Result<RecordEntry> entry =
        readRecordEntry(body, RecordPlace::firstOfRecords, answerName);
    if (!entry)
        return failed(entry.error(), true);
    if (const auto& code = entry->text(RecordEntry::serverErrorCode)) {
        // The record's own error: NOT_FOUND is no record yet.
        if (*code == "NOT_FOUND") {
            ServiceAnswer none;
            none.kind = ServiceAnswer::Kind::noRecord;
            return none;
        }
        return failed(*entry, secrets);
    }
    if (!entry->record)
        return failed(answerName + " holds no record", true);
    ServiceAnswer found;
    found.kind = ServiceAnswer::Kind::record;
    found.record = std::move(*entry->record);
    found.savedAt = entry->modifiedAt;
    return found;
}

// Whether libcurl failed before the request could reach the service.
bool failedBeforeSending(CURLcode result)
{
    switch (result) {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
        return true;
    default:
        return false;
    }
}

// Everything but the unreserved characters percent-encoded.
std::string percentEncoded(std::string_view text)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~')
            encoded += c;
        else
            encoded += {'%', digits[static_cast<unsigned char>(c) >> 4], digits[c & 15]};
    }
    return encoded;
}

} // namespace

std::string lookupRequestBody()
{
    return R"({"records":[{"recordName":"command"}],"zoneID":{"zoneName":"_defaultZone"}})";
}

std::string saveRequestBody(std::string_view recordJson)
{
    return R"({"operations":[{"operationType":"forceReplace","record":)" + std::string(recordJson) +
           R"(}],"zoneID":{"zoneName":"_defaultZone"}})";
}

ServiceRequest::ServiceRequest(WebServiceSettings settings)
    : settings_(std::move(settings)), handle_(curl_easy_init()),
      headers_(curl_slist_append(nullptr, "Content-Type: text/plain"))
{
    if (!handle_)
        return;
    // Through a unix socket the stand-in of the tests speaks plain HTTP; nothing else may.
    curl_easy_setopt(handle_, CURLOPT_PROTOCOLS_STR,
                     settings_.unixSocket.empty() ? "https" : "http,https");
    if (!settings_.unixSocket.empty())
        curl_easy_setopt(handle_, CURLOPT_UNIX_SOCKET_PATH, settings_.unixSocket.c_str());
    curl_easy_setopt(handle_, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(handle_, CURLOPT_CONNECTTIMEOUT_MS, settings_.connectTimeoutMilliseconds);
    curl_easy_setopt(handle_, CURLOPT_TIMEOUT_MS, settings_.requestTimeoutMilliseconds);
    curl_easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle_, CURLOPT_MAXFILESIZE_LARGE, curl_off_t{maxRecordJsonSize});
    curl_easy_setopt(handle_, CURLOPT_USERAGENT, "DrovixRescue/1.0");
    curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, headers_);
    curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, &ServiceRequest::collect);
    curl_easy_setopt(handle_, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(handle_, CURLOPT_ERRORBUFFER, errorText_);
}

ServiceRequest::~ServiceRequest()
{
    if (handle_)
        curl_easy_cleanup(handle_);
    curl_slist_free_all(headers_);
}

void ServiceRequest::prepare(std::string_view operation, const std::string& webAuthToken,
                             std::string body)
{
    // An API token is letters, digits, - and _, as the build checks: nothing to encode.
    secrets_ = {settings_.apiToken, webAuthToken, percentEncoded(webAuthToken)};
    url_ = settings_.url + "/database/1/" + percentEncoded(settings_.containerIdentifier) +
           "/production/private/" + std::string(operation) + "?ckAPIToken=" + settings_.apiToken;
    if (!webAuthToken.empty())
        url_ += "&ckWebAuthToken=" + secrets_[2];
    body_ = std::move(body);
    answer_.clear();
    answerTooLarge_ = false;
    errorText_[0] = '\0';
    if (!handle_)
        return;
    curl_easy_setopt(handle_, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(handle_, CURLOPT_POSTFIELDS, body_.c_str());
    curl_easy_setopt(handle_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_.size()));
}

std::size_t ServiceRequest::collect(char* data, std::size_t size, std::size_t count, void* request)
{
    auto& self = *static_cast<ServiceRequest*>(request);
    const std::size_t bytes = size * count;
    if (self.answer_.size() + bytes > maxRecordJsonSize) {
        self.answerTooLarge_ = true;
        return 0; // ends the transfer
    }
    self.answer_.append(data, bytes);
    return bytes;
}

ServiceAnswer ServiceRequest::answer(CURLcode result) const
{
    long status = 0;
    ServiceAnswer answer;
    if (!handle_)
        answer = failed("libcurl could not make a handle", false);
    else if (answerTooLarge_ || result == CURLE_FILESIZE_EXCEEDED)
        answer = failed(answerName + " is larger than 64 KiB", true);
    else if (result != CURLE_OK)
        answer = failed(errorText_[0] ? errorText_ : curl_easy_strerror(result),
                        !failedBeforeSending(result));
    else {
        curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &status);
        answer = readServiceAnswer(status, answer_, secrets_);
        curl_header* date = nullptr;
        if (curl_easy_header(handle_, "Date", 0, CURLH_HEADER, -1, &date) == CURLHE_OK) {
            if (const time_t at = curl_getdate(date->value, nullptr); at != -1)
                answer.dated = static_cast<Instant>(at);
        }
    }
    // Whatever libcurl put in a text, the tokens stay out of it.
    answer.failure = withoutSecrets(std::move(answer.failure), secrets_);
    return answer;
}

std::string ServiceRequest::replacementToken() const
{
    // The service renews a token through either header, on failures too.
    for (const char* name : {"X-Apple-CloudKit-Web-Auth-Token", "X-Apple-CloudKit-Session"}) {
        curl_header* header = nullptr;
        if (handle_ && curl_easy_header(handle_, name, 0, CURLH_HEADER, -1, &header) == CURLHE_OK &&
            isUsableWebAuthToken(header->value))
            return header->value;
    }
    return {};
}

} // namespace drovix
