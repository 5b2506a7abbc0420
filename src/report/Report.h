// The platform report: the local verdicts and firmware keys, merged with the
// cloud identity, as one flat JSON object.
#pragma once

#include <memory>
#include <string>

#include "cloud/Identity.h"
#include "report/Evidence.h"
#include "workload/Kubernetes.h"
#include "ReportTypes.h"
#include "workload/Platforms.h"

namespace vmdetect::report {

struct Local {
    virt::Verdict hypervisor;
    virt::Verdict container;
    virt::Verdict confidential;
    bool replayed = false;  // read from a collected directory: no network
    cloud::Machine machine;
    // What needs no request: the cloud the firmware names, the instance id
    // it may hold, the kernel's architecture and the operating system.
    Attributes platform;
    // The container and pod this process runs in.
    workload::Workload workload;
    // The platform the workload runs on (Lambda, ECS, Cloud Run...), from
    // what it is known by; nullptr for none. Its keys are in `platform`,
    // its cloud.platform replacing the VM's.
    workload::Evidence workloadEvidence;
    const workload::Platform* workloadPlatform = nullptr;
};

// Reads and decides, uncached.
Local ReadLocal(evidence::Source& source);
Local ReadLocal(const evidence::Roots& roots);

// The JSON object of `local` with the `cloud` keys merged in: a metadata
// answer replaces a firmware guess of the same cloud.* or host.* key, and
// never a local verdict, nor the workload's cloud.provider and cloud.platform.
std::string Serialize(const Local& local, const Attributes& cloud);

// The report for `options`, cached for the process; nullptr when none can
// be made.
std::shared_ptr<const std::string> Cached(unsigned int options);

// Forgets the cached evidence, so that tests may change the machine.
void ResetCacheForTesting();

// Tests answer for the cloud identity here; nullptr restores it.
using CloudSource = std::shared_ptr<const Attributes> (*)(const cloud::Machine& machine);
void SetCloudSourceForTesting(CloudSource source);

}  // namespace vmdetect::report
