// Microsoft Azure: the compute document of the instance metadata service.
#include "Constants.h"
#include "cloud/Providers.h"

namespace vmdetect::cloud {
namespace {

void Fetch(Session& session) {
    static constexpr Field kFields[] = {
        {"host.id", "vmId", Shape::kUuid},
        {"cloud.region", "location", Shape::kSlug},
        {"cloud.availability_zone", "zone", Shape::kSlug},
        {"cloud.account.id", "subscriptionId", Shape::kUuid},
        {"host.type", "vmSize", Shape::kName},
        // Answers before the osProfile member give only the VM's name.
        {"host.name", "osProfile.computerName", Shape::kHostName},
        {"host.name", "name", Shape::kHostName},
        {"cloud.resource_id", "resourceId", Shape::kText},
        {"azure.vm.name", "name", Shape::kName},
        {"azure.vm.size", "vmSize", Shape::kName},
        {"azure.vm.scaleset.name", "vmScaleSetName", Shape::kName},
        {"azure.resourcegroup.name", "resourceGroupName", Shape::kText},
    };
    metadata::Request get = Get(session.base() + kAzureComputePath, "application/json");
    get.headers.push_back({kAzureHeader, "Failed to set Azure Metadata header"});
    const metadata::Response answer = session.Send(get);
    if (answer.ok) {
        AddFromDocument(session, answer.body, kFields);
    }
}

// Regions without zones answer an empty zone.
constexpr const char* kAlways[] = {"cloud.region", "cloud.account.id", "host.id", "host.type",
                                   nullptr};

}  // namespace

const Provider kAzure = {"azure", "azure.vm", &endpoints::Azure, &Fetch, kAlways, nullptr,
                         Shape::kText};

}  // namespace vmdetect::cloud
