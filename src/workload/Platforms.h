// The platforms a workload runs on (Lambda, ECS, Cloud Run, App Service...):
// known from the process's own environment first, and asked of a service
// only where the platform's own marks name one. Each has the clouds' one
// shape: a row here, its table of variables and keys in a file of its own,
// and its requests through cloud::Session.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "ReportTypes.h"
#include "cloud/Session.h"
#include "cloud/Shapes.h"
#include "net/Endpoints.h"
#include "report/Environ.h"
#include "report/Source.h"

namespace vmdetect::workload {

using evidence::Environment;

// What the platforms are known by, read once with the rest of the local
// evidence, so that a replay decides the same.
struct Evidence {
    Environment env;
    std::optional<std::string> beanstalk;  // Elastic Beanstalk's environment.conf
};
Evidence ReadEvidence(evidence::Source& source);

// One key from one variable; where two rows fill a key, the first set and
// of its shape wins.
struct Variable {
    const char* key;
    const char* name;
    cloud::Shape shape;
};

struct Platform {
    const char* provider;  // cloud.provider
    const char* platform;  // cloud.platform; nullptr where OpenTelemetry defines none
    bool (*marked)(const Evidence& evidence);
    const Variable* variables;
    std::size_t count;
    // The keys made of several values or of a file; nullptr for none.
    void (*derive)(const Evidence& evidence, report::Attributes& keys);
    // The service its marks name, and the fetch of its keys; both nullptr
    // where the platform is known without a request.
    endpoints::Endpoint (*endpoint)(const Evidence& evidence);
    void (*fetch)(cloud::Session& session);
    // The keys its service always gives, nullptr-ended (nullptr: no
    // service): an answer lacking one is asked again after a minute.
    const char* const* always;
    // The VM's own identity still holds (Beanstalk runs on EC2 instances).
    bool onHost;
};

extern const Platform kLambda;
extern const Platform kEcs;
extern const Platform kBeanstalk;
extern const Platform kBareMetalSolution;
extern const Platform kCloudFunctions;
extern const Platform kCloudRun;
extern const Platform kCloudRunJob;
extern const Platform kAppEngine;
extern const Platform kAzureFunctions;
extern const Platform kAppService;
extern const Platform kContainerApps;
extern const Platform kHeroku;

// The platform `evidence` names, nullptr for none.
const Platform* Decide(const Evidence& evidence);

// Its keys that need no request: cloud.provider, cloud.platform and its
// table's, each with the source "environ" (Beanstalk's: "file").
report::Attributes FromEnvironment(const Platform& platform, const Evidence& evidence);

// The keys its service gives; empty for a platform without one or a service
// that gave none. A complete answer is kept for the process, a partial one
// asked again after a minute; a service that gave nothing is not asked again.
std::shared_ptr<const report::Attributes> Identify(const Platform& platform, const Evidence& evidence);
void ResetCacheForTests();
void AgeAnswersForTests();

// Helpers of the platforms' files.
bool Set(const Evidence& evidence, const char* name);
const std::string& Value(const Evidence& evidence, const char* name);
// Adds `value` under `key` when it has `shape` and the key has none yet.
void AddKey(report::Attributes& keys, const char* key, const std::string& value, cloud::Shape shape,
            const char* source = "environ");
// A size in MiB as bytes ("128" -> "134217728"), "" when it is no size.
std::string MebibytesAsBytes(const std::string& mebibytes);
// App Service's and Functions' subscription, group, region and site id.
void AddSiteKeys(const Evidence& evidence, report::Attributes& keys);
// Google's metadata service for its serverless platforms: the instance,
// region and project (and App Engine's zone).
endpoints::Endpoint GoogleEndpoint(const Evidence& evidence);
void FetchGoogle(cloud::Session& session);
void FetchGoogleWithZone(cloud::Session& session);
extern const char* const kGoogleAlways[];
// A key whose value is a list: its items one a line.
void MarkList(report::Attributes& keys, const char* key);

}  // namespace vmdetect::workload
