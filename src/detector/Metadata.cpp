// Cloud instance metadata: Amazon EC2, Google Cloud and Oracle Cloud.
//
// Each request uses a client of its own and nothing is cached. Beyond the
// services' oldest forms, two fallbacks keep hardened instances working:
// EC2 with session tokens required (a plain GET is answered 401) and Oracle
// with the v1 endpoint disabled. Where the old form answers, they never run.
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>

#include "Constants.h"
#include "net/Endpoints.h"
#include "net/MetadataRequest.h"
#include "ZTVMDetect.h"
#include "adapters/ZTPlatformInfo.h"
#include "adapters/ZtJson.h"

namespace {

using vmdetect::endpoints::Endpoint;
namespace metadata = vmdetect::metadata;

constexpr const char* kFailedSend = "Failed to send curl request";
constexpr const char* kFailedGoogleHeader = "Failed to set CURL Metadata-Flavor: Google header";
constexpr const char* kFailedUnserialize = "Failed to unserialize instanceJson string";

constexpr unsigned int kDefaultOciTimeoutSeconds = 1;

// The base URL of a service, or false once the reason has been logged. A
// disabled EC2 service fails like an unreachable one. Runs before any client
// is made, so a service that is off never loads libcurl.
bool BaseUrl(const EvDebug& log, const char* function, const Endpoint& endpoint,
             std::string& base) {
    switch (endpoint.state) {
        case Endpoint::State::Ok:
            base = endpoint.base;
            return true;
        case Endpoint::State::Disabled:
            log.DebugLvl(function, 2, "EC2 metadata disabled by %s", vmdetect::kEnvEc2Disabled);
            log.Error(function, kFailedSend);
            return false;
        case Endpoint::State::Malformed:
            log.Error(function, "%s", endpoint.problem.c_str());
            return false;
    }
    return false;
}

void LogFailedRequest(const EvDebug& log, const char* function, const std::string& url,
                      long status) {
    log.DebugLvl(function, 2, "Request [%s] failed, HTTP status %ld", url.c_str(), status);
    log.Error(function, kFailedSend);
}

metadata::Request Get(const std::string& url) {
    metadata::Request request;
    request.url = url;
    return request;
}

// Sends, and logs a failed send as final. True when `body` holds the answer.
bool Fetch(const EvDebug& log, const char* function, metadata::Request& request,
           std::string& body) {
    const metadata::Response response = metadata::Send(log, function, request);
    if (!response.ready) {
        return false;
    }
    if (!response.ok) {
        LogFailedRequest(log, function, request.url, response.status);
        return false;
    }
    body = response.body;
    return true;
}

// Session token for EC2 instances that refuse plain GETs. The token stays in
// this fetch's memory and never reaches the log.
bool Ec2SessionToken(const EvDebug& log, const char* function, const std::string& base,
                     std::string& token) {
    metadata::Request request = Get(base + vmdetect::kEc2TokenPath);
    request.put = true;
    request.headers.push_back(
        {vmdetect::kEc2TokenTtlHeader, "Failed to set EC2 session token TTL header"});
    metadata::Response response = metadata::Send(log, function, request);
    token = std::move(response.body);
    if (!response.ready) {
        return false;
    }
    if (!response.ok || response.status != 200) {
        metadata::Wipe(token);
        log.Error(function, "Failed to get EC2 session token from [%s], HTTP status %ld",
                  request.url.c_str(), response.status);
        return false;
    }
    if (token.empty()) {
        log.Error(function, "Failed to get EC2 session token from [%s]: empty answer",
                  request.url.c_str());
        return false;
    }
    return true;
}

// The GET of one item repeated once with a session token.
void FetchEc2WithToken(const EvDebug& log, const char* function, const std::string& base,
                       const std::string& url, std::string& output) {
    log.DebugLvl(function, 2, "Request [%s] answered HTTP status 401, asking for a session token",
                 url.c_str());
    std::string token;
    if (!Ec2SessionToken(log, function, base, token)) {
        return;
    }
    metadata::Request request = Get(url);
    // A token with a line break in it would forge headers: the client
    // refuses it as a header line.
    request.headers.push_back({std::string(vmdetect::kEc2TokenHeaderName) + ": " + token,
                               "Failed to set EC2 session token header"});
    metadata::Wipe(token);
    Fetch(log, function, request, output);
}

void FetchEc2(const EvDebug& log, const char* function, const char* item, std::string& output) {
    std::string base;
    if (!BaseUrl(log, function, vmdetect::endpoints::Ec2(), base)) {
        return;
    }
    metadata::Request request = Get(base + vmdetect::kEc2MetaDataPath + item);
    const metadata::Response response = metadata::Send(log, function, request);
    if (!response.ready) {
        return;
    }
    if (response.ok) {
        output = response.body;
    } else if (response.status == 401) {
        FetchEc2WithToken(log, function, base, request.url, output);
    } else {
        LogFailedRequest(log, function, request.url, response.status);
    }
}

// True when the output now holds the answer.
bool FetchGoogle(const EvDebug& log, const char* function, const char* item,
                 std::string& output) {
    std::string base;
    if (!BaseUrl(log, function, vmdetect::endpoints::Gce(), base)) {
        return false;
    }
    metadata::Request request = Get(base + vmdetect::kGcePath + item);
    request.headers.push_back({vmdetect::kGceHeader, kFailedGoogleHeader});
    return Fetch(log, function, request, output);
}

int OciTimeoutSeconds() {
    unsigned int timeout = kDefaultOciTimeoutSeconds;
    ZTPlatformInfo config;
    config.getNumber(vmdetect::kConfigSection, vmdetect::kKeyOciTimeout, &timeout);
    // Above INT_MAX the value turns negative, which the client refuses.
    return static_cast<int>(timeout);
}

// Oracle's v2 endpoint, for instances whose v1 endpoint is disabled. It
// spends what is left of the v1 request's time-out, so a guest that is not
// on Oracle Cloud never waits longer than the configured value in all.
bool FetchOciV2(const EvDebug& log, const char* function, const std::string& base,
                int timeoutSeconds, std::chrono::steady_clock::time_point start,
                std::string& document) {
    metadata::Request request = Get(base + vmdetect::kOciV2Path);
    request.accept = nullptr;
    request.headers.push_back({vmdetect::kOciV2Header, "Failed to set OCI Authorization header"});
    request.timeoutMs = 0;  // none configured
    if (timeoutSeconds != 0) {
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count();
        const int64_t left = static_cast<int64_t>(timeoutSeconds) * 1000 - spent;
        if (left <= 0) {
            log.DebugLvl(function, 2, "No time left for [%s]", request.url.c_str());
            log.Error(function, kFailedSend);
            return false;
        }
        request.timeoutMs = static_cast<long>(left);
    }
    return Fetch(log, function, request, document);
}

// The instance document from v1, or from v2 where v1 is refused.
bool FetchOci(const EvDebug& log, const char* function, const std::string& base,
              std::string& document) {
    const int seconds = OciTimeoutSeconds();
    metadata::Request request = Get(base + vmdetect::kOciV1Path);
    request.accept = nullptr;
    request.timeoutMs = static_cast<long>(seconds) * 1000;
    const auto start = std::chrono::steady_clock::now();
    metadata::Response response = metadata::Send(log, function, request);
    if (!response.ready) {
        return false;
    }
    if (response.ok) {
        document = std::move(response.body);
        return true;
    }
    const long status = response.status;
    if (status != 404 && status != 401 && status != 403) {
        LogFailedRequest(log, function, request.url, status);
        return false;
    }
    log.DebugLvl(function, 2, "Request [%s] answered HTTP status %ld, trying %s",
                 request.url.c_str(), status, vmdetect::kOciV2Path);
    return FetchOciV2(log, function, base, seconds, start, document);
}

}  // namespace

void ZTVMDetect::GetLocalVMUUIDFromAmazon(std::string& uuid) {
    static constexpr const char* kFunction =
        "void ZTVMDetect::GetLocalVMUUIDFromAmazon(std::string&)";
    FetchEc2(*this, kFunction, vmdetect::kEc2ItemInstanceId, uuid);
}

void ZTVMDetect::GetLocalVMHostNameFromAmazon(std::string& hostName) {
    static constexpr const char* kFunction =
        "void ZTVMDetect::GetLocalVMHostNameFromAmazon(std::string&)";
    FetchEc2(*this, kFunction, vmdetect::kEc2ItemZone, hostName);
}

void ZTVMDetect::GetLocalVMDataCenterNameFromAmazon(std::string& dataCenter) {
    GetLocalVMHostNameFromAmazon(dataCenter);
    if (dataCenter.empty()) {
        return;
    }
    dataCenter = dataCenter.substr(0, dataCenter.size() - 1);
}

void ZTVMDetect::GetLocalVMUUIDFromGoogleCloud(std::string& uuid) {
    static constexpr const char* kFunction =
        "void ZTVMDetect::GetLocalVMUUIDFromGoogleCloud(std::string&)";
    FetchGoogle(*this, kFunction, vmdetect::kGceItemInstanceId, uuid);
}

void ZTVMDetect::GetLocalVMProjectIdFromGoogleCloud(std::string& projectId) {
    static constexpr const char* kFunction =
        "void ZTVMDetect::GetLocalVMProjectIdFromGoogleCloud(std::string&)";
    FetchGoogle(*this, kFunction, vmdetect::kGceItemProjectId, projectId);
}

void ZTVMDetect::GetLocalVMHostNameFromGoogleCloud(std::string& hostName) {
    static constexpr const char* kFunction =
        "void ZTVMDetect::GetLocalVMHostNameFromGoogleCloud(std::string&)";
    if (!FetchGoogle(*this, kFunction, vmdetect::kGceItemZone, hostName)) {
        return;
    }
    // "projects/N/zones/Z" gives Z. An answer that ends with "zones" has
    // nothing after the separator: the host name is empty rather than a cut
    // past the end of the text.
    const size_t found = hostName.find("zones", 0);
    if (found == std::string::npos) {
        return;
    }
    const size_t start = found + 6;
    hostName = start <= hostName.size() ? hostName.substr(start) : std::string();
}

void ZTVMDetect::GetLocalVMDataCenterNameFromGoogleCloud(std::string& dataCenter) {
    GetLocalVMHostNameFromGoogleCloud(dataCenter);
    if (dataCenter.empty()) {
        return;
    }
    // Unsigned on purpose: a one-character zone wraps to npos and stays whole.
    dataCenter = dataCenter.substr(0, dataCenter.size() - 2);
}

void ZTVMDetect::GetLocalVMUUIDFromOCI(std::string& uuid) {
    static constexpr const char* kFunction = "void ZTVMDetect::GetLocalVMUUIDFromOCI(std::string&)";
    std::string base;
    std::string document;
    if (!BaseUrl(*this, kFunction, vmdetect::endpoints::Oci(), base) ||
        !FetchOci(*this, kFunction, base, document)) {
        return;
    }
    DebugLvl(kFunction, 2, "OCI Metadata Response: %s", document.c_str());
    mObject object;
    if (!ZtJson::Unserialize(document, object)) {
        Error(kFunction, kFailedUnserialize);
        return;
    }
    uuid = ZtJson::GetStringValue(object, "id");
}

bool ZTVMDetect::_IsOracleCloudInfrastructureVM() {
    std::string uuid;
    GetLocalVMUUIDFromOCI(uuid);
    return !uuid.empty() && uuid.find("ocid", 0) != std::string::npos;
}
