// Google's Bare Metal Solution: its own variables, and no metadata service.
#include "workload/Platforms.h"

namespace vmdetect::workload {
namespace {

using cloud::Shape;

constexpr Variable kVariables[] = {
    {"cloud.account.id", "BMS_PROJECT_ID", Shape::kName},
    {"cloud.region", "BMS_REGION", Shape::kSlug},
    {"host.id", "BMS_INSTANCE_ID", Shape::kName},
};

bool Marked(const Evidence& evidence) {
    return Set(evidence, "BMS_INSTANCE_ID") && Set(evidence, "BMS_PROJECT_ID") && Set(evidence, "BMS_REGION");
}

}  // namespace

const Platform kBareMetalSolution = {"gcp", "gcp_bare_metal_solution", &Marked, kVariables,
                                     std::size(kVariables), nullptr, nullptr, nullptr, nullptr, false};

}  // namespace vmdetect::workload
