// Metadata services that misbehave, seen through the exported functions: every
// fault ends the request within its time-out, follows no redirect and leaves
// the caller's output exactly as it was passed in.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "TestSupport.h"
#include "adapters/ZTLibCurl.h"
#include "ZTVMDetect.h"
#include "fakes/FakeCloud.h"
#include "fakes/MetadataServer.h"

using testsupport::FakeTools;
using testsupport::LogCapture;
using testsupport::MetadataServer;
using testsupport::Route;
using testsupport::ScopedEnv;

namespace {

using Clock = std::chrono::steady_clock;

using testsupport::SecondsSince;

constexpr double kSlackSeconds = 3.0;
const double kClientSeconds = ZTLibCurl::kTotalTimeoutMs / 1000.0;
constexpr const char* kZonePath = "/computeMetadata/v1/instance/zone";
constexpr const char* kFnGceZone = "void ZTVMDetect::GetLocalVMHostNameFromGoogleCloud(std::string&)";
constexpr const char* kUntouched = "caller's value";

// A loopback listener of our own for the faults the stand-in server does not
// play: `serve` gets each accepted connection; without it nothing is ever
// accepted (the kernel completes the connection and nobody answers).
class RawServer {
public:
    explicit RawServer(std::function<void(int)> serve = nullptr) : m_serve(std::move(serve)) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::listen(m_fd, 16) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            ADD_FAILURE() << "cannot listen on loopback";
        }
        m_port = ntohs(address.sin_port);
        if (m_serve) {
            m_thread = std::thread([this] {
                for (;;) {
                    const int client = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
                    if (client < 0 || m_stop.load()) {
                        if (client >= 0) {
                            ::close(client);
                        }
                        return;
                    }
                    m_serve(client);
                    ::close(client);
                }
            });
        }
    }
    ~RawServer() {
        m_stop.store(true);
        ::shutdown(m_fd, SHUT_RDWR);
        if (m_thread.joinable()) {
            m_thread.join();
        }
        ::close(m_fd);
    }
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;
    std::string hostPort() const { return "127.0.0.1:" + std::to_string(m_port); }

private:
    std::function<void(int)> m_serve;
    int m_fd = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

void ReadRequestHead(int fd) {
    std::string head;
    char buffer[1024];
    while (head.find("\r\n\r\n") == std::string::npos) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
            return;
        }
        head.append(buffer, static_cast<size_t>(got));
    }
}

void Send(int fd, const std::string& text) {
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        sent += static_cast<size_t>(n);
    }
}

TEST(FaultMetadata, EveryFaultLeavesTheOutputAndEndsInTime) {
    MetadataServer other;  // the host a redirect points at
    other.On(Route::Get(kZonePath).Body("projects/1/zones/redirected-zone"));
    struct Case {
        const char* name;
        std::function<void(MetadataServer&)> route;  // on the stand-in server
        std::function<void(int)> raw;                // or a raw listener
        bool rawListener;
        double bound;  // seconds
    };
    const std::string big(10 * 1024 * 1024, 'z');
    const Case cases[] = {
        {"refusing", nullptr, nullptr, false, kClientSeconds},
        {"accepting, never answering", nullptr, nullptr, true, kClientSeconds + kSlackSeconds},
        {"dripping a byte a second",
         [](MetadataServer& s) {
             s.On(Route::Get(kZonePath).Body("projects/1/zones/drip-zone-a").Drip(std::chrono::seconds(1)));
         },
         nullptr, false, kClientSeconds + kSlackSeconds},
        {"503", [](MetadataServer& s) { s.On(Route::Get(kZonePath).Status(503).Body("projects/1/zones/x")); },
         nullptr, false, kClientSeconds},
        {"500", [](MetadataServer& s) { s.On(Route::Get(kZonePath).Status(500).Body("oops")); }, nullptr,
         false, kClientSeconds},
        {"redirect to another host",
         [&other](MetadataServer& s) {
             s.On(Route::Get(kZonePath).Status(302).Header("Location", other.url() + kZonePath));
         },
         nullptr, false, kClientSeconds},
        {"10 MiB body", [&big](MetadataServer& s) { s.On(Route::Get(kZonePath).Body(big)); }, nullptr, false,
         kClientSeconds + kSlackSeconds},
        {"closing mid-body", nullptr,
         [](int fd) {
             ReadRequestHead(fd);
             Send(fd, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 1000\r\n\r\n"
                      "projects/1/zones/cut");
         },
         true, kClientSeconds},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeTools fakes;
        fakes.UseDmi("gce-1.system.txt");
        MetadataServer server;
        std::unique_ptr<RawServer> raw;
        std::string hostPort;
        if (c.route) {
            c.route(server);
            hostPort = server.hostPort();
        } else if (c.rawListener) {
            raw = std::make_unique<RawServer>(c.raw);
            hostPort = raw->hostPort();
        } else {
            hostPort = "127.0.0.1:" + std::to_string(testsupport::ClosedLoopbackPort());
        }
        ScopedEnv gce("GCE_METADATA_HOST", hostPort.c_str());
        ::DetectHypervisor();  // fills the firmware cache: only the request is timed
        LogCapture log(0);
        const Clock::time_point start = Clock::now();
        std::string zone = kUntouched;
        ::GetLocalVMHostName(zone);
        const double elapsed = SecondsSince(start);
        std::printf("metadata %s: returned after %.2f s\n", c.name, elapsed);
        EXPECT_EQ(zone, kUntouched);
        EXPECT_LT(elapsed, c.bound + kSlackSeconds);
        testsupport::ExpectOneError(log, kFnGceZone, "Failed to send curl request", c.name);
    }
    EXPECT_TRUE(other.requests().empty()) << "a redirect was followed";
}

TEST(FaultMetadata, ProxySettingsAreNeverUsed) {
    // A proxy on loopback that would answer every request: it must stay idle.
    MetadataServer proxy;
    proxy.On(Route::Get("http://127.0.0.1:9/computeMetadata/v1/instance/zone").Body("proxied"));
    const std::string proxyUrl = proxy.url();
    FakeTools fakes;
    fakes.UseDmi("gce-1.system.txt");
    ScopedEnv gce("GCE_METADATA_HOST", ("127.0.0.1:" + std::to_string(testsupport::ClosedLoopbackPort())).c_str());
    ScopedEnv a("http_proxy", proxyUrl.c_str());
    ScopedEnv b("HTTP_PROXY", proxyUrl.c_str());
    ScopedEnv c("ALL_PROXY", proxyUrl.c_str());
    ScopedEnv d("all_proxy", proxyUrl.c_str());
    std::string zone = kUntouched;
    ::GetLocalVMHostName(zone);
    EXPECT_EQ(zone, kUntouched);
    EXPECT_TRUE(proxy.requests().empty());
}

TEST(FaultMetadata, OracleTimeOutKeepsItsDefaultWhenTheNumberDoesNotFit) {
    struct Case {
        const char* value;
        double bound;  // seconds the QEMU classification may take
    };
    // 1 s unless configured; values that are not 32-bit numbers keep it.
    const Case cases[] = {
        {"99999999999999999999999", 1.0},
        {"-5", 1.0},
        {"4294967297", 1.0},  // low 32 bits: 1
        {"2", 2.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        FakeTools fakes;
        fakes.UseDmi("qemu-1.system.txt");
        RawServer silent;  // accepts and never answers
        ScopedEnv oci("VMDETECT_OCI_METADATA_ENDPOINT", ("http://" + silent.hostPort()).c_str());
        testsupport::WriteFile(fakes.dir().file("vmdetect.conf"),
                               std::string("[VirtualServer]\nnOCIMetadataServiceTimeout = ") + c.value + "\n");
        ScopedEnv config("VMDETECT_CONFIG", fakes.dir().file("vmdetect.conf").c_str());
        ::DetectHypervisor();  // fills the firmware cache
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(::DetectHypervisor(), 0u);
        const double elapsed = SecondsSince(start);
        std::printf("oracle time-out %s: classification took %.2f s\n", c.value, elapsed);
        EXPECT_LT(elapsed, c.bound + kSlackSeconds);
    }
}

}  // namespace
