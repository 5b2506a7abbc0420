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
    const std::string text = TextItem(session, session.base() + kDigitalOceanMetaDataPath);
    // The reference shows the document inside a one-element array; the
    // service and older pages give it bare.
    const mValue document = mValue::parse(text, nullptr, false);
    const mValue* object = &document;
    if (document.is_array() && document.size() == 1) {
        object = &document[0];
    }
    if (object->is_object()) {
        AddFromObject(session, object->get_ref<const mObject&>(), kFields);
    } else if (!text.empty()) {
        session.log().DebugLvl(kFnIdentify, 2, "Refused an answer that is not a JSON object");
    }
}

constexpr const char* kAlways[] = {"host.id", "host.name", "cloud.region", nullptr};

}  // namespace

const Provider kDigitalOcean = {"digitalocean", nullptr, &endpoints::DigitalOcean, &Fetch, kAlways,
                                nullptr, Shape::kText};

}  // namespace vmdetect::cloud
