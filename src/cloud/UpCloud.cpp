// UpCloud: the server's metadata document.
#include "Constants.h"
#include "cloud/Providers.h"

namespace vmdetect::cloud {
namespace {

void Fetch(Session& session) {
    // Its cloud_name is not read: the provider is ours to name.
    static constexpr Field kFields[] = {
        {"host.id", "instance_id", Shape::kUuid},
        {"host.name", "hostname", Shape::kHostName},
        {"cloud.region", "region", Shape::kSlug},  // "fi-hel1"
    };
    metadata::Request get = Get(session.base() + kUpCloudMetaDataPath, "application/json");
    mObject document;
    if (GetObject(session, get, document)) {
        AddFromObject(session, document, kFields);
    }
}

constexpr const char* kAlways[] = {"cloud.region", "host.id", "host.name", nullptr};

}  // namespace

const Provider kUpCloud = {"upcloud", nullptr, &endpoints::UpCloud, &Fetch, kAlways, nullptr,
                           Shape::kText};

}  // namespace vmdetect::cloud
