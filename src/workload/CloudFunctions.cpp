// Google Cloud Functions: FUNCTION_TARGET, which second-generation functions
// carry beside Cloud Run's variables (and first-generation ones alone).
#include "workload/Platforms.h"

namespace vmdetect::workload {
namespace {

using cloud::Shape;

constexpr Variable kVariables[] = {
    {"faas.name", "K_SERVICE", Shape::kName},
    {"faas.version", "K_REVISION", Shape::kName},
};

bool Marked(const Evidence& evidence) { return Set(evidence, "FUNCTION_TARGET"); }

}  // namespace

const Platform kCloudFunctions = {"gcp", "gcp_cloud_functions", &Marked, kVariables, std::size(kVariables),
                                  nullptr, &GoogleEndpoint, &FetchGoogle, kGoogleAlways, false};

}  // namespace vmdetect::workload
