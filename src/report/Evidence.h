// Reads the platform report's local evidence from a source: this machine, or
// a collected directory.
#pragma once

#include "report/Source.h"
#include "report/VirtRules.h"

namespace vmdetect::evidence {

virt::VmEvidence ReadVmEvidence(Source& source);
virt::ContainerEvidence ReadContainerEvidence(Source& source);
// The architecture and the hypervisor bit come from `vm`, read before.
virt::ConfidentialEvidence ReadConfidentialEvidence(Source& source, const virt::VmEvidence& vm);

}  // namespace vmdetect::evidence
