// Reads the platform report's local evidence through the adapters.
#pragma once

#include <string>

#include "report/VirtRules.h"

namespace vmdetect::evidence {

// The roots of all local evidence: $HOST_PROC, $HOST_SYS and $HOST_ROOT,
// each without a trailing slash ("" for "/").
struct Roots {
    std::string proc;
    std::string sys;
    std::string host;
};
Roots RootsFromEnvironment();

virt::VmEvidence ReadVmEvidence(const Roots& roots);
virt::ContainerEvidence ReadContainerEvidence(const Roots& roots);

}  // namespace vmdetect::evidence
