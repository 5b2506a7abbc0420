#include "fakes/MetadataServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <optional>
#include <stdexcept>

namespace testsupport {

bool RecordedRequest::has(const std::string& name) const {
    return std::any_of(headers.begin(), headers.end(), [&name](const auto& header) {
        return strcasecmp(header.first.c_str(), name.c_str()) == 0;
    });
}

std::string RecordedRequest::header(const std::string& name) const {
    for (const auto& header : headers) {
        if (strcasecmp(header.first.c_str(), name.c_str()) == 0) {
            return header.second;
        }
    }
    return "";
}

struct MetadataServer::Impl {
    httplib::Server server;
    std::thread thread;

    mutable std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::vector<Route> routes;
    std::vector<RecordedRequest> records;

    // False when the server stops during the pause.
    bool Pause(std::chrono::milliseconds length) {
        std::unique_lock<std::mutex> lock(mutex);
        return !wake.wait_for(lock, length, [this] { return stopping; });
    }

    std::optional<Route> Choose(const httplib::Request& request) const {
        std::lock_guard<std::mutex> lock(mutex);
        for (const Route& route : routes) {
            if (route.method != request.method || route.path != request.path) {
                continue;
            }
            const bool all = std::all_of(
                route.required.begin(), route.required.end(), [&request](const auto& want) {
                    return request.has_header(want.first.c_str()) &&
                           request.get_header_value(want.first.c_str()) == want.second;
                });
            if (all) {
                return route;
            }
        }
        return std::nullopt;
    }

    void Handle(const httplib::Request& request, httplib::Response& response) {
        RecordedRequest record;
        record.method = request.method;
        record.path = request.path;
        record.body = request.body;
        for (const auto& param : request.params) {
            record.query += (record.query.empty() ? "" : "&") + param.first + "=" + param.second;
        }
        for (const auto& header : request.headers) {
            record.headers.emplace_back(header.first, header.second);
        }
        const std::optional<Route> route = Choose(request);
        record.expected = route.has_value();
        {
            std::lock_guard<std::mutex> lock(mutex);
            records.push_back(record);
        }
        if (!route) {
            response.status = 404;
            response.set_content("no route for this path", "text/plain");
            return;
        }
        if (route->delay.count() > 0 && !Pause(route->delay)) {
            response.status = 503;
            return;
        }
        response.status = route->status;
        for (const auto& header : route->responseHeaders) {
            response.set_header(header.first.c_str(), header.second);
        }
        const std::string body = route->body;
        const std::chrono::milliseconds drip = route->drip;
        if (drip.count() > 0 && !route->chunked) {
            response.set_content_provider(
                body.size(), "text/plain",
                [this, body, drip](size_t offset, size_t, httplib::DataSink& sink) {
                    return Pause(drip) && sink.write(body.data() + offset, 1);
                });
        } else if (route->chunked) {
            response.set_chunked_content_provider(
                "text/plain", [this, body, drip](size_t offset, httplib::DataSink& sink) {
                    if (offset >= body.size()) {
                        sink.done();
                        return true;
                    }
                    size_t size = std::min<size_t>(4096, body.size() - offset);
                    if (drip.count() > 0) {
                        if (!Pause(drip)) {
                            return false;
                        }
                        size = 1;
                    }
                    return sink.write(body.data() + offset, size);
                });
        } else {
            response.set_content(body, "text/plain");
        }
    }
};

MetadataServer::MetadataServer(std::string address)
    : m_impl(std::make_unique<Impl>()), m_address(std::move(address)) {
    Impl& impl = *m_impl;
    const auto handler = [&impl](const httplib::Request& request, httplib::Response& response) {
        impl.Handle(request, response);
    };
    impl.server.Get(".*", handler);
    impl.server.Put(".*", handler);
    impl.server.Post(".*", handler);
    impl.server.Delete(".*", handler);
    impl.server.Patch(".*", handler);
    impl.server.Options(".*", handler);
    // One request per connection: nothing lingers when the server stops.
    impl.server.set_keep_alive_max_count(1);
    m_port = impl.server.bind_to_any_port(m_address);
    if (m_port <= 0) {
        throw std::runtime_error("cannot bind a loopback port");
    }
    // Bound and listening already; connections queue until the loop runs.
    impl.thread = std::thread([&impl] { impl.server.listen_after_bind(); });
    // stop() does nothing to a server whose loop has not started yet.
    while (!impl.server.is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

MetadataServer::~MetadataServer() {
    {
        std::lock_guard<std::mutex> lock(m_impl->mutex);
        m_impl->stopping = true;
    }
    m_impl->wake.notify_all();
    m_impl->server.stop();
    m_impl->thread.join();
}

void MetadataServer::On(const Route& route) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->routes.push_back(route);
}

std::string MetadataServer::hostPort() const {
    const bool ipv6 = m_address.find(':') != std::string::npos;
    return (ipv6 ? "[" + m_address + "]" : m_address) + ":" + std::to_string(m_port);
}

std::string MetadataServer::url() const { return "http://" + hostPort(); }

std::vector<RecordedRequest> MetadataServer::requests() const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->records;
}

std::size_t MetadataServer::count(const std::string& method, const std::string& path) const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return static_cast<std::size_t>(std::count_if(
        m_impl->records.begin(), m_impl->records.end(), [&](const RecordedRequest& record) {
            return record.method == method && record.path == path;
        }));
}

std::vector<RecordedRequest> MetadataServer::unexpected() const {
    std::vector<RecordedRequest> found;
    for (const RecordedRequest& record : requests()) {
        if (!record.expected) {
            found.push_back(record);
        }
    }
    return found;
}

int ClosedLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error("socket failed");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t size = sizeof address;
    int port = -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);  // bound but never listening: nothing accepts on it
    if (port <= 0) {
        throw std::runtime_error("no loopback port");
    }
    return port;
}

}  // namespace testsupport

// cpp-httplib is not built with ThreadSanitizer, so the synchronisation
// inside it is invisible: a report that lies wholly in it says nothing about
// the library under test. Read by ThreadSanitizer alone.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
    return "race:libcpp-httplib.so\n";
}
