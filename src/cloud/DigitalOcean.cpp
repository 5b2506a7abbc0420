// DigitalOcean: the droplet's metadata document.
#include "Constants.h"
#include "cloud/Providers.h"

namespace vmdetect::cloud {
namespace {

void Fetch(Session& session) {
    static constexpr Field kFields[] = {
        {"host.id", "droplet_id", Shape::kDigits},  // a JSON number today
        {"host.name", "hostname", Shape::kHostName},
        {"cloud.region", "region", Shape::kSlug},
    };
    const std::string document = TextItem(session, session.base() + kDigitalOceanMetaDataPath);
    if (!document.empty()) {
        AddFromDocument(session, document, kFields);
    }
}

constexpr const char* kAlways[] = {"host.id", "host.name", "cloud.region", nullptr};

}  // namespace

const Provider kDigitalOcean = {"digitalocean", nullptr, &endpoints::DigitalOcean, &Fetch, kAlways,
                                nullptr, Shape::kText};

}  // namespace vmdetect::cloud
