// The cloud identity: which cloud the firmware names, then that cloud's
// metadata service alone, under one deadline, answers kept for the process.
//
// Every cloud has the same shape: a row of the firmware table naming it, and
// a row of the provider table with its endpoint and a short fetch that turns
// its service's answers into keys. All requests go through metadata::Send.
#include "CloudIdentity.h"

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "Constants.h"
#include "Endpoints.h"
#include "EvDebug.h"
#include "MetadataRequest.h"
#include "adapters/ZTPlatformInfo.h"
#include "adapters/ZtJson.h"

namespace vmdetect::cloud {
namespace {

using Clock = std::chrono::steady_clock;
using endpoints::Endpoint;
using report::Attributes;

constexpr const char* kFnIdentify =
    "std::shared_ptr<const vmdetect::report::Attributes> "
    "vmdetect::cloud::Identify(const vmdetect::report::DmiFields&)";
constexpr const char* kSource = "imds";

constexpr unsigned long kDefaultDeadlineMs = 1500;
constexpr unsigned long kMaxDeadlineMs = 60000;
// Less than this is no time for a request: a time-out that ends a hair
// before the deadline must not start one more.
constexpr long kMinRequestMs = 10;
// Inside a container the token PUT's answer may be dropped by the hop
// limit; past this the GETs go without a token.
constexpr long kTokenLimitMs = 300;
constexpr auto kRetryAfter = std::chrono::seconds(60);
constexpr size_t kMaxTextBytes = 256;

// One line of printable ASCII without blanks or angle brackets: what an
// identifier looks like, and what an HTML page or a proxy's notice is not.
bool IsTextAnswer(const std::string& text) {
    if (text.empty() || text.size() > kMaxTextBytes) {
        return false;
    }
    return std::all_of(text.begin(), text.end(), [](char c) {
        return c > 0x20 && c < 0x7f && c != '<' && c != '>';
    });
}

bool IsToken(const std::string& text) {
    if (text.empty() || text.size() > kMaxTextBytes) {
        return false;
    }
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '+' || c == '/' || c == '=';
    });
}

// A text answer without the line end a service may put after it.
std::string OneLine(std::string text) {
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
        if (!text.empty() && text.back() == '\r') {
            text.pop_back();
        }
    }
    return text;
}

// What follows the last '/' ("projects/1/zones/europe-west3-c").
std::string LastSegment(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// One cloud's requests under one deadline, and the keys they gave.
class Session {
public:
    Session(const EvDebug& log, std::string base, Clock::time_point end)
        : m_log(log), m_base(std::move(base)), m_end(end) {}

    const std::string& base() const { return m_base; }
    const EvDebug& log() const { return m_log; }
    Attributes& attributes() { return m_attributes; }

    // Sends with what is left of the deadline (at most limitMs when > 0).
    metadata::Response Send(metadata::Request& request, long limitMs = 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(m_end - Clock::now()).count();
        if (left < kMinRequestMs) {
            m_log.DebugLvl(kFnIdentify, 2, "No time left for [%s]", request.url.c_str());
            return {};
        }
        request.timeoutMs = limitMs > 0 ? std::min<long>(left, limitMs) : static_cast<long>(left);
        metadata::Response response = metadata::Send(m_log, kFnIdentify, request);
        if (response.ready && !response.ok) {
            m_log.DebugLvl(kFnIdentify, 2, "Request [%s] failed, HTTP status %ld",
                           request.url.c_str(), response.status);
        }
        return response;
    }

    // Keeps the value when it is a plausible identifier; logs it otherwise.
    void Add(const char* key, const std::string& value) {
        if (!IsTextAnswer(value)) {
            m_log.DebugLvl(kFnIdentify, 2, "Refused a value for %s: not one printable word",
                           key);
            return;
        }
        m_attributes.push_back({key, value, kSource});
    }

private:
    const EvDebug& m_log;
    std::string m_base;
    Clock::time_point m_end;
    Attributes m_attributes;
};

metadata::Request Get(const std::string& url, const char* accept = "text/plain") {
    metadata::Request request;
    request.url = url;
    request.accept = accept;
    return request;
}

// The token for the GETs that follow, or "" when the service gave none in
// time: the GETs then go without one. Never logged.
std::string SessionToken(Session& session, const char* path, const char* ttlHeader) {
    metadata::Request put = Get(session.base() + path);
    put.put = true;
    put.headers.push_back({ttlHeader, "Failed to set session token TTL header"});
    metadata::Response answer = session.Send(put, kTokenLimitMs);
    std::string token;
    if (answer.ok && IsToken(answer.body)) {
        token = std::move(answer.body);
    } else {
        session.log().DebugLvl(kFnIdentify, 2,
                               "No session token from [%s] (HTTP status %ld): asking without one",
                               put.url.c_str(), answer.status);
    }
    metadata::Wipe(answer.body);
    return token;
}

void AddTokenHeader(metadata::Request& request, const char* name, const std::string& token) {
    if (!token.empty()) {
        request.headers.push_back(
            {std::string(name) + ": " + token, "Failed to set session token header"});
    }
}

struct JsonKey {
    const char* key;    // ours
    const char* field;  // the document's
};

void AddFromDocument(Session& session, const std::string& text, const JsonKey* keys,
                     size_t count) {
    mObject document;
    if (!ZtJson::Unserialize(text, document)) {
        session.log().DebugLvl(kFnIdentify, 2, "Refused an answer that is not a JSON object");
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        const auto found = document.find(keys[i].field);
        if (found != document.end() && found->second.is_string() &&
            !found->second.get_ref<const std::string&>().empty()) {
            session.Add(keys[i].key, found->second.get<std::string>());
        }
    }
}

template <size_t N>
void AddFromDocument(Session& session, const std::string& text, const JsonKey (&keys)[N]) {
    AddFromDocument(session, text, keys, N);
}

void FetchAws(Session& session) {
    static constexpr JsonKey kKeys[] = {
        {"cloud.region", "region"},         {"cloud.availability_zone", "availabilityZone"},
        {"cloud.account.id", "accountId"},  {"host.id", "instanceId"},
        {"host.type", "instanceType"},
    };
    std::string token = SessionToken(session, kEc2TokenPath, kEc2IdentityTokenTtlHeader);
    metadata::Request get = Get(session.base() + kEc2IdentityDocumentPath);
    AddTokenHeader(get, kEc2TokenHeaderName, token);
    metadata::Wipe(token);
    const metadata::Response answer = session.Send(get);
    if (answer.ok) {
        AddFromDocument(session, answer.body, kKeys);
    }
}

// One item of Google's service; "" unless Google itself answered.
std::string GoogleItem(Session& session, const char* item) {
    metadata::Request get = Get(session.base() + kGcePath + item);
    get.headers.push_back({kGceHeader, "Failed to set CURL Metadata-Flavor: Google header"});
    get.replyHeader = kGceFlavorName;
    const metadata::Response answer = session.Send(get);
    if (!answer.ok) {
        return "";
    }
    if (answer.header != kGceFlavorValue) {
        session.log().DebugLvl(kFnIdentify, 2, "Refused [%s]: no %s: %s reply header",
                               get.url.c_str(), kGceFlavorName, kGceFlavorValue);
        return "";
    }
    return OneLine(answer.body);
}

void FetchGcp(Session& session) {
    const std::string id = GoogleItem(session, kGceItemInstanceId);
    const std::string zone = LastSegment(GoogleItem(session, kGceItemZone));
    const std::string type = LastSegment(GoogleItem(session, kGceItemMachineType));
    const std::string project = GoogleItem(session, kGceItemProjectId);
    // "europe-west3-c" lies in "europe-west3".
    const size_t dash = zone.rfind('-');
    if (IsTextAnswer(zone) && dash != std::string::npos && dash > 0) {
        session.Add("cloud.region", zone.substr(0, dash));
    }
    const std::pair<const char*, const std::string*> kept[] = {
        {"cloud.availability_zone", &zone}, {"cloud.account.id", &project},
        {"host.id", &id}, {"host.type", &type}};
    for (const auto& [key, value] : kept) {
        if (!value->empty()) {
            session.Add(key, *value);
        }
    }
}

void FetchAzure(Session& session) {
    static constexpr JsonKey kKeys[] = {
        {"cloud.region", "location"},  {"cloud.availability_zone", "zone"},
        {"cloud.account.id", "subscriptionId"}, {"host.id", "vmId"},
        {"host.type", "vmSize"},
    };
    metadata::Request get = Get(session.base() + kAzureComputePath, "application/json");
    get.headers.push_back({kAzureHeader, "Failed to set Azure Metadata header"});
    const metadata::Response answer = session.Send(get);
    if (answer.ok) {
        AddFromDocument(session, answer.body, kKeys);
    }
}

void FetchOracle(Session& session) {
    static constexpr JsonKey kKeys[] = {
        {"cloud.region", "canonicalRegionName"}, {"cloud.availability_zone", "availabilityDomain"},
        {"cloud.account.id", "compartmentId"},   {"host.id", "id"},
        {"host.type", "shape"},
    };
    metadata::Request v2 = Get(session.base() + kOciV2Path, nullptr);
    v2.headers.push_back({kOciV2Header, "Failed to set OCI Authorization header"});
    metadata::Response answer = session.Send(v2);
    // Instances that predate v2 refuse it; v1 answers the same document.
    if (!answer.ok && (answer.status == 404 || answer.status == 401 || answer.status == 403)) {
        metadata::Request v1 = Get(session.base() + kOciV1Path, nullptr);
        answer = session.Send(v1);
    }
    if (answer.ok) {
        AddFromDocument(session, answer.body, kKeys);
    }
}

void FetchAlibaba(Session& session) {
    static constexpr JsonKey kItems[] = {
        {"host.id", "instance-id"},          {"cloud.region", "region-id"},
        {"cloud.availability_zone", "zone-id"}, {"cloud.account.id", "owner-account-id"},
        {"host.type", "instance/instance-type"},
    };
    std::string token = SessionToken(session, kAlibabaTokenPath, kAlibabaTokenTtlHeader);
    for (const JsonKey& item : kItems) {
        metadata::Request get = Get(session.base() + kAlibabaMetaDataPath + item.field);
        AddTokenHeader(get, kAlibabaTokenHeaderName, token);
        const metadata::Response answer = session.Send(get);
        if (answer.ok) {
            session.Add(item.key, OneLine(answer.body));
        }
    }
    metadata::Wipe(token);
}

enum CloudIndex { kAws, kGcp, kAzure, kOracle, kAlibaba, kCloudCount };

struct Provider {
    const char* provider;  // cloud.provider
    const char* platform;  // cloud.platform
    Endpoint (*endpoint)();
    void (*fetch)(Session&);
};

const Provider kProviders[kCloudCount] = {
    {"aws", "aws_ec2", &endpoints::Ec2, &FetchAws},
    {"gcp", "gcp_compute_engine", &endpoints::Gce, &FetchGcp},
    {"azure", "azure.vm", &endpoints::Azure, &FetchAzure},
    {"oracle_cloud", "oracle_cloud_compute", &endpoints::Oci, &FetchOracle},
    {"alibaba_cloud", "alibaba_cloud_ecs", &endpoints::Alibaba, &FetchAlibaba},
};

struct FirmwareRule {
    const char* field;  // a world-readable DMI file
    bool contains;      // case-blind substring, else the whole value
    const char* value;
    CloudIndex cloud;
};

// The first row that matches names the cloud. The rows cannot overlap on
// real firmware; the order only follows the provider table. No row matches
// on-premises Hyper-V: Azure's asset tag is the one mark it lacks.
const FirmwareRule kFirmwareRules[] = {
    {"sys_vendor", false, "Amazon EC2", kAws},                     // ec2-nitro-1.txt
    {"product_version", true, "amazon", kAws},                     // ec2-xen-1.txt
    {"bios_version", true, "amazon", kAws},                        // ec2-xen-1.txt
    {"sys_vendor", false, "Google", kGcp},                         // gce-1.txt
    {"product_name", false, "Google Compute Engine", kGcp},        // gce-1.txt
    {"chassis_asset_tag", false, "7783-7084-3265-9085-8269-3286-77", kAzure},  // azure-1-spaces.txt
    // No published capture; cloud-init's Oracle datasource names this tag.
    {"chassis_asset_tag", false, "OracleCloud.com", kOracle},
    {"sys_vendor", false, "Alibaba Cloud", kAlibaba},              // alibaba-1.txt
};

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\n");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t\n") - first + 1);
}

const FirmwareRule* Choose(const report::DmiFields& dmi) {
    for (const FirmwareRule& rule : kFirmwareRules) {
        const auto found = dmi.find(rule.field);
        if (found == dmi.end()) {
            continue;
        }
        const std::string value = Trimmed(found->second);
        const bool match = rule.contains ? strcasestr(value.c_str(), rule.value) != nullptr
                                         : value == rule.value;
        if (match) {
            return &rule;
        }
    }
    return nullptr;
}

unsigned long DeadlineMs() {
    unsigned long value = kDefaultDeadlineMs;
    ZTPlatformInfo config;
    if (config.getNumber(kConfigSection, kKeyCloudIdentityTimeout, &value) == 0) {
        return kDefaultDeadlineMs;
    }
    return std::min(value, kMaxDeadlineMs);
}

// The keys of one cloud's service; empty when it gave none.
Attributes Ask(const FirmwareRule& rule) {
    const Provider& provider = kProviders[rule.cloud];
    EvDebug log(nullptr);
    log.DebugLvl(kFnIdentify, 1, "Firmware %s [%s] names %s; asking its metadata service",
                 rule.field, rule.value, provider.provider);
    const Endpoint endpoint = provider.endpoint();
    if (endpoint.state == Endpoint::State::Disabled) {
        log.DebugLvl(kFnIdentify, 1, "EC2 metadata disabled by %s; no request sent",
                     kEnvEc2Disabled);
        return {};
    }
    if (endpoint.state == Endpoint::State::Malformed) {
        log.Error(kFnIdentify, "%s", endpoint.problem.c_str());
        return {};
    }
    const unsigned long deadline = DeadlineMs();
    Session session(log, endpoint.base, Clock::now() + std::chrono::milliseconds(deadline));
    provider.fetch(session);
    Attributes& found = session.attributes();
    if (found.empty()) {
        log.DebugLvl(kFnIdentify, 1, "No identity from the %s metadata service within %lu ms",
                     provider.provider, deadline);
        return {};
    }
    found.insert(found.begin(), {{"cloud.provider", provider.provider, kSource},
                                 {"cloud.platform", provider.platform, kSource}});
    for (const report::Attribute& attribute : found) {
        log.DebugLvl(kFnIdentify, 2, "%s [%s]", attribute.key.c_str(), attribute.value.c_str());
    }
    return std::move(found);
}

struct Entry {
    std::shared_ptr<const Attributes> answer;  // set once a service answered
    bool failed = false;
    Clock::time_point failedAt;
};

// One lock for all: a cold call holds it while it asks, so concurrent first
// calls wait for that one set of requests instead of sending their own.
struct Cache {
    std::mutex mutex;
    Entry entries[kCloudCount];
};

Cache& TheCache() {
    static Cache* cache = new Cache();  // never destroyed: callers may run at exit
    return *cache;
}

const std::shared_ptr<const Attributes>& None() {
    static const auto* none = new std::shared_ptr<const Attributes>(
        std::make_shared<const Attributes>());
    return *none;
}

}  // namespace

std::shared_ptr<const report::Attributes> Identify(const report::DmiFields& dmi) {
    const FirmwareRule* rule = Choose(dmi);
    if (rule == nullptr) {
        return None();
    }
    Cache& cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    Entry& entry = cache.entries[rule->cloud];
    if (entry.answer) {
        return entry.answer;
    }
    if (entry.failed && Clock::now() - entry.failedAt < kRetryAfter) {
        return None();
    }
    Attributes found = Ask(*rule);
    if (found.empty()) {
        entry.failed = true;
        entry.failedAt = Clock::now();
        return None();
    }
    entry.answer = std::make_shared<const Attributes>(std::move(found));
    return entry.answer;
}

void ResetCacheForTests() {
    Cache& cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    for (Entry& entry : cache.entries) {
        entry = Entry();
    }
}

void AgeFailuresForTests() {
    Cache& cache = TheCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    for (Entry& entry : cache.entries) {
        entry.failedAt -= kRetryAfter;
    }
}

}  // namespace vmdetect::cloud
