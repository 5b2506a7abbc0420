// In-process figures: the warm walk, the runner (also under a 4 GiB caller),
// the first firmware fill and one metadata request, each next to the bare
// system calls or library calls that the same work needs at least; and five
// calls on a QEMU guest whose Oracle address is silent, with probe-answer
// reuse against without.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <dirent.h>
#include <fcntl.h>
#include <httplib.h>
#include <spawn.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <vmdetect.h>

#include <nlohmann/json.hpp>

#include "BenchSupport.h"
#include "cloud/Identity.h"
#include "detector/FirmwareCache.h"
#include "report/Report.h"
#include "ZTVMDetect.h"
#include "adapters/LogSink.h"
#include "adapters/ZTLibCurl.h"
#include "adapters/ZtProcess.h"

extern char** environ;

namespace {

// ---------------------------------------------------------------- warm walk

std::map<int, std::unique_ptr<bench::ProcTree>>& Trees() {
    static std::map<int, std::unique_ptr<bench::ProcTree>> trees;
    return trees;
}

const std::string& TreeFor(int count) {
    auto& slot = Trees()[count];
    if (!slot) {
        slot = std::make_unique<bench::ProcTree>(count);
    }
    return slot->path();
}

// A complete firmware cache, so that a call spawns nothing.
bool MakeCacheComplete() {
    ZTVMDetect detector;
    std::string manufacturer, serial, uuid, version;
    detector.GetBiosInfo(manufacturer, serial, uuid, version);
    return !manufacturer.empty() && !serial.empty() && !uuid.empty();
}

void BM_WarmWalk_Ours(benchmark::State& state) {
    const std::string& root = TreeFor(static_cast<int>(state.range(0)));
    if (!MakeCacheComplete()) {
        state.SkipWithError("firmware cache incomplete");
        return;
    }
    ::setenv("HOST_PROC", root.c_str(), 1);
    unsigned int flags = 0;
    for (auto _ : state) {
        flags = DetectHypervisor();
        benchmark::DoNotOptimize(flags);
    }
    ::unsetenv("HOST_PROC");
    if (flags != HV_VMWARE_VM) {
        state.SkipWithError("unexpected flags");
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// What the walk needs at least: list the directory; for each directory
// entry stat, open, read once and close its cmdline, and look at the first
// argument.
int BareWalk(const char* root) {
    DIR* dir = ::opendir(root);
    if (dir == nullptr) {
        return -1;
    }
    char path[PATH_MAX];
    const size_t rootLength = std::strlen(root);
    std::memcpy(path, root, rootLength);
    path[rootLength] = '/';
    char buffer[4097];
    int found = 0;
    while (const struct dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (entry->d_type != DT_DIR || name[0] == '.') {
            continue;
        }
        const size_t nameLength = std::strlen(name);
        if (rootLength + 1 + nameLength + 9 > sizeof path) {
            continue;
        }
        std::memcpy(path + rootLength + 1, name, nameLength);
        std::memcpy(path + rootLength + 1 + nameLength, "/cmdline", 9);
        struct stat info;
        if (::stat(path, &info) != 0) {
            continue;
        }
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        const ssize_t got = ::read(fd, buffer, 4096);
        ::close(fd);
        if (got < 0) {
            continue;
        }
        buffer[got] = '\0';
        const char* docker = std::strstr(buffer, "docker");
        if (docker != nullptr && docker - buffer + 7 < got &&
            std::strstr(docker + 7, "daemon") != nullptr) {
            ++found;
        }
    }
    ::closedir(dir);
    return found;
}

void BM_WarmWalk_Bare(benchmark::State& state) {
    const std::string& root = TreeFor(static_cast<int>(state.range(0)));
    int found = 0;
    for (auto _ : state) {
        found = BareWalk(root.c_str());
        benchmark::DoNotOptimize(found);
    }
    if (found != 0) {
        state.SkipWithError("bare walk found a daemon");
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// ------------------------------------------------------------------- runner

void BM_Runner_Ours(benchmark::State& state) {
    for (auto _ : state) {
        std::string output, errorOutput;
        const int status = ZtProcess::system("true", &output, &errorOutput, 0, false);
        if (status != 0) {
            state.SkipWithError("runner failed");
            break;
        }
    }
}

void BM_Runner_Bare(benchmark::State& state) {
    char sh[] = "/bin/sh";
    char dashC[] = "-c";
    char line[] = "true";
    char* argv[] = {sh, dashC, line, nullptr};
    for (auto _ : state) {
        pid_t pid = -1;
        if (::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, environ) != 0) {
            state.SkipWithError("posix_spawn failed");
            break;
        }
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

// 4 GiB of private memory, in small pages, each page written: the caller
// that a fork-based runner would have to copy the page tables of.
constexpr size_t kLargeBytes = size_t{4} << 30;
void* g_large = nullptr;
bool g_largeSkipped = false;

void LargeSetup(const benchmark::State&) {
    g_largeSkipped = false;
    // Leave room for the others on this machine.
    if (bench::AvailableKiB() < static_cast<long>((kLargeBytes >> 10) * 2)) {
        g_largeSkipped = true;
        return;
    }
    void* block = ::mmap(nullptr, kLargeBytes, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (block == MAP_FAILED) {
        g_largeSkipped = true;
        return;
    }
    ::madvise(block, kLargeBytes, MADV_NOHUGEPAGE);
    // Every page written: by the kernel in one call where it can (a million
    // page faults take seconds in a virtual machine), else by hand.
#ifdef MADV_POPULATE_WRITE
    const bool populated = ::madvise(block, kLargeBytes, MADV_POPULATE_WRITE) == 0;
#else
    const bool populated = false;
#endif
    if (!populated) {
        auto* bytes = static_cast<volatile unsigned char*>(block);
        const long page = ::sysconf(_SC_PAGESIZE);
        for (size_t offset = 0; offset < kLargeBytes; offset += static_cast<size_t>(page)) {
            bytes[offset] = static_cast<unsigned char>(offset >> 12);
        }
    }
    g_large = block;
    // Let the kernel finish what the million page faults left it to do
    // (statistics, per-CPU page lists) before the clock starts.
    ::usleep(300000);
}

void LargeTeardown(const benchmark::State&) {
    if (g_large != nullptr) {
        ::munmap(g_large, kLargeBytes);
        g_large = nullptr;
    }
}

void BM_RunnerLarge_Ours(benchmark::State& state) {
    if (g_largeSkipped || g_large == nullptr) {
        state.SkipWithError("not enough free memory for a 4 GiB caller");
        for (auto _ : state) {
        }
        return;
    }
    state.counters["rss_mib"] = static_cast<double>(bench::ResidentKiB()) / 1024.0;
    for (auto _ : state) {
        std::string output, errorOutput;
        if (ZtProcess::system("true", &output, &errorOutput, 0, false) != 0) {
            state.SkipWithError("runner failed");
            break;
        }
    }
}

// The floor under the same caller: what posix_spawn itself pays for it.
void BM_RunnerLarge_Bare(benchmark::State& state) {
    if (g_largeSkipped || g_large == nullptr) {
        state.SkipWithError("not enough free memory for a 4 GiB caller");
        for (auto _ : state) {
        }
        return;
    }
    BM_Runner_Bare(state);
}

// --------------------------------------------------------------- first fill

void BM_FirstFill_Ours(benchmark::State& state) {
    for (auto _ : state) {
        vmdetect::firmware::ResetCacheForTests();
        ZTVMDetect detector;
        std::string manufacturer, serial, uuid, version;
        detector.GetBiosInfo(manufacturer, serial, uuid, version);
        if (manufacturer.empty() || serial.empty() || uuid.empty()) {
            state.SkipWithError("fill incomplete");
            break;
        }
    }
}

void BM_FirstFill_Bare(benchmark::State& state) {
    for (auto _ : state) {
        for (const char* line : bench::kFirmwareLines) {
            std::string output;
            if (bench::BareRun(line, &output) != 0 || output.empty()) {
                state.SkipWithError("bare line failed");
                break;
            }
        }
    }
}

// --------------------------------------------------------- metadata request

constexpr const char* kItemPath = "/latest/meta-data/instance-id";
constexpr const char* kItemBody = "i-0123456789abcdef0";
constexpr const char* kTokenPath = "/latest/api/token";
constexpr const char* kToken = "AQAEAFTNrA4eEGhBDqwPWSVGJdHYnk3Kxdp7l9BwNsbYBRjZ4AtjQQ==";
constexpr const char* kDocumentPath = "/latest/dynamic/instance-identity/document";
constexpr const char* kDocument =
    R"({"accountId":"742060201234","availabilityZone":"eu-central-1b","imageId":"ami-0a5f22e9f90ef8ef8",)"
    R"("instanceId":"i-01b0f6cf495625076","instanceType":"t4g.medium","region":"eu-central-1"})";
constexpr const char* kHostNamePath = "/latest/meta-data/hostname";
constexpr const char* kHostName = "ip-172-26-2-30.eu-central-1.compute.internal";
// IBM Cloud VPC, a cloud whose token is demanded: a JSON web token in a JSON
// answer, then the instance document.
constexpr const char* kIbmTokenPath = "/identity/v1/token";
constexpr const char* kIbmInstancePath = "/metadata/v1/instance";
constexpr const char* kIbmQuery = "?version=2022-03-01";
constexpr const char* kIbmToken =
    R"({"access_token":"eyJhbGciOiJSUzI1NiIsInR5cCI6IkpXVCJ9.eyJzdWIiOiIwMng3XzgzNDBhZDkzIn0.)"
    R"(c2lnbmF0dXJlLXN0YW5kLWluLW9mLTI1Ni1ieXRlcy1vZi1SU0E","expires_in":300})";
constexpr const char* kIbmInstance =
    R"({"crn":"crn:v1:bluemix:public:is:eu-es-2:a/bab397cffebd40329900ec4b9039793a::instance:)"
    R"(02x7_8340ad93-8b46-41cf-95b5-6585f54dd419","id":"02x7_8340ad93-8b46-41cf-95b5-6585f54dd419",)"
    R"("image":{"id":"r050-8844669d-ac98-4de5-8651-109645ead299","name":"ibm-ubuntu-24-04-4-minimal-amd64-1"},)"
    R"("name":"otel-collector","profile":{"name":"nxf-1x1"},"status":"running","zone":{"name":"eu-es-2"}})";

// An ECS task's metadata, as the Fargate examples of the ECS guide give it.
constexpr const char* kEcsPath = "/v4/cd189a93-2495160603";
constexpr const char* kEcsTaskPath = "/v4/cd189a93-2495160603/task";
constexpr const char* kEcsContainer =
    R"({"DockerId":"cd189a933e5849daa93386466019ab50-2495160603","Name":"curl","DockerName":"curl",)"
    R"("Image":"111122223333.dkr.ecr.us-west-2.amazonaws.com/curltest:latest","DesiredStatus":"RUNNING",)"
    R"("KnownStatus":"RUNNING","Limits":{"CPU":10,"Memory":128},"Type":"NORMAL",)"
    R"("ContainerARN":"arn:aws:ecs:us-west-2:111122223333:container/05966557-f16c-49cb-9352-24b3a0dcd0e1",)"
    R"("LogOptions":{"awslogs-create-group":"true","awslogs-group":"/ecs/containerlogs",)"
    R"("awslogs-region":"us-west-2","awslogs-stream":"ecs/curl/cd189a933e5849daa93386466019ab50"},)"
    R"("LogDriver":"awslogs"})";
constexpr const char* kEcsTask =
    R"({"Cluster":"arn:aws:ecs:us-west-2:111122223333:cluster/default",)"
    R"("TaskARN":"arn:aws:ecs:us-west-2:111122223333:task/default/cd189a933e5849daa93386466019ab50",)"
    R"("Family":"curltest","Revision":"2","DesiredStatus":"RUNNING","KnownStatus":"RUNNING",)"
    R"("Limits":{"CPU":0.25,"Memory":512},"AvailabilityZone":"us-west-2a","LaunchType":"FARGATE","Containers":[]})";

// A loopback server of our own; only ever bound to 127.0.0.1.
class LoopbackServer {
public:
    LoopbackServer() {
        m_server.Get(kItemPath, [](const httplib::Request&, httplib::Response& response) {
            response.set_content(kItemBody, "text/plain");
        });
        // An EC2 service for the cold cloud identity: token, then document.
        m_server.Put(kTokenPath, [](const httplib::Request&, httplib::Response& response) {
            response.set_content(kToken, "text/plain");
        });
        m_server.Get(kDocumentPath, [](const httplib::Request&, httplib::Response& response) {
            response.set_content(kDocument, "text/plain");
        });
        m_server.Get(kHostNamePath, [](const httplib::Request&, httplib::Response& response) {
            response.set_content(kHostName, "text/plain");
        });
        m_server.Put(kIbmTokenPath, [](const httplib::Request&, httplib::Response& response) {
            response.set_content(kIbmToken, "application/json");
        });
        m_server.Get(kIbmInstancePath, [](const httplib::Request&, httplib::Response& response) {
            response.set_content(kIbmInstance, "application/json");
        });
        m_server.Get(kEcsPath, [](const httplib::Request&, httplib::Response& response) {
            response.set_content(kEcsContainer, "application/json");
        });
        m_server.Get(kEcsTaskPath, [](const httplib::Request&, httplib::Response& response) {
            response.set_content(kEcsTask, "application/json");
        });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        if (m_port > 0) {
            m_thread = std::thread([this] { m_server.listen_after_bind(); });
            while (!m_server.is_running()) {
                std::this_thread::yield();
            }
        }
    }
    ~LoopbackServer() {
        m_server.stop();
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }
    std::string url() const {
        return "http://127.0.0.1:" + std::to_string(m_port) + kItemPath;
    }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(m_port); }
    bool ok() const { return m_port > 0; }

private:
    httplib::Server m_server;
    std::thread m_thread;
    int m_port = -1;
};

LoopbackServer& Server() {
    static LoopbackServer server;
    return server;
}

void BM_Metadata_Ours(benchmark::State& state) {
    if (!Server().ok()) {
        state.SkipWithError("no loopback server");
        return;
    }
    const std::string url = Server().url();
    for (auto _ : state) {
        ZTLibCurl client;
        client.ZTLibCurlInit(nullptr, true, false, nullptr);
        if (!client.ZTLibCurlSendHttpReq(HTTP_REQ_GET, url, nullptr, 0, false, nullptr)) {
            state.SkipWithError("ZTLibCurl request failed");
            break;
        }
        unsigned long length = 0;
        const char* body = client.GetHttpResponse(length, false);
        if (body == nullptr || std::strcmp(body, kItemBody) != 0) {
            state.SkipWithError("ZTLibCurl body differs");
            break;
        }
    }
}

size_t Collect(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

// One bare libcurl request with its headers and, for a PUT, its body; true
// on a 200 with a body.
bool BareRequest(const std::string& url, bool put, const std::vector<std::string>& lines,
                 std::string& body, const char* sent = "") {
    CURL* curl = curl_easy_init();
    curl_slist* headers = nullptr;
    for (const std::string& line : lines) {
        headers = curl_slist_append(headers, line.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    if (headers != nullptr) {
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    }
    if (put) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, sent);  // "": Content-Length: 0
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "PUT");
    }
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    const CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return code == CURLE_OK && status == 200 && !body.empty();
}

// One bare libcurl request with one header (none when empty).
bool BareRequest(const std::string& url, bool put, const std::string& header,
                 std::string& body) {
    return BareRequest(url, put, header.empty() ? std::vector<std::string>{} : std::vector{header},
                       body);
}

void BM_Metadata_Bare(benchmark::State& state) {
    if (!Server().ok()) {
        state.SkipWithError("no loopback server");
        return;
    }
    const std::string url = Server().url();
    for (auto _ : state) {
        std::string body;
        if (!BareRequest(url, false, "", body) || body != kItemBody) {
            state.SkipWithError("bare request failed");
            break;
        }
    }
}

// ------------------------------------------------------ cold cloud identity

// A cold identity of the cloud that `firmware` names, its endpoint at the
// loopback stand-in, until it gives `keys` keys.
void ColdIdentity(benchmark::State& state, const char* endpoint,
                  const vmdetect::report::DmiFields& firmware, std::size_t keys) {
    if (!Server().ok()) {
        state.SkipWithError("no loopback server");
        return;
    }
    ::setenv(endpoint, Server().base().c_str(), 1);
    for (auto _ : state) {
        vmdetect::cloud::ResetCacheForTests();
        if (vmdetect::cloud::Identify({firmware, true})->size() != keys) {
            state.SkipWithError("identity incomplete");
            break;
        }
    }
    ::setenv(endpoint, "http://127.0.0.1:9", 1);
}

// Seven keys, the image, the host name and the resource id.
void BM_CloudCold_Ours(benchmark::State& state) {
    ColdIdentity(state, "AWS_EC2_METADATA_SERVICE_ENDPOINT", {{"sys_vendor", "Amazon EC2"}}, 10);
}

// The same three requests, the answers taken as they come.
void BM_CloudCold_Bare(benchmark::State& state) {
    if (!Server().ok()) {
        state.SkipWithError("no loopback server");
        return;
    }
    const std::string base = Server().base();
    for (auto _ : state) {
        std::string token, document, name;
        if (!BareRequest(base + kTokenPath, true, "X-aws-ec2-metadata-token-ttl-seconds: 60",
                         token) ||
            !BareRequest(base + kDocumentPath, false, "X-aws-ec2-metadata-token: " + token,
                         document) ||
            !BareRequest(base + kHostNamePath, false, "X-aws-ec2-metadata-token: " + token,
                         name)) {
            state.SkipWithError("bare request failed");
            break;
        }
    }
}

// A cloud whose token is demanded, IBM Cloud VPC: token, then document.
// Nine keys, the resource id and the image's name.
void BM_CloudColdIbm_Ours(benchmark::State& state) {
    ColdIdentity(state, "VMDETECT_IBMCLOUD_METADATA_ENDPOINT",
                 {{"chassis_vendor", "IBM:Cloud Compute Server 1.0"}}, 11);
}

// The same two requests, the token taken out of its JSON answer.
void BM_CloudColdIbm_Bare(benchmark::State& state) {
    if (!Server().ok()) {
        state.SkipWithError("no loopback server");
        return;
    }
    const std::string base = Server().base();
    for (auto _ : state) {
        std::string answer, document;
        if (!BareRequest(base + kIbmTokenPath + kIbmQuery, true,
                         {"Metadata-Flavor: ibm", "Content-Type: application/json"}, answer,
                         R"({"expires_in":300})")) {
            state.SkipWithError("bare request failed");
            break;
        }
        const auto token = nlohmann::json::parse(answer, nullptr, false).value("access_token", "");
        if (!BareRequest(base + kIbmInstancePath + kIbmQuery, false,
                         {"Authorization: Bearer " + token}, document)) {
            state.SkipWithError("bare request failed");
            break;
        }
    }
}

// An ECS task on Fargate: its container, then its task; fourteen keys.
void BM_EcsCold_Ours(benchmark::State& state) {
    if (!Server().ok()) {
        state.SkipWithError("no loopback server");
        return;
    }
    vmdetect::workload::Evidence evidence;
    evidence.env["ECS_CONTAINER_METADATA_URI_V4"] = Server().base() + kEcsPath;
    for (auto _ : state) {
        vmdetect::workload::ResetCacheForTests();
        if (vmdetect::workload::Identify(vmdetect::workload::kEcs, evidence)->size() != 14) {
            state.SkipWithError("identity incomplete");
            break;
        }
    }
}

// The same two requests, the answers taken as they come.
void BM_EcsCold_Bare(benchmark::State& state) {
    if (!Server().ok()) {
        state.SkipWithError("no loopback server");
        return;
    }
    const std::string base = Server().base();
    for (auto _ : state) {
        std::string container, task;
        if (!BareRequest(base + kEcsPath, false, "Accept: application/json", container) ||
            !BareRequest(base + kEcsTaskPath, false, "Accept: application/json", task)) {
            state.SkipWithError("bare request failed");
            break;
        }
    }
}

// The same identity once kept: what every later report pays for it.
void BM_CloudWarm_Ours(benchmark::State& state) {
    if (!Server().ok()) {
        state.SkipWithError("no loopback server");
        return;
    }
    ::setenv("AWS_EC2_METADATA_SERVICE_ENDPOINT", Server().base().c_str(), 1);
    const vmdetect::cloud::Machine firmware{{{"sys_vendor", "Amazon EC2"}}, true};
    vmdetect::cloud::ResetCacheForTests();
    for (auto _ : state) {
        benchmark::DoNotOptimize(vmdetect::cloud::Identify(firmware));
    }
    ::setenv("AWS_EC2_METADATA_SERVICE_ENDPOINT", "http://127.0.0.1:9", 1);
}

// ------------------------------------------------- QEMU guest, silent Oracle

// Accepts connections on 127.0.0.1 and never answers, as a metadata address
// that swallows requests does.
class SilentServer {
public:
    SilentServer() {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(m_fd, 64) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] {
            for (int client; (client = ::accept(m_fd, nullptr, nullptr)) >= 0;) {
                m_clients.push_back(client);  // held open, never read
            }
        });
    }
    ~SilentServer() {
        ::shutdown(m_fd, SHUT_RDWR);  // ends the accept
        if (m_thread.joinable()) {
            m_thread.join();
        }
        for (const int client : m_clients) {
            ::close(client);
        }
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port); }
    bool ok() const { return m_port > 0; }

private:
    int m_fd = -1;
    int m_port = -1;
    std::thread m_thread;
    std::vector<int> m_clients;
};

// Sets environment variables for its lifetime and puts the old values back.
class EnvScope {
public:
    void Set(const char* name, const std::string& value) {
        const char* old = std::getenv(name);
        m_saved.emplace_back(name, old != nullptr ? std::make_unique<std::string>(old) : nullptr);
        ::setenv(name, value.c_str(), 1);
    }
    ~EnvScope() {
        for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
            if (it->second) {
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            } else {
                ::unsetenv(it->first.c_str());
            }
        }
        vmdetect::log::Reconfigure();
    }

private:
    std::vector<std::pair<std::string, std::unique_ptr<std::string>>> m_saved;
};

// Five DetectHypervisor calls of a fresh process on a QEMU guest whose Oracle
// metadata address swallows requests; the argument is nProbeCacheSeconds
// (0: no such key).
void BM_QemuFiveCalls(benchmark::State& state) {
    SilentServer oracle;
    bench::EmptyDir proc;
    const std::string config = proc.path() + ".conf";
    if (!oracle.ok()) {
        state.SkipWithError("no loopback server");
        return;
    }
    if (state.range(0) > 0) {
        std::FILE* file = std::fopen(config.c_str(), "w");
        std::fprintf(file, "[VirtualServer]\nnProbeCacheSeconds=%ld\n", static_cast<long>(state.range(0)));
        std::fclose(file);
    }
    {
        EnvScope env;
        env.Set("VMDETECT_FAKE_DMI", std::string(VMDETECT_BENCH_DATA) + "/dmi/qemu-1.system.txt");
        env.Set("VMDETECT_CONFIG", config);
        env.Set("HOST_PROC", proc.path());
        env.Set("VMDETECT_OCI_METADATA_ENDPOINT", oracle.url());
        env.Set("VMDETECT_LOG", "/dev/null");  // one Error line per time-out
        vmdetect::log::Reconfigure();
        for (auto _ : state) {
            vmdetect::firmware::ResetCacheForTests();
            for (int call = 0; call < 5; ++call) {
                benchmark::DoNotOptimize(DetectHypervisor());
            }
        }
    }
    ::unlink(config.c_str());
}

// Fixed iteration counts where one iteration is a process or more: the same
// work for ours and the floor in every repetition.
BENCHMARK(BM_WarmWalk_Ours)->Arg(100)->Arg(1000)->Arg(10000)->MinTime(0.5)->UseRealTime();
BENCHMARK(BM_WarmWalk_Bare)->Arg(100)->Arg(1000)->Arg(10000)->MinTime(0.5)->UseRealTime();
BENCHMARK(BM_Runner_Ours)->Iterations(100)->UseRealTime();
BENCHMARK(BM_Runner_Bare)->Iterations(100)->UseRealTime();
// Each set-up writes 4 GiB, which takes seconds: fewer, longer repetitions.
BENCHMARK(BM_RunnerLarge_Ours)
    ->Iterations(200)
    ->Repetitions(8)
    ->UseRealTime()
    ->Setup(LargeSetup)
    ->Teardown(LargeTeardown);
BENCHMARK(BM_RunnerLarge_Bare)
    ->Iterations(200)
    ->Repetitions(8)
    ->UseRealTime()
    ->Setup(LargeSetup)
    ->Teardown(LargeTeardown);
BENCHMARK(BM_FirstFill_Ours)->Iterations(3)->UseRealTime();
BENCHMARK(BM_FirstFill_Bare)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Metadata_Ours)->MinTime(0.3)->UseRealTime();
BENCHMARK(BM_Metadata_Bare)->MinTime(0.3)->UseRealTime();
BENCHMARK(BM_CloudCold_Ours)->MinTime(0.3)->UseRealTime();
BENCHMARK(BM_CloudCold_Bare)->MinTime(0.3)->UseRealTime();
BENCHMARK(BM_CloudWarm_Ours)->MinTime(0.3)->UseRealTime();
BENCHMARK(BM_CloudColdIbm_Ours)->MinTime(0.3)->UseRealTime();
BENCHMARK(BM_CloudColdIbm_Bare)->MinTime(0.3)->UseRealTime();
BENCHMARK(BM_EcsCold_Ours)->MinTime(0.3)->UseRealTime();
BENCHMARK(BM_EcsCold_Bare)->MinTime(0.3)->UseRealTime();
// Seconds per iteration: three repetitions tell 1 s from 5 s.
BENCHMARK(BM_QemuFiveCalls)->Arg(0)->Arg(300)->Iterations(1)->Repetitions(3)->UseRealTime();

// ---------------------------------------------------------- platform report

// The report reads this machine as it is: the real /proc, /sys and /, for
// the life of one figure.
class RealRoots {
public:
    RealRoots() {
        for (const char* name : {"HOST_PROC", "HOST_SYS", "HOST_ROOT"}) {
            const char* value = std::getenv(name);
            m_saved[name] = value != nullptr ? std::make_unique<std::string>(value) : nullptr;
            ::unsetenv(name);
        }
        vmdetect::report::ResetCacheForTesting();
    }
    ~RealRoots() {
        for (const auto& [name, value] : m_saved) {
            if (value) {
                ::setenv(name.c_str(), value->c_str(), 1);
            }
        }
        vmdetect::report::ResetCacheForTesting();
    }
    RealRoots(const RealRoots&) = delete;
    RealRoots& operator=(const RealRoots&) = delete;

private:
    std::map<std::string, std::unique_ptr<std::string>> m_saved;
};

void BM_Report_Warm(benchmark::State& state) {
    const RealRoots roots;
    char buffer[4096];
    vmdetect_report(buffer, sizeof buffer, VMDETECT_REPORT_NO_NETWORK);
    for (auto _ : state) {
        benchmark::DoNotOptimize(vmdetect_report(buffer, sizeof buffer, VMDETECT_REPORT_NO_NETWORK));
    }
}

// Every call reads the evidence afresh, as a process's first call does.
void BM_Report_First(benchmark::State& state) {
    const RealRoots roots;
    char buffer[4096];
    for (auto _ : state) {
        vmdetect::report::ResetCacheForTesting();
        benchmark::DoNotOptimize(vmdetect_report(buffer, sizeof buffer, VMDETECT_REPORT_NO_NETWORK));
    }
}

// The first report on the roots the environment names: HOST_ROOT at an empty
// directory makes this machine no container; at a pod's service account
// files, a pod.
void BM_Report_FirstAsGiven(benchmark::State& state) {
    char buffer[4096];
    for (auto _ : state) {
        vmdetect::report::ResetCacheForTesting();
        benchmark::DoNotOptimize(vmdetect_report(buffer, sizeof buffer, VMDETECT_REPORT_NO_NETWORK));
    }
}

BENCHMARK(BM_Report_Warm)->MinTime(0.2)->UseRealTime();
BENCHMARK(BM_Report_First)->Iterations(200)->UseRealTime();
BENCHMARK(BM_Report_FirstAsGiven)->Iterations(200)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    bench::UseFakeEnvironment(VMDETECT_BENCH_FAKES, VMDETECT_BENCH_DATA);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Trees().clear();
    return 0;
}
