// Google App Engine: GAE_ENV=standard on the standard environment,
// GAE_SERVICE on both.
#include "workload/Platforms.h"

namespace vmdetect::workload {
namespace {

using cloud::Shape;

constexpr Variable kVariables[] = {
    {"faas.name", "GAE_SERVICE", Shape::kName},
    {"faas.version", "GAE_VERSION", Shape::kName},
    {"faas.instance", "GAE_INSTANCE", Shape::kName},
};

bool Marked(const Evidence& evidence) {
    return Value(evidence, "GAE_ENV") == "standard" || Set(evidence, "GAE_SERVICE");
}

}  // namespace

const Platform kAppEngine = {"gcp", "gcp_app_engine", &Marked, kVariables, std::size(kVariables), nullptr,
                             &GoogleEndpoint, &FetchGoogleWithZone, kGoogleAlways, false};

}  // namespace vmdetect::workload
