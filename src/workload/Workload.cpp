// Which platform the workload runs on, its keys from the environment, and
// its service's answers kept for the process as the clouds' are.
#include <algorithm>
#include <chrono>
#include <utility>

#include "Constants.h"
#include "EvDebug.h"
#include "cloud/AnswerCache.h"
#include "cloud/Identity.h"
#include "workload/Platforms.h"

namespace vmdetect::workload {
namespace {

using report::Attributes;
using Clock = std::chrono::steady_clock;

// The first row whose marks hold names the platform. A platform built on
// another carries that one's marks too, so the more specific comes first:
// - Lambda and ECS before Beanstalk: the file that names Beanstalk is the
//   host's, and a container holds it only when it shares the host's root.
// - Google's own detector's order: Bare Metal Solution first (no other
//   variable); Cloud Functions before Cloud Run, since second-generation
//   functions carry Cloud Run's variables too; a Cloud Run service before a
//   job; App Engine last.
// - Functions before App Service and Container Apps: functions run on both
//   and carry their variables.
// - Heroku's dyno variables are its own.
// The clouds never set each other's variables, so their order is free.
const Platform* const kOrder[] = {
    &kLambda,         &kEcs,        &kBeanstalk,     &kBareMetalSolution, &kCloudFunctions,
    &kCloudRun,       &kCloudRunJob, &kAppEngine,    &kAzureFunctions,    &kAppService,
    &kContainerApps,  &kHeroku,
};

Attributes Ask(const Platform& platform, const Evidence& evidence) {
    EvDebug log(nullptr);
    const endpoints::Endpoint endpoint = platform.endpoint(evidence);
    if (endpoint.state != endpoints::Endpoint::State::Ok) {
        log.DebugLvl(cloud::kFnIdentify, 1, "%s", endpoint.problem.c_str());
        return {};
    }
    log.DebugLvl(cloud::kFnIdentify, 1, "The environment names %s; asking its metadata service",
                 platform.platform);
    const unsigned long deadline = cloud::IdentityDeadlineMs();
    cloud::Session session(log, endpoint.base, Clock::now() + std::chrono::milliseconds(deadline));
    platform.fetch(session);
    if (session.attributes().empty()) {
        log.DebugLvl(cloud::kFnIdentify, 1, "No answer from the %s metadata service within %lu ms",
                     platform.platform, deadline);
    }
    return std::move(session.attributes());
}

cloud::AnswerCache& TheCache() {
    static auto* cache = new cloud::AnswerCache();  // never destroyed: callers may run at exit
    return *cache;
}

}  // namespace

Evidence ReadEvidence(evidence::Source& source) {
    Evidence evidence;
    evidence.env = evidence::ReadEnvironment(source);
    evidence.beanstalk = source.Read(evidence::Tree::kRoot, kBeanstalkEnvironmentConf);
    return evidence;
}

const Platform* Decide(const Evidence& evidence) {
    for (const Platform* platform : kOrder) {
        if (platform->marked(evidence)) {
            return platform;
        }
    }
    return nullptr;
}

Attributes FromEnvironment(const Platform& platform, const Evidence& evidence) {
    Attributes keys = {{"cloud.provider", platform.provider, "environ"}};
    if (platform.platform != nullptr) {
        keys.push_back({"cloud.platform", platform.platform, "environ"});
    }
    for (std::size_t i = 0; i < platform.count; ++i) {
        const Variable& row = platform.variables[i];
        AddKey(keys, row.key, Value(evidence, row.name), row.shape);
    }
    if (platform.derive != nullptr) {
        platform.derive(evidence, keys);
    }
    return keys;
}

std::shared_ptr<const Attributes> Identify(const Platform& platform, const Evidence& evidence) {
    if (platform.fetch == nullptr) {
        return cloud::AnswerCache::None();
    }
    // A service its marks name but that gave nothing costs this one wait:
    // it is not asked again. A partial answer is, after the minute.
    return TheCache().Get(
        &platform,
        [&] {
            cloud::AnswerCache::Asked asked;
            asked.found = Ask(platform, evidence);
            asked.complete = cloud::HasAll(platform.always, asked.found);
            return asked;
        },
        true);
}

void AgeAnswersForTests() {
    TheCache().AgeForTests();
}

void ResetCacheForTests() {
    TheCache().ResetForTests();
}

bool Set(const Evidence& evidence, const char* name) {
    return evidence::Variable(evidence.env, name) != nullptr;
}

const std::string& Value(const Evidence& evidence, const char* name) {
    static const std::string kNone;
    const std::string* value = evidence::Variable(evidence.env, name);
    return value != nullptr ? *value : kNone;
}

void AddKey(Attributes& keys, const char* key, const std::string& value, cloud::Shape shape,
            const char* source) {
    if (value.empty() || report::Find(keys, key) != nullptr) {
        return;
    }
    if (!cloud::Fits(shape, value)) {
        EvDebug(nullptr).DebugLvl(cloud::kFnIdentify, 1, "Refused the value for %s: not of its shape", key);
        return;
    }
    keys.push_back({key, value, source});
}

std::string MebibytesAsBytes(const std::string& mebibytes) {
    // Up to 2^44 MiB: the product stays within 64 bits.
    if (mebibytes.empty() || mebibytes.size() > 13 || !cloud::Fits(cloud::Shape::kDigits, mebibytes)) {
        return "";
    }
    const unsigned long long value = std::stoull(mebibytes);
    return value == 0 ? "" : std::to_string(value * 1048576ULL);
}

void MarkList(Attributes& keys, const char* key) {
    if (report::Attribute* found = report::Find(keys, key)) {
        found->list = true;
    }
}

}  // namespace vmdetect::workload
