// Tencent Cloud CVM: one item a request.
#include "Constants.h"
#include "cloud/Providers.h"

namespace vmdetect::cloud {
namespace {

void Fetch(Session& session) {
    static constexpr Field kItems[] = {
        {"host.id", "instance-id", Shape::kTencentInstance},
        {"cloud.region", "placement/region", Shape::kSlug},
        {"cloud.availability_zone", "placement/zone", Shape::kSlug},
        {"cloud.account.id", "app-id", Shape::kDigits},
        {"host.type", "instance/instance-type", Shape::kName},  // "S5.MEDIUM2"
        {"host.name", "instance-name", Shape::kLabel},          // as the console shows it
        {"host.image.id", "instance/image-id", Shape::kName},
    };
    for (const Field& item : kItems) {
        session.Add(item.key, TextItem(session, session.base() + kTencentMetaDataPath + item.name),
                    item.shape);
        if (!session.Has("host.id")) {
            break;  // no instance, no identity: ask nothing more
        }
    }
}

constexpr const char* kAlways[] = {"cloud.region", "cloud.availability_zone", "cloud.account.id",
                                   "host.id", "host.type", nullptr};

}  // namespace

const Provider kTencent = {"tencent_cloud", "tencent_cloud_cvm", &endpoints::Tencent, &Fetch,
                           kAlways, nullptr, Shape::kText};

}  // namespace vmdetect::cloud
