// The HTTP client against a loopback server: what goes out, what comes back,
// and the limits it keeps whatever the environment says.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>

#include "net/MetadataRequest.h"
#include "TestSupport.h"
#include "adapters/ZTLibCurl.h"
#include "fakes/MetadataServer.h"

namespace {

using testsupport::MetadataServer;
using testsupport::Route;
using testsupport::ScopedEnv;
using std::chrono::milliseconds;

struct Outcome {
    bool ok = false;
    long status = 0;
    bool haveBody = false;
    std::string body;  // whole body, NUL bytes included
    double seconds = 0;
};

Outcome Request(const std::string& url, const std::function<bool(ZTLibCurl&)>& setup = {},
                _http_req_type_ type = HTTP_REQ_GET) {
    Outcome outcome;
    ZTLibCurl curl;
    EXPECT_TRUE(curl.ZTLibCurlInit("text/plain", true, false, nullptr));
    if (setup) {
        EXPECT_TRUE(setup(curl));
    }
    const auto start = std::chrono::steady_clock::now();
    outcome.ok = curl.ZTLibCurlSendHttpReq(type, url, nullptr, 0, true, nullptr);
    outcome.seconds = testsupport::SecondsSince(start);
    outcome.status = curl.GetHttpStatus();
    unsigned long length = 0;
    const char* text = curl.GetHttpResponse(length, false);
    outcome.haveBody = text != nullptr;
    if (text != nullptr) {
        outcome.body.assign(text, length);
    }
    return outcome;
}

TEST(HttpClient, GetBringsTheBodyAndSendsOnlyWhatWasAsked) {
    MetadataServer server;
    const std::string id = testsupport::ReadFile(testsupport::DataPath("metadata/ec2-meta-data-instance-id-1.txt"));
    ASSERT_FALSE(id.empty());
    server.On(Route::Get("/latest/meta-data/instance-id").Body(id));

    const Outcome outcome = Request(server.url() + "/latest/meta-data/instance-id");
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.status, 200);
    EXPECT_EQ(outcome.body, id);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].header("Accept"), "text/plain");
    EXPECT_FALSE(requests[0].has("Metadata-Flavor"));
    EXPECT_TRUE(server.unexpected().empty());
}

TEST(HttpClient, AppendedHeaderGoesOutAndBrokenLinesAreRefused) {
    MetadataServer server;
    server.On(Route::Get("/h").Require("Metadata-Flavor", "Google").Body("ok"));
    const Outcome outcome = Request(server.url() + "/h", [](ZTLibCurl& curl) {
        return curl.ZTLibCurlAppendHeader(HTTP_HDR_CUSTOM, "Metadata-Flavor: Google");
    });
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.body, "ok");

    const char* const broken[] = {nullptr, "", "NoColon", ": no name",
                                  "X-A: 1\r\nX-Injected: 2", "X-A: 1\nX-B: 2"};
    for (const char* line : broken) {
        ZTLibCurl curl;
        ASSERT_TRUE(curl.ZTLibCurlInit(nullptr, true, false, nullptr));
        EXPECT_FALSE(curl.ZTLibCurlAppendHeader(HTTP_HDR_CUSTOM, line))
            << (line != nullptr ? line : "(null)");
    }
    EXPECT_TRUE(server.unexpected().empty());
}

TEST(HttpClient, StatusOutsideTwoHundredsFailsAndStaysReadable) {
    struct Case {
        int status;
        bool ok;
    };
    const Case cases[] = {{200, true}, {204, true}, {299, true}, {301, false}, {302, false},
                          {401, false}, {403, false}, {404, false}, {405, false}, {500, false}};
    // Also as on libcurl before 7.85, which refuses the protocol options by
    // name: the bit masks take over and every request still goes out.
    for (const ZTLibCurlFault names : {ZTLibCurlFault::None, ZTLibCurlFault::ProtocolNames}) {
        ZTLibCurl::InjectFaultForTesting(names);
        for (const Case& c : cases) {
            MetadataServer server;
            server.On(Route::Get("/item").Status(c.status).Body("page").Header("Location", "/moved"));
            server.On(Route::Get("/moved").Body("followed"));
            const Outcome outcome = Request(server.url() + "/item");
            EXPECT_EQ(outcome.ok, c.ok) << c.status;
            EXPECT_EQ(outcome.status, c.status);
            EXPECT_EQ(outcome.haveBody, c.ok) << c.status;  // an error page is never handed out
            EXPECT_EQ(server.count("GET", "/moved"), 0u) << "redirect followed on " << c.status;
        }
    }
    ZTLibCurl::InjectFaultForTesting(ZTLibCurlFault::None);

    const Outcome refused = Request("http://127.0.0.1:" +
                                    std::to_string(testsupport::ClosedLoopbackPort()) + "/item");
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.status, 0);
    EXPECT_FALSE(refused.haveBody);
}

TEST(HttpClient, TimeOutsBoundTheWholeTransfer) {
    struct Case {
        const char* name;
        CURLoption option;  // CURLOPT_LASTENTRY: none set
        int value;
        Route route;
        bool ok;
        double atLeast;
        double atMost;
    };
    const std::string dripped(40, 'x');
    const Case cases[] = {
        {"seconds", CURLOPT_TIMEOUT, 1, Route::Get("/t").Hang(), false, 0.8, 2.5},
        {"milliseconds", CURLOPT_TIMEOUT_MS, 300, Route::Get("/t").Hang(), false, 0.2, 1.5},
        {"default", CURLOPT_LASTENTRY, 0, Route::Get("/t").Hang(), false, 2.5, 6.0},
        {"default, dripping", CURLOPT_LASTENTRY, 0,
         Route::Get("/t").Body(dripped).Drip(milliseconds(150)), false, 2.5, 6.0},
        // 0 is no limit at all: the 3 s default must not come back.
        {"zero", CURLOPT_TIMEOUT, 0, Route::Get("/t").Delay(milliseconds(3500)).Body("late"), true,
         3.4, 10.0},
    };
    for (const Case& c : cases) {
        MetadataServer server;
        server.On(c.route);
        const Outcome outcome = Request(server.url() + "/t", [&c](ZTLibCurl& curl) {
            return c.option == CURLOPT_LASTENTRY ||
                   curl.ZTLibCurlSetAdditionalOptionsIntValue(c.option, c.value);
        });
        EXPECT_EQ(outcome.ok, c.ok) << c.name;
        EXPECT_GE(outcome.seconds, c.atLeast) << c.name;
        EXPECT_LE(outcome.seconds, c.atMost) << c.name;
    }
}

TEST(HttpClient, OnlyTimeOutOptionsAreAccepted) {
    ZTLibCurl curl;
    ASSERT_TRUE(curl.ZTLibCurlInit(nullptr, true, false, nullptr));
    EXPECT_TRUE(curl.ZTLibCurlSetAdditionalOptionsIntValue(CURLOPT_TIMEOUT, 5));
    EXPECT_TRUE(curl.ZTLibCurlSetAdditionalOptionsIntValue(CURLOPT_CONNECTTIMEOUT_MS, 500));
    EXPECT_FALSE(curl.ZTLibCurlSetAdditionalOptionsIntValue(CURLOPT_TIMEOUT, -1));
    EXPECT_FALSE(curl.ZTLibCurlSetAdditionalOptionsIntValue(CURLOPT_FOLLOWLOCATION, 1));
    EXPECT_FALSE(curl.ZTLibCurlSetAdditionalOptionsIntValue(CURLOPT_MAXFILESIZE, 1 << 30));
}

TEST(HttpClient, ProxyVariablesChangeNothing) {
    MetadataServer server;
    MetadataServer proxy;
    server.On(Route::Get("/latest/meta-data/instance-id").Body("i-direct"));
    const std::string target = server.url() + "/latest/meta-data/instance-id";

    ScopedEnv variables[] = {{"http_proxy", proxy.url().c_str()},
                             {"HTTP_PROXY", proxy.url().c_str()},
                             {"ALL_PROXY", proxy.url().c_str()},
                             {"all_proxy", proxy.url().c_str()},
                             {"NO_PROXY", nullptr},
                             {"no_proxy", nullptr}};
    (void)variables;

    // Control: plain libcurl with the same environment does go to the proxy,
    // so the variables are live in this process.
    {
        CURL* raw = curl_easy_init();
        ASSERT_NE(raw, nullptr);
        curl_easy_setopt(raw, CURLOPT_URL, target.c_str());
        curl_easy_setopt(raw, CURLOPT_TIMEOUT_MS, 2000L);
        curl_easy_setopt(raw, CURLOPT_NOSIGNAL, 1L);
        curl_write_callback discard = [](char*, size_t size, size_t count, void*) {
            return size * count;
        };
        curl_easy_setopt(raw, CURLOPT_WRITEFUNCTION, discard);
        curl_easy_perform(raw);
        curl_easy_cleanup(raw);
        ASSERT_EQ(proxy.requests().size(), 1u) << "environment proxy not picked up by libcurl";
    }

    const Outcome outcome = Request(target);
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.body, "i-direct");
    EXPECT_EQ(proxy.requests().size(), 1u) << "the client went through the proxy";
    EXPECT_EQ(server.count("GET", "/latest/meta-data/instance-id"), 1u);
}

TEST(HttpClient, BodyOverSixtyFourKibibytesIsRefused) {
    struct Case {
        const char* name;
        size_t size;
        bool chunked;
        bool ok;
    };
    const Case cases[] = {
        {"exactly the limit", ZTLibCurl::kMaxBodyBytes, false, true},
        {"exactly the limit, chunked", ZTLibCurl::kMaxBodyBytes, true, true},
        {"one byte over", ZTLibCurl::kMaxBodyBytes + 1, false, false},
        {"one byte over, chunked", ZTLibCurl::kMaxBodyBytes + 1, true, false},
        {"a mebibyte, chunked", 1024 * 1024, true, false},
    };
    for (const Case& c : cases) {
        MetadataServer server;
        Route route = Route::Get("/big").Body(std::string(c.size, 'a'));
        if (c.chunked) {
            route.Chunked();
        }
        server.On(route);
        const Outcome outcome = Request(server.url() + "/big");
        EXPECT_EQ(outcome.ok, c.ok) << c.name;
        EXPECT_EQ(outcome.haveBody, c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(outcome.body.size(), c.size) << c.name;
        }
    }
}

TEST(HttpClient, PutSendsAnEmptyBody) {
    MetadataServer server;
    server.On(Route::Put("/latest/api/token")
                  .Require("X-aws-ec2-metadata-token-ttl-seconds", "21600")
                  .Body("AQAEAExampleToken=="));
    const Outcome outcome = Request(
        server.url() + "/latest/api/token",
        [](ZTLibCurl& curl) {
            return curl.ZTLibCurlAppendHeader(HTTP_HDR_CUSTOM,
                                              "X-aws-ec2-metadata-token-ttl-seconds: 21600");
        },
        HTTP_REQ_PUT);
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.body, "AQAEAExampleToken==");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "PUT");
    EXPECT_EQ(requests[0].header("Content-Length"), "0");
    EXPECT_FALSE(requests[0].has("Expect"));
    EXPECT_EQ(requests[0].body, "");
    EXPECT_TRUE(server.unexpected().empty());
}

TEST(HttpClient, OnlyPlainHttpUrlsAreFetched) {
    MetadataServer server;
    server.On(Route::Get("/x").Body("x"));
    const std::string authority = server.hostPort();
    const std::string refused[] = {
        "https://" + authority + "/x", "ftp://" + authority + "/x", "dict://" + authority + "/x",
        "gopher://" + authority + "/x", "file:///etc/hostname", "//" + authority + "/x",
        authority + "/x", ""};
    for (const std::string& url : refused) {
        const Outcome outcome = Request(url);
        EXPECT_FALSE(outcome.ok) << url;
        EXPECT_FALSE(outcome.haveBody) << url;
    }
    EXPECT_TRUE(server.requests().empty());
    EXPECT_TRUE(Request("HTTP://" + authority + "/x").ok);  // the scheme has no case
}

TEST(HttpClient, ResponseBufferForms) {
    MetadataServer server;
    server.On(Route::Get("/empty"));
    server.On(Route::Get("/nul").Body(std::string("ab\0cd", 5)));

    // An empty answer is an answer, not a missing one.
    const Outcome empty = Request(server.url() + "/empty");
    EXPECT_TRUE(empty.ok);
    EXPECT_TRUE(empty.haveBody);
    EXPECT_EQ(empty.body, "");

    ZTLibCurl curl;
    ASSERT_TRUE(curl.ZTLibCurlInit(nullptr, true, false, nullptr));
    ASSERT_TRUE(curl.ZTLibCurlSendHttpReq(HTTP_REQ_GET, server.url() + "/nul", nullptr, 0, true,
                                          nullptr));
    unsigned long length = 0;
    char* detached = curl.GetHttpResponse(length, true);
    ASSERT_NE(detached, nullptr);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(std::string(detached), "ab");
    EXPECT_EQ(std::string(detached, 5), std::string("ab\0cd", 5));
    std::free(detached);
    EXPECT_EQ(curl.GetHttpResponse(length, false), nullptr);  // it went with the caller
}

TEST(HttpClient, CallbackTakesTheBodyInsteadOfTheBuffer) {
    static std::string received;
    received.clear();
    MetadataServer server;
    server.On(Route::Get("/cb").Body("streamed"));
    ZTLibCurl curl;
    ASSERT_TRUE(curl.ZTLibCurlInit(
        nullptr, true, false, [](void* data, unsigned long size, unsigned long count, void*) {
            received.append(static_cast<const char*>(data), size * count);
            return size * count;
        }));
    EXPECT_TRUE(
        curl.ZTLibCurlSendHttpReq(HTTP_REQ_GET, server.url() + "/cb", nullptr, 0, true, nullptr));
    EXPECT_EQ(received, "streamed");
    unsigned long length = 0;
    EXPECT_EQ(curl.GetHttpResponse(length, false), nullptr);
}

TEST(HttpClient, RequestWithoutInitFails) {
    MetadataServer server;
    ZTLibCurl curl;
    EXPECT_FALSE(
        curl.ZTLibCurlSendHttpReq(HTTP_REQ_GET, server.url() + "/x", nullptr, 0, true, nullptr));
    EXPECT_TRUE(server.requests().empty());
}

TEST(HttpClient, VerboseLogsNoHeaderValues) {
    testsupport::LogCapture log(4);
    MetadataServer server;
    server.On(Route::Get("/v").Body("secret-body-text"));
    ZTLibCurl curl;
    ASSERT_TRUE(curl.ZTLibCurlInit(nullptr, true, true, nullptr));
    ASSERT_TRUE(curl.ZTLibCurlAppendHeader(HTTP_HDR_CUSTOM, "X-aws-ec2-metadata-token: s3cr3t-t0k3n"));
    ASSERT_TRUE(
        curl.ZTLibCurlSendHttpReq(HTTP_REQ_GET, server.url() + "/v", nullptr, 0, true, nullptr));
    EXPECT_FALSE(log.lines().empty());
    EXPECT_FALSE(log.contains("s3cr3t-t0k3n"));
    EXPECT_FALSE(log.contains("secret-body-text"));
}

// The one metadata request: what it sends, what it keeps of the reply, and
// the set-up step that fails being the one logged.
TEST(MetadataRequest, SendsKeepsAndLogsEachStep) {
    namespace metadata = vmdetect::metadata;
    struct Case {
        const char* name;
        Route route;
        metadata::Request request;  // path only in url
        bool ready;
        bool ok;
        const char* body;
        const char* header;  // kept reply header
        const char* error;   // the one Error line's text, or nullptr
    };
    const auto request = [](const char* header, long timeoutMs, const char* reply,
                            bool put = false) {
        metadata::Request r;
        r.put = put;
        r.url = "/r";
        if (header != nullptr) {
            r.headers.push_back({header, "Failed to set test header"});
        }
        r.timeoutMs = timeoutMs;
        r.replyHeader = reply;
        return r;
    };
    const Route flavor = Route::Get("/r").Header("Metadata-Flavor", "Google").Body("v");
    const Case cases[] = {
        {"reply header, name in any case", flavor, request(nullptr, -1, "metadata-flavor"), true,
         true, "v", "Google", nullptr},
        {"reply header trimmed", Route::Get("/r").Header("X-Id", " \t id-1 \t").Body("v"),
         request(nullptr, -1, "X-Id"), true, true, "v", "id-1", nullptr},
        {"a longer name does not match", flavor, request(nullptr, -1, "Metadata"), true, true, "v",
         "", nullptr},
        {"none asked", flavor, request(nullptr, -1, nullptr), true, true, "v", "", nullptr},
        {"reply header on a refusal", Route::Get("/r").Status(404).Header("Metadata-Flavor", "x"),
         request(nullptr, -1, "Metadata-Flavor"), true, false, "", "x", nullptr},
        {"PUT with a header", Route::Put("/r").Require("X-T", "1").Body("tok"),
         request("X-T: 1", -1, nullptr, true), true, true, "tok", "", nullptr},
        {"time-out in ms", Route::Get("/r").Hang(), request(nullptr, 300, nullptr), true, false, "",
         "", nullptr},
        {"negative time-out", flavor, request(nullptr, -5, nullptr), false, false, "", "",
         "Failed to set curl timeout"},
        {"header refused", flavor, request("X-A: 1\r\nX-B: 2", -1, nullptr), false, false, "", "",
         "Failed to set test header"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::LogCapture log(0);
        MetadataServer server;
        server.On(c.route);
        metadata::Request sent = c.request;
        sent.url = server.url() + sent.url;
        const auto start = std::chrono::steady_clock::now();
        const metadata::Response response = metadata::Send(EvDebug(nullptr), "f()", sent);
        EXPECT_LE(testsupport::SecondsSince(start), 1.5);  // 300 ms at most
        EXPECT_EQ(response.ready, c.ready);
        EXPECT_EQ(response.ok, c.ok);
        EXPECT_EQ(response.body, c.body);
        EXPECT_EQ(response.header, c.header);
        EXPECT_EQ(server.requests().size(), c.ready ? 1u : 0u);
        EXPECT_TRUE(server.unexpected().empty());
        for (const auto& header : sent.headers) {
            EXPECT_TRUE(header.line.empty()) << "header kept after sending";
        }
        EXPECT_EQ(log.matching(" ERROR ").size(), c.error != nullptr ? 1u : 0u);
        EXPECT_TRUE(c.error == nullptr || log.contains(std::string("f(): ") + c.error));
    }
}

}  // namespace
