// AWS Lambda: the runtime's reserved variables. AWS_EXECUTION_ENV is no
// mark: the OS-only runtimes (provided.al2023) lack it. Lambda has no EC2
// metadata service, so nothing is asked.
#include "workload/Platforms.h"

namespace vmdetect::workload {
namespace {

using cloud::Shape;

constexpr Variable kVariables[] = {
    {"cloud.region", "AWS_REGION", Shape::kSlug},
    {"faas.name", "AWS_LAMBDA_FUNCTION_NAME", Shape::kName},
    {"faas.version", "AWS_LAMBDA_FUNCTION_VERSION", Shape::kText},    // "$LATEST", "7"
    {"faas.instance", "AWS_LAMBDA_LOG_STREAM_NAME", Shape::kText},    // "2024/05/01/[$LATEST]4c1f..."
    {"aws.log.group.names", "AWS_LAMBDA_LOG_GROUP_NAME", Shape::kText},
};

bool Marked(const Evidence& evidence) { return Set(evidence, "AWS_LAMBDA_FUNCTION_NAME"); }

void Derive(const Evidence& evidence, report::Attributes& keys) {
    AddKey(keys, "faas.max_memory", MebibytesAsBytes(Value(evidence, "AWS_LAMBDA_FUNCTION_MEMORY_SIZE")),
           Shape::kDigits);
    MarkList(keys, "aws.log.group.names");
}

}  // namespace

const Platform kLambda = {"aws", "aws_lambda", &Marked, kVariables, std::size(kVariables), &Derive,
                          nullptr, nullptr, nullptr, false};

}  // namespace vmdetect::workload
