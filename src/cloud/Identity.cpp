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
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "Constants.h"
#include "Endpoints.h"
#include "EvDebug.h"
#include "MetadataRequest.h"
#include "CloudShapes.h"
#include "adapters/ForkSafeMutex.h"
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

    // Keeps the value when it has the key's shape; names only the key
    // otherwise, for the value may be anything a proxy said.
    void Add(const char* key, const std::string& value, Shape shape) {
        if (value.empty() || Has(key)) {
            return;  // not answered (the request said why), or given already
        }
        if (!Fits(shape, value)) {
            m_log.DebugLvl(kFnIdentify, 2, "Refused the answer for %s: not of its shape", key);
            return;
        }
        m_attributes.push_back({key, value, kSource});
    }

    bool Has(const char* key) const { return !Value(key).empty(); }

    // The kept value of `key`, "" when none.
    const std::string& Value(const char* key) const {
        static const std::string kNone;
        const auto found = std::find_if(m_attributes.begin(), m_attributes.end(),
                                        [key](const report::Attribute& a) { return a.key == key; });
        return found == m_attributes.end() ? kNone : found->value;
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
    } else if (answer.ok) {
        session.log().DebugLvl(kFnIdentify, 2,
                               "Refused the session token from [%s]: not a token: asking without one",
                               put.url.c_str());
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

// One key of a cloud's answer: where it is, and the shape it must have.
struct Field {
    const char* key;   // ours
    const char* name;  // the document's member, or the item's path
    Shape shape;
};

// The string at `path` ("osProfile.computerName": a member of a member);
// "" when a step is missing or not of its kind.
std::string Member(const mObject& document, const char* path) {
    const mObject* object = &document;
    std::string_view rest(path);
    while (true) {
        const size_t dot = rest.find('.');
        const auto found = object->find(std::string(rest.substr(0, dot)));
        if (found == object->end()) {
            return "";
        }
        if (dot == std::string_view::npos) {
            return found->second.is_string() ? found->second.get<std::string>() : "";
        }
        if (!found->second.is_object()) {
            return "";
        }
        object = found->second.get_ptr<const mObject*>();
        rest.remove_prefix(dot + 1);
    }
}

// Where two fields fill one key, the first one present and of its shape wins.
template <size_t N>
void AddFromDocument(Session& session, const std::string& text, const Field (&fields)[N]) {
    mObject document;
    if (!ZtJson::Unserialize(text, document)) {
        session.log().DebugLvl(kFnIdentify, 2, "Refused an answer that is not a JSON object");
        return;
    }
    for (const Field& field : fields) {
        session.Add(field.key, Member(document, field.name), field.shape);
    }
}

// A GET under the session's token; its text, "" when it failed.
std::string TextItem(Session& session, const std::string& url, const char* tokenHeader,
                     const std::string& token) {
    metadata::Request get = Get(url);
    AddTokenHeader(get, tokenHeader, token);
    const metadata::Response answer = session.Send(get);
    return answer.ok ? OneLine(answer.body) : "";
}

// EC2 names its partitions by the region's prefix.
const char* AwsPartition(const std::string& region) {
    if (region.rfind("cn-", 0) == 0) {
        return "aws-cn";
    }
    return region.rfind("us-gov-", 0) == 0 ? "aws-us-gov" : "aws";
}

void FetchAws(Session& session) {
    static constexpr Field kFields[] = {
        {"host.id", "instanceId", Shape::kEc2Instance},
        {"cloud.region", "region", Shape::kSlug},
        {"cloud.availability_zone", "availabilityZone", Shape::kSlug},
        {"cloud.account.id", "accountId", Shape::kAwsAccount},
        {"host.type", "instanceType", Shape::kName},
        {"host.image.id", "imageId", Shape::kName},
    };
    std::string token = SessionToken(session, kEc2TokenPath, kEc2IdentityTokenTtlHeader);
    const std::string document =
        TextItem(session, session.base() + kEc2IdentityDocumentPath, kEc2TokenHeaderName, token);
    if (!document.empty()) {
        AddFromDocument(session, document, kFields);
    }
    if (session.Has("host.id")) {
        session.Add("host.name",
                    TextItem(session, session.base() + kEc2MetaDataPath + kEc2ItemHostName,
                             kEc2TokenHeaderName, token),
                    Shape::kHostName);
    }
    metadata::Wipe(token);
    const std::string& region = session.Value("cloud.region");
    const std::string& account = session.Value("cloud.account.id");
    const std::string& id = session.Value("host.id");
    if (!region.empty() && !account.empty() && !id.empty()) {
        session.Add("cloud.resource_id",
                    std::string("arn:") + AwsPartition(region) + ":ec2:" + region + ":" + account +
                        ":instance/" + id,
                    Shape::kText);
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
    session.Add("host.id", GoogleItem(session, kGceItemInstanceId), Shape::kDigits);
    if (!session.Has("host.id")) {
        return;
    }
    const std::string zone = LastSegment(GoogleItem(session, kGceItemZone));
    // "europe-west3-c" lies in "europe-west3".
    const size_t dash = zone.rfind('-');
    if (Fits(Shape::kSlug, zone) && dash != std::string::npos) {
        session.Add("cloud.region", zone.substr(0, dash), Shape::kSlug);
        session.Add("cloud.availability_zone", zone, Shape::kSlug);
    }
    session.Add("host.type", LastSegment(GoogleItem(session, kGceItemMachineType)), Shape::kName);
    session.Add("cloud.account.id", GoogleItem(session, kGceItemProjectId), Shape::kName);
    const std::string name = GoogleItem(session, kGceItemName);
    session.Add("host.name", name, Shape::kHostName);
    session.Add("gcp.gce.instance.name", name, Shape::kHostName);
    session.Add("gcp.gce.instance.hostname", GoogleItem(session, kGceItemHostName),
                Shape::kHostName);
    const std::string& project = session.Value("cloud.account.id");
    if (!project.empty() && session.Has("cloud.availability_zone") && session.Has("host.name")) {
        session.Add("cloud.resource_id",
                    "//compute.googleapis.com/projects/" + project + "/zones/" + zone +
                        "/instances/" + session.Value("host.name"),
                    Shape::kText);
    }
}

void FetchAzure(Session& session) {
    static constexpr Field kFields[] = {
        {"host.id", "vmId", Shape::kUuid},
        {"cloud.region", "location", Shape::kSlug},
        {"cloud.availability_zone", "zone", Shape::kSlug},
        {"cloud.account.id", "subscriptionId", Shape::kUuid},
        {"host.type", "vmSize", Shape::kName},
        // Answers before the osProfile member give only the VM's name.
        {"host.name", "osProfile.computerName", Shape::kHostName},
        {"host.name", "name", Shape::kHostName},
        {"cloud.resource_id", "resourceId", Shape::kText},
        {"azure.vm.name", "name", Shape::kName},
        {"azure.vm.size", "vmSize", Shape::kName},
        {"azure.vm.scaleset.name", "vmScaleSetName", Shape::kName},
        {"azure.resourcegroup.name", "resourceGroupName", Shape::kText},
    };
    metadata::Request get = Get(session.base() + kAzureComputePath, "application/json");
    get.headers.push_back({kAzureHeader, "Failed to set Azure Metadata header"});
    const metadata::Response answer = session.Send(get);
    if (answer.ok) {
        AddFromDocument(session, answer.body, kFields);
    }
}

void FetchOracle(Session& session) {
    static constexpr Field kFields[] = {
        {"host.id", "id", Shape::kOcidInstance},
        {"cloud.region", "canonicalRegionName", Shape::kSlug},
        {"cloud.availability_zone", "availabilityDomain", Shape::kName},
        {"cloud.account.id", "compartmentId", Shape::kOcid},
        {"host.type", "shape", Shape::kName},
        {"host.name", "displayName", Shape::kText},
        {"host.image.id", "image", Shape::kOcid},
        {"cloud.resource_id", "id", Shape::kOcidInstance},
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
        AddFromDocument(session, answer.body, kFields);
    }
}

void FetchAlibaba(Session& session) {
    static constexpr Field kItems[] = {
        {"host.id", "instance-id", Shape::kAliInstance},
        {"cloud.region", "region-id", Shape::kSlug},
        {"cloud.availability_zone", "zone-id", Shape::kSlug},
        {"cloud.account.id", "owner-account-id", Shape::kDigits},
        {"host.type", "instance/instance-type", Shape::kName},
        {"host.name", "hostname", Shape::kHostName},
        {"host.image.id", "image-id", Shape::kName},
    };
    std::string token = SessionToken(session, kAlibabaTokenPath, kAlibabaTokenTtlHeader);
    for (const Field& item : kItems) {
        session.Add(item.key,
                    TextItem(session, session.base() + kAlibabaMetaDataPath + item.name,
                             kAlibabaTokenHeaderName, token),
                    item.shape);
        if (!session.Has("host.id")) {
            break;  // no instance, no identity: ask nothing more
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
    // Regions without zones give Azure's answer an empty zone.
    bool zoneOptional;
    // A world-readable DMI file that holds the instance id, and its shape.
    const char* idInFirmware;
    Shape idShape;
};

const Provider kProviders[kCloudCount] = {
    // Nitro instances: board_asset_tag (ec2-nitro-1.txt).
    {"aws", "aws_ec2", &endpoints::Ec2, &FetchAws, false, "board_asset_tag", Shape::kEc2Instance},
    {"gcp", "gcp_compute_engine", &endpoints::Gce, &FetchGcp, false, nullptr, Shape::kText},
    {"azure", "azure.vm", &endpoints::Azure, &FetchAzure, true, nullptr, Shape::kText},
    {"oracle_cloud", "oracle_cloud_compute", &endpoints::Oci, &FetchOracle, false, nullptr,
     Shape::kText},
    {"alibaba_cloud", "alibaba_cloud_ecs", &endpoints::Alibaba, &FetchAlibaba, false, nullptr,
     Shape::kText},
};

// Whether `found` holds every key its cloud's service always gives; a
// partial answer is served, but asked again after the retry interval.
bool Complete(const Provider& provider, const Attributes& found) {
    static constexpr const char* kAlways[] = {"cloud.region", "cloud.availability_zone",
                                              "cloud.account.id", "host.id", "host.type"};
    for (const char* key : kAlways) {
        const bool has = std::any_of(found.begin(), found.end(),
                                     [key](const report::Attribute& a) { return a.key == key; });
        if (!has && !(provider.zoneOptional && std::strcmp(key, "cloud.availability_zone") == 0)) {
            return false;
        }
    }
    return true;
}

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

// The instance id the firmware holds, "" when it holds none.
std::string FirmwareId(const Provider& provider, const report::DmiFields& dmi) {
    if (provider.idInFirmware == nullptr) {
        return "";
    }
    const auto found = dmi.find(provider.idInFirmware);
    const std::string id = found == dmi.end() ? "" : Trimmed(found->second);
    return Fits(provider.idShape, id) ? id : "";
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
    if (!session.Has("host.id")) {
        // Whatever else answered, without an instance there is no identity.
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
    std::shared_ptr<const Attributes> answer;  // the fullest answer so far
    bool complete = false;                     // kept for the process
    bool asked = false;
    Clock::time_point askedAt;
};

// One lock for all: a cold call holds it while it asks, so concurrent first
// calls wait for that one set of requests instead of sending their own. A
// child forked meanwhile gets a lock of its own and asks afresh.
struct Cache {
    adapters::ForkSafeMutex mutex;
    Entry entries[kCloudCount];
};

Cache& TheCache() {
    static Cache* cache = new Cache();  // never destroyed: callers may run at exit
    return *cache;
}

// The answers a fork may have caught half-written are dropped unread.
void Abandon(Cache& cache) {
    for (Entry& entry : cache.entries) {
        new (&entry) Entry();
    }
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
    const adapters::ForkSafeGuard lock(cache.mutex, [&cache] { Abandon(cache); });
    Entry& entry = cache.entries[rule->cloud];
    const bool fresh = entry.asked && Clock::now() - entry.askedAt < kRetryAfter;
    if (entry.complete || fresh) {
        return entry.answer ? entry.answer : None();
    }
    Attributes found = Ask(*rule);
    const std::string firmwareId = FirmwareId(kProviders[rule->cloud], dmi);
    for (const report::Attribute& a : found) {
        if (a.key == "host.id" && !firmwareId.empty() && a.value != firmwareId) {
            EvDebug(nullptr).DebugLvl(kFnIdentify, 1,
                                      "host.id [%s] of the metadata service differs from %s "
                                      "[%s]; keeping the service's",
                                      a.value.c_str(), kProviders[rule->cloud].idInFirmware,
                                      firmwareId.c_str());
        }
    }
    entry.asked = true;
    entry.askedAt = Clock::now();
    // A later answer that gives less (its service slower this time) does
    // not replace a fuller one.
    if (!found.empty() && (!entry.answer || found.size() >= entry.answer->size())) {
        entry.complete = Complete(kProviders[rule->cloud], found);
        entry.answer = std::make_shared<const Attributes>(std::move(found));
    }
    return entry.answer ? entry.answer : None();
}

report::Attributes FromFirmware(const report::DmiFields& dmi) {
    const FirmwareRule* rule = Choose(dmi);
    if (rule == nullptr) {
        return {};
    }
    const Provider& provider = kProviders[rule->cloud];
    report::Attributes found = {{"cloud.provider", provider.provider, "dmi"},
                                {"cloud.platform", provider.platform, "dmi"}};
    const std::string id = FirmwareId(provider, dmi);
    if (!id.empty()) {
        found.push_back({"host.id", id, "dmi"});
    }
    return found;
}

void ResetCacheForTests() {
    Cache& cache = TheCache();
    const adapters::ForkSafeGuard lock(cache.mutex, [&cache] { Abandon(cache); });
    for (Entry& entry : cache.entries) {
        entry = Entry();
    }
}

void AgeAnswersForTests() {
    Cache& cache = TheCache();
    const adapters::ForkSafeGuard lock(cache.mutex, [&cache] { Abandon(cache); });
    for (Entry& entry : cache.entries) {
        entry.askedAt -= kRetryAfter;
    }
}

}  // namespace vmdetect::cloud
