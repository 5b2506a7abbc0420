// The cloud identity: which cloud the firmware names, then that cloud's
// metadata service alone, under one deadline, answers kept for the process.
//
// Every cloud has the same shape: a row of the firmware table naming it
// (Firmware.cpp), and a provider row with its endpoint and a short fetch
// that turns its service's answers into keys, in a file of its own. All
// requests go through metadata::Send.
#include "cloud/Identity.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>

#include "Constants.h"
#include "EvDebug.h"
#include "adapters/ZTPlatformInfo.h"
#include "cloud/AnswerCache.h"
#include "cloud/Providers.h"

namespace vmdetect::cloud {
namespace {

using endpoints::Endpoint;
using report::Attributes;

constexpr unsigned long kDefaultDeadlineMs = 1500;
constexpr unsigned long kMaxDeadlineMs = 60000;

unsigned long DeadlineMs() {
    unsigned long value = kDefaultDeadlineMs;
    ZTPlatformInfo config;
    if (config.getNumber(kConfigSection, kKeyCloudIdentityTimeout, &value) == 0) {
        return kDefaultDeadlineMs;
    }
    return std::min(value, kMaxDeadlineMs);
}

// The keys of one cloud's service; empty when it gave no instance id.
// `olderForm`: the answer came in a form that lacks keys a fuller one gives.
Attributes Ask(const Provider& provider, const std::string& mark, bool pod, bool* olderForm) {
    EvDebug log(nullptr);
    log.DebugLvl(kFnIdentify, 1, "Firmware %s names %s; asking its metadata service",
                 mark.c_str(), provider.provider);
    const Endpoint endpoint = provider.endpoint();
    if (endpoint.state == Endpoint::State::Disabled) {
        log.DebugLvl(kFnIdentify, 1, "EC2 metadata disabled by %s; no request sent",
                     kEnvEc2Disabled);
        return {};
    }
    if (endpoint.state == Endpoint::State::Malformed) {
        log.Error(kFnIdentify, "%s", endpoint.problem.c_str());
        return {};
    }
    const unsigned long deadline = DeadlineMs();
    Session session(log, endpoint.base, Clock::now() + std::chrono::milliseconds(deadline));
    session.SetKubernetesPod(pod);
    provider.fetch(session);
    *olderForm = session.olderForm();
    Attributes& found = session.attributes();
    if (!session.Has("host.id")) {
        // Whatever else answered, without an instance there is no identity.
        log.DebugLvl(kFnIdentify, 1, "No identity from the %s metadata service within %lu ms",
                     provider.provider, deadline);
        return {};
    }
    found.insert(found.begin(), {"cloud.provider", provider.provider, "imds"});
    if (provider.platform != nullptr) {
        found.insert(found.begin() + 1, {"cloud.platform", provider.platform, "imds"});
    }
    for (const report::Attribute& attribute : found) {
        log.DebugLvl(kFnIdentify, 2, "%s [%s]", attribute.key.c_str(), attribute.value.c_str());
    }
    return std::move(found);
}

// The service's instance id and the firmware's ought to agree.
void CompareWithFirmware(const Provider& provider, const report::DmiFields& dmi,
                         const Attributes& found) {
    const std::string firmwareId = FirmwareId(provider, dmi);
    const report::Attribute* id = report::Find(found, "host.id");
    if (id != nullptr && !firmwareId.empty() && id->value != firmwareId) {
        EvDebug(nullptr).DebugLvl(kFnIdentify, 1,
                                  "host.id [%s] of the metadata service differs from %s [%s]; "
                                  "keeping the service's",
                                  id->value.c_str(), provider.idInFirmware, firmwareId.c_str());
    }
}

AnswerCache& TheCache() {
    static auto* cache = new AnswerCache();  // never destroyed: callers may run at exit
    return *cache;
}

}  // namespace

std::shared_ptr<const report::Attributes> Identify(const Machine& machine) {
    std::string mark;
    const Provider* provider = NamedBy(machine, &mark);
    if (provider == nullptr || provider->fetch == nullptr) {
        return AnswerCache::None();
    }
    return TheCache().Get(provider, [&] {
        bool olderForm = false;
        AnswerCache::Asked asked;
        asked.found = Ask(*provider, mark, machine.kubernetesPod, &olderForm);
        CompareWithFirmware(*provider, machine.dmi, asked.found);
        asked.complete = !olderForm && HasAll(provider->always, asked.found);
        return asked;
    });
}

report::Attributes FromFirmware(const Machine& machine) {
    const Provider* provider = NamedBy(machine);
    if (provider == nullptr) {
        return {};
    }
    report::Attributes found = {{"cloud.provider", provider->provider, "dmi"}};
    if (provider->platform != nullptr) {
        found.push_back({"cloud.platform", provider->platform, "dmi"});
    }
    const std::string id = FirmwareId(*provider, machine.dmi);
    if (!id.empty()) {
        found.push_back({"host.id", id, "dmi"});
    }
    return found;
}

unsigned long IdentityDeadlineMs() {
    return DeadlineMs();
}

void ResetCacheForTests() {
    TheCache().ResetForTests();
}

void AgeAnswersForTests() {
    TheCache().AgeForTests();
}

}  // namespace vmdetect::cloud
