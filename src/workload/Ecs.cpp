// AWS ECS, on EC2 and Fargate: the task metadata endpoint its URI variable
// names (v4, else v3), asked for the container and then the task.
#include <algorithm>
#include <cctype>

#include "Constants.h"
#include "workload/Platforms.h"

namespace vmdetect::workload {
namespace {

using cloud::Shape;

constexpr const char* kV4 = "ECS_CONTAINER_METADATA_URI_V4";
constexpr const char* kV3 = "ECS_CONTAINER_METADATA_URI";

bool Marked(const Evidence& evidence) { return Set(evidence, kV4) || Set(evidence, kV3); }

endpoints::Endpoint Endpoint(const Evidence& evidence) {
    const char* name = Set(evidence, kV4) ? kV4 : kV3;
    return endpoints::Ecs(name, Value(evidence, name));
}

// An ECS ARN of `type` ("arn:aws:ecs:us-west-2:111122223333:task/default/158d..."):
// its prefix up to the account, "" when it is none.
std::string ArnPrefix(const std::string& arn, const char* type) {
    if (!cloud::Fits(Shape::kText, arn)) {
        return "";
    }
    std::size_t at = 0;
    std::string parts[5];
    for (std::string& part : parts) {
        const std::size_t colon = arn.find(':', at);
        if (colon == std::string::npos) {
            return "";
        }
        part = arn.substr(at, colon - at);
        at = colon + 1;
    }
    const std::string resource = arn.substr(at);
    const std::string prefix = std::string(type) + "/";
    const bool ok = parts[0] == "arn" && parts[1].rfind("aws", 0) == 0 && cloud::Fits(Shape::kSlug, parts[1]) &&
                    parts[2] == "ecs" && cloud::Fits(Shape::kSlug, parts[3]) &&
                    cloud::Fits(Shape::kAwsAccount, parts[4]) && resource.size() > prefix.size() &&
                    resource.compare(0, prefix.size(), prefix) == 0;
    return ok ? arn.substr(0, at - 1) : "";
}

// A Docker id (64 hex digits), or Fargate's "<32 hex digits>-<digits>", whole.
bool IsContainerId(const std::string& id) {
    const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    if (id.size() == 64) {
        return std::all_of(id.begin(), id.end(), hex);
    }
    return id.size() > 33 && id[32] == '-' && std::all_of(id.begin(), id.begin() + 32, hex) &&
           cloud::Fits(Shape::kDigits, id.substr(33));
}

// A task or container ARN that is no ECS ARN of its type is left out,
// never passed through; the region, account and a bare cluster's ARN come
// from whichever is one.
void AddArns(cloud::Session& session, const mObject& container, const mObject& task) {
    const std::string taskArn = cloud::Member(task, "TaskARN");
    const std::string containerArn = cloud::Member(container, "ContainerARN");
    const std::string taskPrefix = ArnPrefix(taskArn, "task");
    const std::string containerPrefix = ArnPrefix(containerArn, "container");
    for (const auto& [arn, prefix] : {std::pair{&taskArn, &taskPrefix}, {&containerArn, &containerPrefix}}) {
        if (!arn->empty() && prefix->empty()) {
            session.log().DebugLvl(cloud::kFnIdentify, 2, "Refused an ECS ARN of the wrong shape");
        }
    }
    if (!taskPrefix.empty()) {
        session.Add("aws.ecs.task.arn", taskArn, Shape::kText);
        session.Add("aws.ecs.task.id", cloud::LastSegment(taskArn), Shape::kName);
    }
    if (!containerPrefix.empty()) {
        session.Add("aws.ecs.container.arn", containerArn, Shape::kText);
        session.Add("cloud.resource_id", containerArn, Shape::kText);
    }
    const std::string& prefix = taskPrefix.empty() ? containerPrefix : taskPrefix;
    if (prefix.empty()) {
        return;
    }
    const std::size_t account = prefix.rfind(':');
    session.Add("cloud.account.id", prefix.substr(account + 1), Shape::kAwsAccount);
    const std::size_t region = prefix.rfind(':', account - 1);
    session.Add("cloud.region", prefix.substr(region + 1, account - region - 1), Shape::kSlug);
    const std::string cluster = cloud::Member(task, "Cluster");
    if (!ArnPrefix(cluster, "cluster").empty()) {
        session.Add("aws.ecs.cluster.arn", cluster, Shape::kText);
    } else if (cloud::Fits(Shape::kName, cluster)) {
        session.Add("aws.ecs.cluster.arn", prefix + ":cluster/" + cluster, Shape::kText);
    }
}

void AddLogs(cloud::Session& session, const mObject& container) {
    if (cloud::Member(container, "LogDriver") != "awslogs") {
        return;
    }
    session.Add("aws.log.group.names", cloud::Member(container, "LogOptions.awslogs-group"), Shape::kText);
    session.Add("aws.log.stream.names", cloud::Member(container, "LogOptions.awslogs-stream"), Shape::kText);
    MarkList(session.attributes(), "aws.log.group.names");
    MarkList(session.attributes(), "aws.log.stream.names");
}

void Fetch(cloud::Session& session) {
    static constexpr cloud::Field kTaskFields[] = {
        {"aws.ecs.task.family", "Family", Shape::kName},
        {"aws.ecs.task.revision", "Revision", Shape::kDigits},
        {"cloud.availability_zone", "AvailabilityZone", Shape::kSlug},
    };
    // Only what the keys need is built: a task's answer lists every container.
    static constexpr const char* kContainerMembers[] = {"DockerId", "ContainerARN", "LogDriver", "LogOptions"};
    static constexpr const char* kTaskMembers[] = {"TaskARN", "Cluster", "Family", "Revision", "AvailabilityZone",
                                                   "LaunchType"};
    mObject container, task;
    metadata::Request getContainer = cloud::Get(session.base(), "application/json");
    metadata::Request getTask = cloud::Get(session.base() + kEcsTaskPath, "application/json");
    // Each answer gives what it holds: a task without its container's answer still names the task.
    const bool haveContainer =
        cloud::GetObject(session, getContainer, container, kContainerMembers, std::size(kContainerMembers));
    if (!cloud::GetObject(session, getTask, task, kTaskMembers, std::size(kTaskMembers)) && !haveContainer) {
        return;
    }
    const std::string dockerId = cloud::Member(container, "DockerId");
    if (IsContainerId(dockerId)) {
        session.Add("container.id", dockerId, Shape::kText);
    } else if (!dockerId.empty()) {
        session.log().DebugLvl(cloud::kFnIdentify, 2, "Refused the answer for container.id: not of its shape");
    }
    AddArns(session, container, task);
    cloud::AddFromObject(session, task, kTaskFields);
    std::string launch = cloud::Member(task, "LaunchType");
    std::transform(launch.begin(), launch.end(), launch.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    session.Add("aws.ecs.launchtype", launch, Shape::kSlug);
    AddLogs(session, container);
}

constexpr const char* kAlways[] = {"aws.ecs.task.arn", "cloud.region", "cloud.account.id", nullptr};

}  // namespace

const Platform kEcs = {"aws", "aws_ecs", &Marked, nullptr, 0, nullptr, &Endpoint, &Fetch, kAlways, false};

}  // namespace vmdetect::workload
