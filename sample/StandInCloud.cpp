// drovix-cloud-stand-in: the stand-in of CloudKit's web services as a program, for the command
// page's tests and for trying the page, the agent and drovix-command without an Apple account.
//
//   drovix-cloud-stand-in --socket PATH [--page FOLDER] [--page-api-token TOKEN]
//                         [--renew-every N] [--clock-offset SECONDS]
//
// Prints "service http://127.0.0.1:<port>" and, with --page, "page http://127.0.0.1:<port>/",
// then serves until it is ended. Under /stand-in/ on the service's port, what a test steers it
// with: POST next (a reply "STATUS\r\nHeader: value\r\n\r\nBODY" for the next request, status 0
// never answered; empty for the service's own answer, the request carried out), where
// ?then=reset|silent|cut|hangUp|dribble|raw ends the reply otherwise and &delay=MS holds it
// back; POST record (the record lookups get; empty for none), GET requests (every request to
// the service so far, as JSON), POST reset. --clock-offset sets the service's clock that many
// seconds off this machine's.
#include "StandInService.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <optional>

using namespace drovix::support;

namespace {

constexpr std::string_view noRecord = R"({"recordName":"command","serverErrorCode":"NOT_FOUND"})";

// The next reply as a test gives it: empty for the service's own.
struct Steered {
    std::string text;
    std::optional<StandInReply::Then> then;
    int delay;
};

StandInReply replyFrom(const std::string& text)
{
    const std::size_t headersEnd = text.find("\r\n\r\n");
    const std::size_t lineEnd = text.find("\r\n");
    StandInReply reply{std::atoi(text.c_str())};
    if (headersEnd != text.npos) {
        reply.headers = text.substr(lineEnd + 2, headersEnd - lineEnd);
        reply.body = text.substr(headersEnd + 4);
        if (lineEnd == headersEnd)
            reply.headers.clear();
    }
    if (reply.status == 0)
        reply.then = StandInReply::silent;
    return reply;
}

} // namespace

int main(int argc, char** argv)
{
    std::string socket, page, pageApiToken = "page-api-token";
    int renewEvery = 0;
    double clockOffset = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view option = argv[i];
        if (option == "--socket")
            socket = argv[i + 1];
        else if (option == "--page")
            page = argv[i + 1];
        else if (option == "--page-api-token")
            pageApiToken = argv[i + 1];
        else if (option == "--renew-every")
            renewEvery = std::atoi(argv[i + 1]);
        else if (option == "--clock-offset")
            clockOffset = std::atof(argv[i + 1]);
    }
    if (socket.empty() || argc % 2 == 0) {
        std::fprintf(stderr, "usage: drovix-cloud-stand-in --socket PATH [--page FOLDER] "
                             "[--page-api-token TOKEN] [--renew-every N] "
                             "[--clock-offset SECONDS]\n");
        return 2;
    }

    struct Steering {
        std::mutex mutex;
        std::deque<Steered> next;
        StandInService::Answer cloud;
        std::vector<StandInRequest> requests;
    };
    auto steering = std::make_shared<Steering>();
    const auto makeCloud = [=] { return standInCloud(pageApiToken, renewEvery, clockOffset); };
    steering->cloud = makeCloud();
    const auto answer = [steering, makeCloud, clockOffset](const StandInRequest& request) {
        std::lock_guard lock(steering->mutex);
        if (!request.target.starts_with("/stand-in/")) {
            steering->requests.push_back(request);
            if (steering->next.empty() || request.target.starts_with("/sign-in"))
                return steering->cloud(request);
            const Steered next = steering->next.front();
            steering->next.pop_front();
            StandInReply reply =
                next.text.empty() ? steering->cloud(request) : replyFrom(next.text);
            if (!next.text.empty())
                reply.headers = standInDate(clockOffset) + reply.headers;
            reply.then = next.then.value_or(reply.then);
            reply.delay = next.delay;
            return reply;
        }
        const std::string what = request.target.substr(10, request.target.find('?') - 10);
        if (what == "next") {
            static const std::map<std::string, StandInReply::Then> thens = {
                {"stay", StandInReply::stay},     {"silent", StandInReply::silent},
                {"hangUp", StandInReply::hangUp}, {"reset", StandInReply::reset},
                {"cut", StandInReply::cut},       {"dribble", StandInReply::dribble},
                {"raw", StandInReply::raw}};
            const std::string then = queryParameter(request.target, "then");
            if (!then.empty() && !thens.contains(then))
                return StandInReply{400, "no such then\n"};
            steering->next.push_back({request.body,
                                      then.empty() ? std::nullopt : std::optional(thens.at(then)),
                                      std::atoi(queryParameter(request.target, "delay").c_str())});
        } else if (what == "record") {
            // Through the cloud's own save, with a token, as a client would.
            steering->cloud({0, "POST", "/records/modify?ckWebAuthToken=stand-in",
                             R"({"operations":[{"record":)" +
                                 (request.body.empty() ? std::string(noRecord) : request.body) +
                                 "}],",
                             "", "", ""});
        } else if (what == "requests") {
            nlohmann::json list = nlohmann::json::array();
            for (const StandInRequest& seen : steering->requests)
                list.push_back({{"method", seen.method},
                                {"target", seen.target},
                                {"body", seen.body},
                                {"origin", seen.origin}});
            return StandInReply{200, list.dump(), "Content-Type: application/json\r\n"};
        } else if (what == "reset") {
            steering->next.clear();
            steering->requests.clear();
            steering->cloud = makeCloud();
        } else {
            return StandInReply{404, "no such control\n"};
        }
        return StandInReply{204};
    };

    try {
        const StandInService service(socket, answer, true, page);
        std::printf("service http://127.0.0.1:%d\n", service.port());
        if (!page.empty())
            std::printf("page %s/\n", service.pageOrigin().c_str());
        std::fflush(stdout);
        for (;;)
            ::pause();
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "drovix-cloud-stand-in: %s\n", failure.what());
        return 1;
    }
}
