// Cloud instance metadata: Amazon EC2, Google Cloud and Oracle Cloud.
//
// Each request uses a client of its own and nothing is cached. Beyond the
// services' oldest forms, two fallbacks keep hardened instances working:
// EC2 with session tokens required (a plain GET is answered 401) and Oracle
// with the v1 endpoint disabled. Where the old form answers, they never run.
#include <chrono>
#include <climits>
#include <cstdint>
#include <optional>
#include <string>

#include "Constants.h"
#include "Endpoints.h"
#include "ZTLibCurl.h"
#include "ZTPlatformInfo.h"
#include "ZTVMDetect.h"
#include "ZtJson.h"

namespace {

using vmdetect::endpoints::Endpoint;

constexpr const char* kFnUuidFromAmazon = "void ZTVMDetect::GetLocalVMUUIDFromAmazon(std::string&)";
constexpr const char* kFnHostNameFromAmazon =
    "void ZTVMDetect::GetLocalVMHostNameFromAmazon(std::string&)";
constexpr const char* kFnUuidFromGoogle =
    "void ZTVMDetect::GetLocalVMUUIDFromGoogleCloud(std::string&)";
constexpr const char* kFnProjectIdFromGoogle =
    "void ZTVMDetect::GetLocalVMProjectIdFromGoogleCloud(std::string&)";
constexpr const char* kFnHostNameFromGoogle =
    "void ZTVMDetect::GetLocalVMHostNameFromGoogleCloud(std::string&)";
constexpr const char* kFnUuidFromOci = "void ZTVMDetect::GetLocalVMUUIDFromOCI(std::string&)";

constexpr const char* kFailedInit = "Failed to init curl request";
constexpr const char* kFailedSend = "Failed to send curl request";
constexpr const char* kFailedGoogleHeader = "Failed to set CURL Metadata-Flavor: Google header";
constexpr const char* kFailedTimeout = "Failed to set curl timeout";
constexpr const char* kFailedUnserialize = "Failed to unserialize instanceJson string";

constexpr unsigned int kDefaultOciTimeoutSeconds = 1;

// The base URL of a service, or false once the reason has been logged. A
// disabled EC2 service fails like an unreachable one.
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
                      const ZTLibCurl& curl) {
    log.DebugLvl(function, 2, "Request [%s] failed, HTTP status %ld", url.c_str(),
                 curl.GetHttpStatus());
    log.Error(function, kFailedSend);
}

// Overwrites a secret before its memory is given back.
void Wipe(char* text, size_t size) {
    volatile char* byte = text;
    for (size_t i = 0; i < size; ++i) {
        byte[i] = '\0';
    }
}

void Wipe(std::string& text) {
    if (!text.empty()) {
        Wipe(&text[0], text.size());
    }
    text.clear();
}

// Session token for EC2 instances that refuse plain GETs. The token stays in
// this fetch's memory and never reaches the log.
bool Ec2SessionToken(const EvDebug& log, const char* function, const std::string& base,
                     std::string& token) {
    ZTLibCurl curl;
    if (!curl.ZTLibCurlInit("text/plain", true, false, nullptr)) {
        log.Error(function, kFailedInit);
        return false;
    }
    if (!curl.ZTLibCurlAppendHeader(HTTP_HDR_CUSTOM, vmdetect::kEc2TokenTtlHeader)) {
        log.Error(function, "Failed to set EC2 session token TTL header");
        return false;
    }
    const std::string url = base + vmdetect::kEc2TokenPath;
    const bool sent = curl.ZTLibCurlSendHttpReq(HTTP_REQ_PUT, url, nullptr, 0, true, nullptr);
    if (!sent || curl.GetHttpStatus() != 200) {
        log.Error(function, "Failed to get EC2 session token from [%s], HTTP status %ld",
                  url.c_str(), curl.GetHttpStatus());
        return false;
    }
    unsigned long length = 0;
    char* text = curl.GetHttpResponse(length, false);
    if (text != nullptr) {
        token = text;
        Wipe(text, length);
    }
    if (token.empty()) {
        log.Error(function, "Failed to get EC2 session token from [%s]: empty answer",
                  url.c_str());
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
    std::string header = std::string(vmdetect::kEc2TokenHeaderName) + ": " + token;
    Wipe(token);
    ZTLibCurl curl;
    if (!curl.ZTLibCurlInit("text/plain", true, false, nullptr)) {
        Wipe(header);
        log.Error(function, kFailedInit);
        return;
    }
    const bool added = curl.ZTLibCurlAppendHeader(HTTP_HDR_CUSTOM, header.c_str());
    Wipe(header);
    if (!added) {
        // A token with a line break in it would forge headers.
        log.Error(function, "Failed to set EC2 session token header");
        return;
    }
    if (!curl.ZTLibCurlSendHttpReq(HTTP_REQ_GET, url, nullptr, 0, true, nullptr)) {
        LogFailedRequest(log, function, url, curl);
        return;
    }
    unsigned long length = 0;
    const char* text = curl.GetHttpResponse(length, false);
    if (text != nullptr) {
        output = text;
    }
}

void FetchEc2(const EvDebug& log, const char* function, const char* item, std::string& output) {
    ZTLibCurl curl;
    if (!curl.ZTLibCurlInit("text/plain", true, false, nullptr)) {
        log.Error(function, kFailedInit);
        return;
    }
    std::string base;
    if (!BaseUrl(log, function, vmdetect::endpoints::Ec2(), base)) {
        return;
    }
    const std::string url = base + vmdetect::kEc2MetaDataPath + item;
    if (!curl.ZTLibCurlSendHttpReq(HTTP_REQ_GET, url, nullptr, 0, true, nullptr)) {
        if (curl.GetHttpStatus() == 401) {
            FetchEc2WithToken(log, function, base, url, output);
        } else {
            LogFailedRequest(log, function, url, curl);
        }
        return;
    }
    unsigned long length = 0;
    const char* text = curl.GetHttpResponse(length, false);
    if (text != nullptr) {
        output = text;
    }
}

// True when the output now holds the answer.
bool FetchGoogle(const EvDebug& log, const char* function, const char* item,
                 std::string& output) {
    ZTLibCurl curl;
    if (!curl.ZTLibCurlInit("text/plain", true, false, nullptr)) {
        log.Error(function, kFailedInit);
        return false;
    }
    if (!curl.ZTLibCurlAppendHeader(HTTP_HDR_CUSTOM, vmdetect::kGceHeader)) {
        log.Error(function, kFailedGoogleHeader);
        return false;
    }
    std::string base;
    if (!BaseUrl(log, function, vmdetect::endpoints::Gce(), base)) {
        return false;
    }
    const std::string url = base + vmdetect::kGcePath + item;
    if (!curl.ZTLibCurlSendHttpReq(HTTP_REQ_GET, url, "", 0, false, nullptr)) {
        LogFailedRequest(log, function, url, curl);
        return false;
    }
    unsigned long length = 0;
    const char* text = curl.GetHttpResponse(length, false);
    if (text == nullptr) {
        return false;
    }
    output = text;
    return true;
}

// Oracle's v2 endpoint, for instances whose v1 endpoint is disabled. It
// spends what is left of the v1 request's time-out, so a guest that is not
// on Oracle Cloud never waits longer than the configured value in all.
bool SendOciV2(const EvDebug& log, const char* function, const std::string& base,
               int timeoutSeconds, std::chrono::steady_clock::time_point start, ZTLibCurl& curl) {
    if (!curl.ZTLibCurlInit(nullptr, true, false, nullptr)) {
        log.Error(function, kFailedInit);
        return false;
    }
    if (!curl.ZTLibCurlAppendHeader(HTTP_HDR_CUSTOM, vmdetect::kOciV2Header)) {
        log.Error(function, "Failed to set OCI Authorization header");
        return false;
    }
    const std::string url = base + vmdetect::kOciV2Path;
    bool timeoutSet = false;
    if (timeoutSeconds == 0) {  // none configured
        timeoutSet = curl.ZTLibCurlSetAdditionalOptionsIntValue(CURLOPT_TIMEOUT, 0);
    } else {
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count();
        const int64_t left = static_cast<int64_t>(timeoutSeconds) * 1000 - spent;
        if (left <= 0) {
            log.DebugLvl(function, 2, "No time left for [%s]", url.c_str());
            log.Error(function, kFailedSend);
            return false;
        }
        const int leftMs = left > INT_MAX ? INT_MAX : static_cast<int>(left);
        timeoutSet = curl.ZTLibCurlSetAdditionalOptionsIntValue(CURLOPT_TIMEOUT_MS, leftMs);
    }
    if (!timeoutSet) {
        log.Error(function, kFailedTimeout);
        return false;
    }
    if (!curl.ZTLibCurlSendHttpReq(HTTP_REQ_GET, url, nullptr, 0, true, nullptr)) {
        LogFailedRequest(log, function, url, curl);
        return false;
    }
    return true;
}

}  // namespace

void ZTVMDetect::GetLocalVMUUIDFromAmazon(std::string& uuid) {
    FetchEc2(*this, kFnUuidFromAmazon, vmdetect::kEc2ItemInstanceId, uuid);
}

void ZTVMDetect::GetLocalVMHostNameFromAmazon(std::string& hostName) {
    FetchEc2(*this, kFnHostNameFromAmazon, vmdetect::kEc2ItemZone, hostName);
}

void ZTVMDetect::GetLocalVMDataCenterNameFromAmazon(std::string& dataCenter) {
    GetLocalVMHostNameFromAmazon(dataCenter);
    if (dataCenter.empty()) {
        return;
    }
    dataCenter = dataCenter.substr(0, dataCenter.size() - 1);
}

void ZTVMDetect::GetLocalVMUUIDFromGoogleCloud(std::string& uuid) {
    FetchGoogle(*this, kFnUuidFromGoogle, vmdetect::kGceItemInstanceId, uuid);
}

void ZTVMDetect::GetLocalVMProjectIdFromGoogleCloud(std::string& projectId) {
    FetchGoogle(*this, kFnProjectIdFromGoogle, vmdetect::kGceItemProjectId, projectId);
}

void ZTVMDetect::GetLocalVMHostNameFromGoogleCloud(std::string& hostName) {
    if (!FetchGoogle(*this, kFnHostNameFromGoogle, vmdetect::kGceItemZone, hostName)) {
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
    ZTLibCurl curl;
    if (!curl.ZTLibCurlInit(nullptr, true, false, nullptr)) {
        Error(kFnUuidFromOci, kFailedInit);
        return;
    }
    unsigned int timeout = kDefaultOciTimeoutSeconds;
    ZTPlatformInfo config;
    config.getNumber(vmdetect::kConfigSection, vmdetect::kKeyOciTimeout, &timeout);
    const int seconds = static_cast<int>(timeout);
    if (!curl.ZTLibCurlSetAdditionalOptionsIntValue(CURLOPT_TIMEOUT, seconds)) {
        Error(kFnUuidFromOci, kFailedTimeout);
        return;
    }
    std::string base;
    if (!BaseUrl(*this, kFnUuidFromOci, vmdetect::endpoints::Oci(), base)) {
        return;
    }
    const std::string url = base + vmdetect::kOciV1Path;
    const auto start = std::chrono::steady_clock::now();
    std::optional<ZTLibCurl> v2;
    ZTLibCurl* answered = &curl;
    if (!curl.ZTLibCurlSendHttpReq(HTTP_REQ_GET, url, nullptr, 0, true, nullptr)) {
        const long status = curl.GetHttpStatus();
        if (status != 404 && status != 401 && status != 403) {
            LogFailedRequest(*this, kFnUuidFromOci, url, curl);
            return;
        }
        DebugLvl(kFnUuidFromOci, 2, "Request [%s] answered HTTP status %ld, trying %s",
                 url.c_str(), status, vmdetect::kOciV2Path);
        v2.emplace();
        if (!SendOciV2(*this, kFnUuidFromOci, base, seconds, start, *v2)) {
            return;
        }
        answered = &*v2;
    }
    unsigned long length = 0;
    const char* text = answered->GetHttpResponse(length, false);
    if (text == nullptr) {
        return;
    }
    DebugLvl(kFnUuidFromOci, 2, "OCI Metadata Response: %s", text);
    const std::string instanceJson = text;
    mObject object;
    if (!ZtJson::Unserialize(instanceJson, object)) {
        Error(kFnUuidFromOci, kFailedUnserialize);
        return;
    }
    uuid = ZtJson::GetStringValue(object, "id");
}

bool ZTVMDetect::_IsOracleCloudInfrastructureVM() {
    std::string uuid;
    GetLocalVMUUIDFromOCI(uuid);
    return !uuid.empty() && uuid.find("ocid", 0) != std::string::npos;
}
