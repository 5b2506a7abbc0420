// Google Cloud Run: a service's variables (K_CONFIGURATION), or a job's
// (CLOUD_RUN_JOB).
#include "workload/Platforms.h"

namespace vmdetect::workload {
namespace {

using cloud::Shape;

constexpr Variable kService[] = {
    {"faas.name", "K_SERVICE", Shape::kName},
    {"faas.version", "K_REVISION", Shape::kName},
};

constexpr Variable kJob[] = {
    {"faas.name", "CLOUD_RUN_JOB", Shape::kName},
    {"gcp.cloud_run.job.execution", "CLOUD_RUN_EXECUTION", Shape::kName},
    {"gcp.cloud_run.job.task_index", "CLOUD_RUN_TASK_INDEX", Shape::kDigits},
};

bool ServiceMarked(const Evidence& evidence) { return Set(evidence, "K_CONFIGURATION"); }
bool JobMarked(const Evidence& evidence) { return Set(evidence, "CLOUD_RUN_JOB"); }

}  // namespace

const Platform kCloudRun = {"gcp", "gcp_cloud_run", &ServiceMarked, kService, std::size(kService),
                            nullptr, &GoogleEndpoint, &FetchGoogle, kGoogleAlways, false};
const Platform kCloudRunJob = {"gcp", "gcp_cloud_run", &JobMarked, kJob, std::size(kJob),
                               nullptr, &GoogleEndpoint, &FetchGoogle, kGoogleAlways, false};

}  // namespace vmdetect::workload
