// Oracle Cloud: the instance document, v2 first, v1 where v2 is refused.
#include "Constants.h"
#include "cloud/Providers.h"

namespace vmdetect::cloud {
namespace {

void Fetch(Session& session) {
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

constexpr const char* kAlways[] = {"cloud.region", "cloud.availability_zone", "cloud.account.id",
                                   "host.id", "host.type", nullptr};

}  // namespace

const Provider kOracle = {"oracle_cloud", "oracle_cloud_compute", &endpoints::Oci, &Fetch,
                          kAlways, nullptr, Shape::kText};

}  // namespace vmdetect::cloud
