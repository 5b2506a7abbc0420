// Which hypervisor and which container manager the local evidence names,
// under the names systemd-detect-virt prints.
#pragma once

#include <optional>
#include <string>

#include "ReportTypes.h"

namespace vmdetect::virt {

// What the machine shows about a hypervisor. Files are as read (nullopt:
// absent or unreadable); DMI values have their trailing newline dropped.
struct VmEvidence {
    report::DmiFields dmi;
    std::optional<std::string> smbiosBiosEntry;  // raw SMBIOS type 0 structure
    bool cpuidHypervisor = false;
    std::string cpuidSignature;                  // 12 bytes when the bit is set
    std::optional<std::string> cpuinfo;          // start of /proc/cpuinfo
    bool procXen = false;
    std::optional<std::string> xenFeatures;
    std::optional<std::string> xenCapabilities;
    std::optional<std::string> hypervisorType;
    // Device tree and z/VM: gathered only on the architectures that have them.
    std::optional<std::string> deviceTreeCompatible;
    bool deviceTreePowerVm = false;
    bool deviceTreeFwCfg = false;
    std::optional<std::string> sysinfo;
};

// What the machine shows about a container manager.
struct ContainerEvidence {
    bool openVz = false;      // <proc>/vz
    bool openVzHost = false;  // <proc>/bc
    std::optional<std::string> osRelease;
    std::string tracerComm;   // command name of this process's tracer, if any
    std::optional<std::string> hostContainerManager;
    bool selfIsInit = false;  // this process is PID 1: its own environment counts
    std::optional<std::string> ownContainerVariable;
    std::optional<std::string> systemdContainer;
    std::optional<std::string> initContainerVariable;
    bool podmanEnv = false;
    bool dockerEnv = false;
    bool inCgroupNamespace = false;
};

// A decided name and the kind of evidence that decided it ("" for none).
struct Verdict {
    std::string name = "none";
    std::string source;
};

Verdict DecideHypervisor(const VmEvidence& evidence);
Verdict DecideContainer(const ContainerEvidence& evidence);

// The value of `name` in an environ block (NUL-separated NAME=value).
std::optional<std::string> EnvironValue(const std::string& environ, const std::string& name);

}  // namespace vmdetect::virt
