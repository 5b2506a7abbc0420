// Azure Container Apps: the variables every replica's containers get.
#include "workload/Platforms.h"

namespace vmdetect::workload {
namespace {

constexpr Variable kVariables[] = {
    {"azure.container_app.instance.id", "CONTAINER_APP_REPLICA_NAME", cloud::Shape::kName},
};

bool Marked(const Evidence& evidence) { return Set(evidence, "CONTAINER_APP_NAME"); }

}  // namespace

const Platform kContainerApps = {"azure", "azure.container_apps", &Marked, kVariables,
                                 std::size(kVariables), nullptr, nullptr, nullptr, nullptr, false};

}  // namespace vmdetect::workload
