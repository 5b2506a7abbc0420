// Vultr: the instance's metadata document.
#include <cctype>

#include "Constants.h"
#include "cloud/Providers.h"

namespace vmdetect::cloud {
namespace {

void Fetch(Session& session) {
    static constexpr Field kFields[] = {
        {"host.id", "instance-v2-id", Shape::kUuid},
        {"host.name", "hostname", Shape::kHostName},
    };
    metadata::Request get = Get(session.base() + kVultrMetaDataPath, "application/json");
    mObject document;
    if (!GetObject(session, get, document)) {
        return;
    }
    AddFromObject(session, document, kFields);
    if (!session.Has("host.id")) {
        // Answers before the v2 ids give the older numeric id alone.
        session.Add("host.id", Member(document, "instanceid"), Shape::kDigits);
        session.MarkOlderForm();
    }
    std::string region = Member(document, "region.regioncode");  // "EWR"
    for (char& c : region) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    session.Add("cloud.region", region, Shape::kSlug);
}

constexpr const char* kAlways[] = {"cloud.region", "host.id", "host.name", nullptr};

}  // namespace

const Provider kVultr = {"vultr", "vultr.cloud_compute", &endpoints::Vultr, &Fetch, kAlways,
                         nullptr, Shape::kText};

}  // namespace vmdetect::cloud
