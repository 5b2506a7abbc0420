// OpenStack and the clouds built on it: the Nova metadata document.
#include "Constants.h"
#include "cloud/Providers.h"

namespace vmdetect::cloud {
namespace {

void Fetch(Session& session) {
    static constexpr Field kFields[] = {
        {"host.id", "uuid", Shape::kUuid},
        {"host.name", "hostname", Shape::kHostName},
        {"cloud.availability_zone", "availability_zone", Shape::kName},
        // Absent before Nova added it to the document.
        {"cloud.account.id", "project_id", Shape::kName},
    };
    const std::string document = TextItem(session, session.base() + kOpenStackMetaDataPath);
    if (!document.empty()) {
        AddFromDocument(session, document, kFields);
    }
}

constexpr const char* kAlways[] = {"host.id", "host.name", "cloud.availability_zone", nullptr};

}  // namespace

const Provider kOpenStack = {"openstack", nullptr, &endpoints::OpenStack, &Fetch, kAlways,
                             nullptr, Shape::kText};

}  // namespace vmdetect::cloud
