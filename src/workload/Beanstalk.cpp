// AWS Elastic Beanstalk: the X-Ray configuration its instances carry. They
// are EC2 instances, whose own identity still holds.
#include "workload/Platforms.h"

namespace vmdetect::workload {
namespace {

using cloud::Shape;

bool Marked(const Evidence& evidence) { return evidence.beanstalk.has_value(); }

// {"deployment_id":23,"version_label":"env-version-1234","environment_name":"BScope"}
void Derive(const Evidence& evidence, report::Attributes& keys) {
    mObject document;
    if (!ZtJson::Unserialize(*evidence.beanstalk, document)) {
        EvDebug(nullptr).DebugLvl(cloud::kFnIdentify, 1, "Elastic Beanstalk's %s is not a JSON object",
                                  "environment.conf");
        return;
    }
    AddKey(keys, "deployment.environment.name", cloud::Member(document, "environment_name"), Shape::kLabel,
           "file");
    AddKey(keys, "deployment.id", cloud::Member(document, "deployment_id"), Shape::kText, "file");
}

}  // namespace

const Platform kBeanstalk = {"aws", "aws_elastic_beanstalk", &Marked, nullptr, 0, &Derive,
                             nullptr, nullptr, nullptr, true};

}  // namespace vmdetect::workload
