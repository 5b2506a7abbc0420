// The cloud identity keys (cloud.*, host.*) from the metadata service of the
// one cloud the firmware names.
#pragma once

#include <memory>

#include "ReportTypes.h"

namespace vmdetect::cloud {

// What the cloud rules see of the machine: its world-readable firmware, and
// whether the processor says it is a guest (x86's CPUID hypervisor bit;
// false where there is no CPUID). Makers put some clouds' names on physical
// hardware too, and the bit tells those apart.
struct Machine {
    report::DmiFields dmi;
    bool guest = false;
    // A pod's container with KUBERNETES_SERVICE_HOST set: a managed
    // Kubernetes service's node may be asked for its cluster.
    bool kubernetesPod = false;
};

// The keys for the cloud that `machine` names; an empty list when it names none
// or its service gave no instance id. A complete answer is kept for the life
// of the process, so a warm call returns the same pointer; a partial answer
// or a failure is served for the retry interval (60 s), then asked again. A
// cold call may wait on the network up to the report's deadline.
// Thread-safe, and safe in a child forked while another thread asked.
std::shared_ptr<const report::Attributes> Identify(const Machine& machine);

// What the firmware alone tells, with no request and without root: the
// cloud it names (cloud.provider, cloud.platform) and, where a world-readable
// DMI file holds it, the instance id (host.id); each with the source "dmi".
report::Attributes FromFirmware(const Machine& machine);

// The one deadline of a cold call, from the configuration (1500 ms unless
// set), for every service the report asks.
unsigned long IdentityDeadlineMs();

// Test seams: forget every answer and failure; make every answer and
// failure look as old as the retry interval.
void ResetCacheForTests();
void AgeAnswersForTests();

}  // namespace vmdetect::cloud
