// Which hypervisor and which container manager the local evidence names,
// under the names systemd-detect-virt prints.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

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

// Every single-line file of the evidence is read as systemd's line reader
// reads it: a line ends at the first \n, \r or NUL. NextLine returns the
// first line of `text` and leaves `text` past the character that ended it.
std::string_view NextLine(std::string_view& text);
std::string_view FirstLine(std::string_view text);

// The value of `name` in an environ block (NUL-separated NAME=value), among
// the entries that start within the first kEnvironSearched bytes.
constexpr std::size_t kEnvironSearched = 5u << 20;
std::optional<std::string> EnvironValue(const std::string& environ, const std::string& name);

// The pid in the TracerPid field of a process's status file, 0 when there
// is none or it is not a whole positive number.
int TracerPid(std::string_view status);

}  // namespace vmdetect::virt
