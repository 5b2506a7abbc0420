// An in-process HTTP server on 127.0.0.1 that stands in for the cloud
// metadata services. Tests register routes, point the endpoint variables at
// url()/hostPort(), and afterwards inspect what was asked.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport {

using Headers = std::vector<std::pair<std::string, std::string>>;

// One answer. Routes are tried in the order they were added; the first whose
// method, path and required headers all match answers.
struct Route {
    std::string method = "GET";
    std::string path;
    int status = 200;
    std::string body;
    Headers required;         // name (any case) and exact value
    Headers responseHeaders;  // e.g. Location
    std::chrono::milliseconds delay{0};  // before the answer starts
    std::chrono::milliseconds drip{0};   // > 0: the body goes out a byte at a time
    bool chunked = false;                // no Content-Length

    static Route Get(const std::string& path) { return Make("GET", path); }
    static Route Put(const std::string& path) { return Make("PUT", path); }
    static Route Make(const std::string& method, const std::string& path) {
        Route route;
        route.method = method;
        route.path = path;
        return route;
    }
    Route& Status(int value) { status = value; return *this; }
    Route& Body(const std::string& value) { body = value; return *this; }
    Route& Require(const std::string& name, const std::string& value) {
        required.emplace_back(name, value);
        return *this;
    }
    Route& Header(const std::string& name, const std::string& value) {
        responseHeaders.emplace_back(name, value);
        return *this;
    }
    Route& Delay(std::chrono::milliseconds value) { delay = value; return *this; }
    // Accepts the request and never answers (until the server stops).
    Route& Hang() { delay = std::chrono::hours(1); return *this; }
    Route& Drip(std::chrono::milliseconds every) { drip = every; return *this; }
    Route& Chunked() { chunked = true; return *this; }
};

struct RecordedRequest {
    std::string method;
    std::string path;
    std::string query;  // "name=value&..." sorted by name ("" when none)
    Headers headers;
    std::string body;
    bool expected = false;  // some route answered it

    bool has(const std::string& name) const;
    // The first value of the header (name in any case), "" when absent.
    std::string header(const std::string& name) const;
};

class MetadataServer {
public:
    // Listening on return, on a loopback address ("127.0.0.1" or "::1").
    explicit MetadataServer(std::string address = "127.0.0.1");
    ~MetadataServer();  // interrupts delayed and dripping answers
    MetadataServer(const MetadataServer&) = delete;
    MetadataServer& operator=(const MetadataServer&) = delete;

    void On(const Route& route);

    int port() const { return m_port; }
    std::string hostPort() const;  // "127.0.0.1:PORT", "[::1]:PORT"
    std::string url() const;       // "http://" + hostPort()

    std::vector<RecordedRequest> requests() const;
    std::size_t count(const std::string& method, const std::string& path) const;
    // Requests no route answered (they got a 404); a test asserts there are none.
    std::vector<RecordedRequest> unexpected() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    std::string m_address;
    int m_port = 0;
};

// A loopback port where nothing listens: connections are refused.
int ClosedLoopbackPort();

}  // namespace testsupport
