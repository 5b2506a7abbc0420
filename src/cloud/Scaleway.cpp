// Scaleway: the server's configuration document, on Scaleway's own address.
#include "Constants.h"
#include "cloud/Providers.h"

namespace vmdetect::cloud {
namespace {

void Fetch(Session& session) {
    static constexpr Field kFields[] = {
        {"host.id", "id", Shape::kUuid},
        {"host.name", "name", Shape::kLabel},
        {"host.type", "commercial_type", Shape::kName},  // "DEV1-S"
        {"cloud.account.id", "organization", Shape::kUuid},
        // "fr-par-1"; older answers name the zone "par1", with no region.
        {"cloud.availability_zone", "location.zone_id", Shape::kSlug},
        {"host.image.id", "image.id", Shape::kUuid},
        {"host.image.name", "image.name", Shape::kLabel},
    };
    metadata::Request get = Get(session.base() + kScalewayConfPath, "application/json");
    mObject document;
    if (GetObject(session, get, document)) {
        AddFromObject(session, document, kFields);
        session.Add("cloud.region", RegionOfZone(session.Value("cloud.availability_zone")),
                    Shape::kSlug);
    }
}

constexpr const char* kAlways[] = {"cloud.region", "cloud.availability_zone", "cloud.account.id",
                                   "host.id", "host.name", "host.type", nullptr};

}  // namespace

const Provider kScaleway = {"scaleway_cloud", "scaleway_cloud_compute", &endpoints::Scaleway,
                            &Fetch, kAlways, nullptr, Shape::kText};

}  // namespace vmdetect::cloud
