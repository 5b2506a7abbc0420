// Amazon EC2: a session token, the instance identity document and the host
// name.
#include "Constants.h"
#include "cloud/Providers.h"

namespace vmdetect::cloud {
namespace {

// EC2 names its partitions by the region's prefix.
const char* Partition(const std::string& region) {
    if (region.rfind("cn-", 0) == 0) {
        return "aws-cn";
    }
    return region.rfind("us-gov-", 0) == 0 ? "aws-us-gov" : "aws";
}

void Fetch(Session& session) {
    static constexpr Field kFields[] = {
        {"host.id", "instanceId", Shape::kEc2Instance},
        {"cloud.region", "region", Shape::kSlug},
        {"cloud.availability_zone", "availabilityZone", Shape::kSlug},
        {"cloud.account.id", "accountId", Shape::kAwsAccount},
        {"host.type", "instanceType", Shape::kName},
        {"host.image.id", "imageId", Shape::kName},
    };
    std::string token = SessionToken(session, kEc2TokenPath, kEc2IdentityTokenTtlHeader);
    const std::string document =
        TextItem(session, session.base() + kEc2IdentityDocumentPath, kEc2TokenHeaderName, token);
    if (!document.empty()) {
        AddFromDocument(session, document, kFields);
    }
    if (session.Has("host.id")) {
        session.Add("host.name",
                    TextItem(session, session.base() + kEc2MetaDataPath + kEc2ItemHostName,
                             kEc2TokenHeaderName, token),
                    Shape::kHostName);
    }
    metadata::Wipe(token);
    const std::string& region = session.Value("cloud.region");
    const std::string& account = session.Value("cloud.account.id");
    const std::string& id = session.Value("host.id");
    if (!region.empty() && !account.empty() && !id.empty()) {
        session.Add("cloud.resource_id",
                    std::string("arn:") + Partition(region) + ":ec2:" + region + ":" + account +
                        ":instance/" + id,
                    Shape::kText);
    }
}

constexpr const char* kAlways[] = {"cloud.region", "cloud.availability_zone", "cloud.account.id",
                                   "host.id", "host.type", nullptr};

}  // namespace

// Nitro instances keep the instance id in board_asset_tag (ec2-nitro-1.txt).
const Provider kAws = {"aws", "aws_ec2", &endpoints::Ec2, &Fetch, kAlways,
                       "board_asset_tag", Shape::kEc2Instance};

}  // namespace vmdetect::cloud
