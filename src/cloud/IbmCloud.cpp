// IBM Cloud VPC: an identity token the service demands, then the instance
// document.
#include "Constants.h"
#include "cloud/Providers.h"

namespace vmdetect::cloud {
namespace {

// Its tokens are JSON web tokens, longer than other clouds' session tokens.
constexpr size_t kMaxTokenBytes = 4096;

std::string TokenOf(const std::string& body) {
    mObject answer;
    return ZtJson::Unserialize(body, answer) ? ZtJson::GetStringValue(answer, "access_token") : "";
}

// The account of a CRN is its scope, the seventh field: "a/<account>".
std::string AccountOf(const std::string& crn) {
    size_t start = 0;
    for (int field = 0; field < 6; ++field) {
        start = crn.find(':', start);
        if (start == std::string::npos) {
            return "";
        }
        ++start;
    }
    const std::string scope = crn.substr(start, crn.find(':', start) - start);
    return scope.rfind("a/", 0) == 0 ? scope.substr(2) : "";
}

void Fetch(Session& session) {
    static constexpr Field kFields[] = {
        {"host.id", "id", Shape::kIbmInstance},  // "02x7_8340ad93-..."
        {"host.name", "name", Shape::kHostName},
        {"host.type", "profile.name", Shape::kName},
        {"cloud.availability_zone", "zone.name", Shape::kSlug},
        {"cloud.resource_id", "crn", Shape::kCrn},
        {"host.image.id", "image.id", Shape::kName},
        {"host.image.name", "image.name", Shape::kLabel},
    };
    metadata::Request put = Get(session.base() + kIbmCloudTokenPath, "application/json");
    put.put = true;
    put.body = kIbmCloudTokenBody;
    put.headers.push_back({kIbmCloudFlavorHeader, "Failed to set IBM Metadata-Flavor header"});
    put.headers.push_back({kIbmCloudContentType, "Failed to set IBM Content-Type header"});
    std::string token = DemandedToken(session, put, &TokenOf, kMaxTokenBytes);
    if (token.empty()) {
        return;  // the service answers nothing without one
    }
    metadata::Request get = Get(session.base() + kIbmCloudInstancePath, "application/json");
    AddTokenHeader(get, kIbmCloudTokenHeaderName, token, kIbmCloudTokenPrefix);
    metadata::Wipe(token);
    mObject document;
    if (!GetObject(session, get, document)) {
        return;
    }
    AddFromObject(session, document, kFields);
    session.Add("cloud.region", RegionOfZone(session.Value("cloud.availability_zone")),
                Shape::kSlug);
    session.Add("cloud.account.id", AccountOf(session.Value("cloud.resource_id")), Shape::kSlug);
}

constexpr const char* kAlways[] = {"cloud.region", "cloud.availability_zone", "cloud.account.id",
                                   "cloud.resource_id", "host.id", "host.name", "host.type",
                                   nullptr};

}  // namespace

const Provider kIbmCloud = {"ibm_cloud", "ibm_cloud.vpc", &endpoints::IbmCloud, &Fetch, kAlways,
                            nullptr, Shape::kText};

}  // namespace vmdetect::cloud
