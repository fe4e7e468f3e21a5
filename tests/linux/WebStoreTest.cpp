// The command record from CloudKit's web services on the real loop and libcurl, against a stand-in.
#include "StandInService.h"
#include "Support.h"
#include "platform/cloudkit/CommandRecordJson.h"
#include "platform/cloudkit/WebAuthToken.h"
#include "platform/linux/CommandRecordWebStore.h"

#include <sys/stat.h>

namespace drovix {
namespace {

using namespace support;

std::string record(const std::string& fields)
{
    return R"({"records":[{"recordName":"command","recordChangeTag":"t","fields":{)" + fields +
           "}}]}";
}

StandInReply failure(int status, const std::string& code, const std::string& more = "",
                     StandInReply::Then then = StandInReply::stay)
{
    return {status, R"({"uuid":"u","serverErrorCode":")" + code + "\"" + more + "}", "", then};
}

// A scratch home with a token file, a store on a loop, and the stand-in it asks.
struct Service : Scratch {
    std::string folder = path + "/config/cloud/iCloud.t";
    std::string tokenFile = folder + "/web-auth-token";
    std::unique_ptr<MainLoop> loop = std::move(*MainLoop::create());
    StandInService standIn{path + "/ck.sock", [](const StandInRequest&) { return StandInReply{}; }};
    CommandRecordWebStore store{
        *loop, {"apiT0ken", "http://ck.test", path + "/ck.sock", "iCloud.t", 500, 500}, tokenFile};
    Service() { EXPECT_FALSE(posix::replaceFile(tokenFile, "aA0+9/zZ\n")); }
    std::string fetch() { return fetched(*loop, store); }
    std::string fetch(const StandInReply& reply)
    {
        standIn.answerWith([reply](const StandInRequest&) { return reply; });
        return fetch();
    }
};

TEST(WebStore, AnswersAsTheFileStoreDoesOnOneKeptConnectionAndBoundsWhatTheServiceSays)
{
    Service service;
    const std::string restart =
        R"("kind":{"value":"restart","type":"STRING"},"nonce":{"value":"n1"},)"
        R"("issuedAt":{"value":1000,"type":"TIMESTAMP"})";
    // A look while a request is on its way shares its answer.
    std::optional<std::string> shared;
    service.store.fetchCommandRecord(
        [&](auto record, auto) { shared = record.value_or(CommandRecord{}).kind; });
    EXPECT_EQ("restart|n1|1", service.fetch({200, record(restart)}));
    EXPECT_EQ("restart", shared);
    EXPECT_EQ("restart|n1|1", service.fetch({200, record(restart)}));
    const std::vector<StandInRequest> requests = service.standIn.requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ(1, requests[1].connection) << "a look is one request on a kept connection";
    EXPECT_EQ("/database/1/iCloud.t/production/private/records/lookup?ckAPIToken=apiT0ken&"
              "ckWebAuthToken=aA0%2B9%2FzZ",
              requests[0].target);
    EXPECT_EQ(R"({"records":[{"recordName":"command"}],"zoneID":{"zoneName":"_defaultZone"}})",
              requests[0].body);

    const std::string reason(300, 'r'), bounded = std::string(200, 'r') + "…";
    // An answer of exactly the bound, or a byte more.
    const auto sized = [](std::size_t size) {
        return record(R"("x":")" + std::string(size - record(R"("x":"")").size(), 'x') + "\"");
    };
    const std::vector<std::pair<StandInReply, std::string>> table = {
        {{200, R"({"records":[{"recordName":"command","serverErrorCode":"NOT_FOUND"}]})"}, "none"},
        {failure(421, "AUTHENTICATION_REQUIRED", R"(,"redirectURL":"https://sign.in/")"),
         "sign-in required — run drovix-command sign-in"},
        // The token taken out before the reason is cut to 200 bytes (here to exactly that).
        {failure(401, "AUTHENTICATION_FAILED",
                 R"(,"reason":")" + reason.substr(104) + " aA0+9/zZ\""),
         "AUTHENTICATION_FAILED: " + reason.substr(104) + " … — run drovix-command sign-in"},
        {failure(403, "ACCESS_DENIED"),
         "ACCESS_DENIED — with Advanced Data Protection on, the service answers only once \"Access "
         "iCloud Data on the Web\" is turned on in the iCloud settings of the user's Apple device"},
        {failure(500, "INTERNAL_ERROR", R"(,"reason":")" + reason + "\""),
         "INTERNAL_ERROR: " + bounded},
        {{502, "<html><body>Bad Gateway</body></html>"}, "HTTP 502"},
        {{302, "", "Location: http://ck.test/elsewhere\r\n"}, "HTTP 302"}, // never followed
        {{200, R"({"records":[]})"}, "the service's answer holds no record"},
        {{200, R"({"records":[{"fields":[]}, {}]})"}, "the service's answer holds no record"},
        {{200, "<html>"},
         "the service's answer is not valid JSON: parse error at line 1, column 1: "
         "syntax error while parsing value - invalid literal; last read: '<'"},
        {{200, sized(maxRecordJsonSize)}, "-|-|-"},
        {{200, "HTTP/1.1 200 X\r\n\r\n" + sized(maxRecordJsonSize + 1), "", StandInReply::raw},
         "the service's answer is larger than 64 KiB"}, // with no length to tell beforehand
        {{0, "", "", StandInReply::silent}, "Operation timed out after 5"},
    };
    const auto cpu = [] { return double(std::clock()) / CLOCKS_PER_SEC; };
    for (const auto& [reply, expected] : table) {
        const double cpuBefore = cpu();
        const std::string outcome = service.fetch(reply);
        EXPECT_EQ(expected, outcome.substr(0, expected.size())) << reply.body.substr(0, 100);
        EXPECT_EQ(std::string::npos, outcome.find("apiT0ken")) << outcome;
        EXPECT_LT(cpu() - cpuBefore, 0.1) << "the loop did not wait for libcurl's timer";
    }
    // Until retryAfter has passed, the service is not asked again and the answer stays. (The
    // service then drops the connection, as it drops idle ones.)
    const std::string throttled = "THROTTLED: slow down";
    EXPECT_EQ(throttled,
              service.fetch(failure(429, "THROTTLED", R"(,"reason":"slow down","retryAfter":600)",
                                    StandInReply::hangUp)));
    const std::size_t asked = service.standIn.requests().size();
    EXPECT_EQ(throttled, service.fetch({200, record(restart)}));
    EXPECT_EQ(asked, service.standIn.requests().size());
    // libcurl's timer, cleared with the last answer or with a store gone mid-request, rings no
    // more, and the dropped connection wakes nothing.
    service.standIn.answerWith([](const StandInRequest&) {
        return StandInReply{0, "", "", StandInReply::silent};
    });
    std::make_unique<CommandRecordWebStore>(
        *service.loop,
        WebServiceSettings{"a", "http://ck.test", service.path + "/ck.sock", "iCloud.t"},
        service.tokenFile)
        ->fetchCommandRecord([](auto, auto) { ADD_FAILURE() << "answered when gone"; });
    bool slept = false;
    service.loop->sleep(0.6, [&](SleepOutcome) { slept = true, service.loop->quit(); });
    const double cpuBefore = cpu();
    while (!slept)
        service.loop->run();
    EXPECT_LT(cpu() - cpuBefore, 0.1);
}

TEST(WebStore, KeepsTheTokenPrivateCurrentAndSharedWithTheWriter)
{
    Service service;
    // The token's folders are made private as the file is first written.
    EXPECT_EQ(fs::perms(0700), fs::status(service.folder).permissions());
    fs::remove(service.tokenFile);
    const StandInReply found{200, record(R"("kind":{"value":"start"})")};
    EXPECT_EQ("sign-in required — run drovix-command sign-in", service.fetch(found));
    ASSERT_FALSE(posix::replaceFile(service.tokenFile, "first\n"));
    ::chmod(service.tokenFile.c_str(), 0640);
    EXPECT_EQ(service.tokenFile + " can be read or written by others (mode 0640) — chmod 600 it",
              service.fetch(found));
    ::chmod(service.tokenFile.c_str(), 0600);
    ::chmod(service.folder.c_str(), 0770);
    EXPECT_EQ(service.folder + " can be written by others (mode 0770) — chmod 700 it",
              service.fetch(found));
    ::chmod(service.folder.c_str(), 0700);
    if (::getuid() == 0) {
        ::chown(service.tokenFile.c_str(), 65534, 65534);
        EXPECT_EQ(service.tokenFile + " belongs to another user (uid 65534)", service.fetch(found));
        ::chown(service.tokenFile.c_str(), 0, 0);
    }
    EXPECT_TRUE(service.standIn.requests().empty());

    // A replacement, through either header and on a refusal too, is stored whole and used next;
    // one the writer stores while a request is out is tried once when the service refuses.
    EXPECT_EQ("start|-|-", service.fetch({200, found.body, "X-Apple-CloudKit-Session: 2nd\r\n"}));
    EXPECT_EQ("THROTTLED", service.fetch({503, R"({"serverErrorCode":"THROTTLED"})",
                                          "X-Apple-CloudKit-Web-Auth-Token: 3rd\r\n"}));
    EXPECT_EQ("3rd\n", *posix::readRegularFile(service.tokenFile, 100));
    EXPECT_EQ(fs::perms(0600), fs::status(service.tokenFile + ".lock").permissions()); // its lock
    // A file unchanged since it was read or written is not read again; a changed one is.
    ::chmod(service.folder.c_str(), 0770);
    EXPECT_EQ("start|-|-", service.fetch(found));
    ::chmod(service.folder.c_str(), 0700);
    writeFile(service.tokenFile, "4th\n"); // in place, to the same size, within the second
    EXPECT_EQ("start|-|-", service.fetch(found));
    // The writer stores a token of its own at each refusal.
    const auto refusingBut = [&, stored = std::make_shared<int>(0)](const std::string& accepted) {
        return [&, stored, accepted](const StandInRequest& request) {
            if (request.target.ends_with("=" + accepted))
                return found;
            EXPECT_FALSE(posix::replaceFile(service.tokenFile, "t" + std::to_string(++*stored)));
            return failure(401, "AUTHENTICATION_FAILED");
        };
    };
    service.standIn.answerWith(refusingBut("t1"));
    EXPECT_EQ("start|-|-", service.fetch());
    service.standIn.answerWith(refusingBut("none"));
    EXPECT_EQ("AUTHENTICATION_FAILED — run drovix-command sign-in", service.fetch());
    EXPECT_EQ("AUTHENTICATION_FAILED — run drovix-command sign-in",
              service.fetch(failure(401, "AUTHENTICATION_FAILED")));
    std::vector<std::string> tokens;
    for (const StandInRequest& request : service.standIn.requests())
        tokens.push_back(request.target.substr(request.target.rfind('=') + 1));
    EXPECT_EQ(Strings({"first", "2nd", "3rd", "4th", "4th", "t1", "t1", "t2", "t3"}), tokens)
        << "each refusal tried again once";
    // The largest token and one past it; a link in the file's place.
    ASSERT_FALSE(posix::replaceFile(service.tokenFile, std::string(maxWebAuthTokenSize, 'k')));
    EXPECT_EQ("start|-|-", service.fetch(found));
    ASSERT_FALSE(posix::replaceFile(service.tokenFile, std::string(maxWebAuthTokenSize + 1, 'k')));
    EXPECT_EQ(service.tokenFile + " holds no usable token — run drovix-command sign-in",
              service.fetch(found));
    for (const std::string& linked : {service.tokenFile, service.folder}) {
        fs::rename(linked, linked + ".real"), fs::create_symlink(linked + ".real", linked);
        EXPECT_EQ(linked + " is a symbolic link: the token is read only from a file of its own, "
                           "in a folder of its own",
                  service.fetch(found));
    }

    // What comes back from signing in: the address the browser ended on, or the token alone.
    const std::pair<std::string, std::string> pasted[] = {
        {" https://x.test/cb?a=1&ckWebAuthToken=a%2Bb%2F%3D&b=2\n", "a+b/="},
        {"GET /cb?ckSession=s+1 HTTP/1.1", "s+1"},
        {"https://x.test/cb#ckSession=f+1/x=&y=2", "f+1/x="},
        {"https://x.test/cb?ckWebAuthToken=sp%20ace", "sp+ace"},
        {"t0k/en==", "t0k/en=="},
        {"https://x.test/cb?xckWebAuthToken=a", ""},
        {"https://x.test/cb?ckWebAuthToken=", ""},
        {"a token", ""},
        {"t\x7fk", ""},
        {"", ""}};
    for (const auto& [text, token] : pasted)
        EXPECT_EQ(token, webAuthTokenFrom(text)) << text;
}

TEST(WebStore, TheShippingSettingsRefuseAServerTheSystemDoesNotTrust)
{
    Service service;
    const std::string key = service.path + "/key.pem", certificate = service.path + "/cert.pem";
    Child made({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                "ec_paramgen_curve:P-256", "-nodes", "-days", "1", "-subj",
                "/CN=api.apple-cloudkit.com", "-addext",
                "subjectAltName=DNS:api.apple-cloudkit.com", "-keyout", key, "-out", certificate});
    ASSERT_EQ(0, made.reap());
    // OpenSSL 3.0's server takes no socket path of 32 characters or more, whatever TMPDIR is.
    const Scratch shortPath("/tmp");
    const std::string socket = shortPath.path + "/tls.sock";
    Child server({"/usr/bin/openssl", "s_server", "-quiet", "-unix", socket, "-key", key, "-cert",
                  certificate});
    // It listens a while after its socket's file is there.
    const auto listening = [&socket] {
        sockaddr_un address{AF_UNIX, {}};
        socket.copy(address.sun_path, sizeof address.sun_path - 1);
        const posix::FileDescriptor probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        return ::connect(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    };
    for (int attempt = 0; attempt < 5000 && !listening(); ++attempt)
        std::this_thread::sleep_for(2ms);
    CommandRecordWebStore shipping{*service.loop,
                                   {"a", "https://api.apple-cloudkit.com", socket, "iCloud.t"},
                                   service.tokenFile};
    EXPECT_THAT(fetched(*service.loop, shipping),
                ::testing::HasSubstr("SSL certificate problem: self-signed"));
}

} // namespace
} // namespace drovix
