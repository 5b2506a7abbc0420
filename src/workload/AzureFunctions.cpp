// Azure Functions: the host's variables, on App Service plans, Flex
// Consumption and Container Apps alike.
#include "workload/Platforms.h"

namespace vmdetect::workload {
namespace {

using cloud::Shape;

constexpr Variable kVariables[] = {
    {"faas.name", "WEBSITE_SITE_NAME", Shape::kHostName},
    {"faas.version", "FUNCTIONS_EXTENSION_VERSION", Shape::kText},  // "~4"
    // The first one set: App Service plans, then Flex Consumption, then containers.
    {"faas.instance", "WEBSITE_INSTANCE_ID", Shape::kName},
    {"faas.instance", "WEBSITE_POD_NAME", Shape::kName},
    {"faas.instance", "CONTAINER_NAME", Shape::kName},
};

bool Marked(const Evidence& evidence) {
    return Set(evidence, "FUNCTIONS_WORKER_RUNTIME") || Set(evidence, "FUNCTIONS_EXTENSION_VERSION");
}

void Derive(const Evidence& evidence, report::Attributes& keys) {
    AddKey(keys, "faas.max_memory", MebibytesAsBytes(Value(evidence, "WEBSITE_MEMORY_LIMIT_MB")),
           Shape::kDigits);
    AddSiteKeys(evidence, keys);
}

}  // namespace

const Platform kAzureFunctions = {"azure", "azure.functions", &Marked, kVariables, std::size(kVariables),
                                  &Derive, nullptr, nullptr, nullptr, false};

}  // namespace vmdetect::workload
