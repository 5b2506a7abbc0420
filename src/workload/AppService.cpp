// Azure App Service: the site's variables, as Azure's own detectors read
// them. Functions run on App Service with the same variables and come first.
#include "workload/Platforms.h"

namespace vmdetect::workload {
namespace {

using cloud::Shape;

constexpr Variable kVariables[] = {
    {"deployment.environment.name", "WEBSITE_SLOT_NAME", Shape::kName},
    {"azure.app_service.instance.id", "WEBSITE_INSTANCE_ID", Shape::kName},
};

bool Marked(const Evidence& evidence) {
    return Set(evidence, "WEBSITE_SITE_NAME") && Set(evidence, "WEBSITE_RESOURCE_GROUP") &&
           Set(evidence, "WEBSITE_OWNER_NAME");
}

void Derive(const Evidence& evidence, report::Attributes& keys) { AddSiteKeys(evidence, keys); }

}  // namespace

// WEBSITE_OWNER_NAME is "<subscription>+<group>-<region>webspace".
void AddSiteKeys(const Evidence& evidence, report::Attributes& keys) {
    const std::string& owner = Value(evidence, "WEBSITE_OWNER_NAME");
    const std::size_t plus = owner.find('+');
    const std::string subscription = plus == std::string::npos ? "" : owner.substr(0, plus);
    AddKey(keys, "cloud.account.id", subscription, Shape::kUuid);
    const std::string& group = Value(evidence, "WEBSITE_RESOURCE_GROUP");
    AddKey(keys, "azure.resource_group.name", group, Shape::kText);
    AddKey(keys, "cloud.region", Value(evidence, "REGION_NAME"), Shape::kLabel);
    const std::string& site = Value(evidence, "WEBSITE_SITE_NAME");
    if (report::Find(keys, "cloud.account.id") != nullptr && cloud::Fits(Shape::kText, group) &&
        cloud::Fits(Shape::kHostName, site)) {
        AddKey(keys, "cloud.resource_id",
               "/subscriptions/" + subscription + "/resourceGroups/" + group +
                   "/providers/Microsoft.Web/sites/" + site,
               Shape::kText);
    }
}

const Platform kAppService = {"azure", "azure.app_service", &Marked, kVariables, std::size(kVariables),
                              &Derive, nullptr, nullptr, nullptr, false};

}  // namespace vmdetect::workload
