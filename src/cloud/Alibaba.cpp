// Alibaba Cloud ECS: a session token, then one item a request.
#include "Constants.h"
#include "cloud/Providers.h"

namespace vmdetect::cloud {
namespace {

void Fetch(Session& session) {
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

constexpr const char* kAlways[] = {"cloud.region", "cloud.availability_zone", "cloud.account.id",
                                   "host.id", "host.type", nullptr};

}  // namespace

const Provider kAlibaba = {"alibaba_cloud", "alibaba_cloud_ecs", &endpoints::Alibaba, &Fetch,
                           kAlways, nullptr, Shape::kText};

}  // namespace vmdetect::cloud
