// Which hypervisor and which container manager the local evidence names,
// under the names systemd-detect-virt prints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ReportTypes.h"

namespace vmdetect::virt {

// The architecture families whose rules differ, from uname's machine; a
// machine not listed gets no architecture's rules.
enum class Arch { kOther, kX86, kArm, kPower, kS390, kRiscv };
Arch ArchOf(std::string_view machine);

// What the machine shows about a hypervisor. Files are as read (nullopt:
// absent or unreadable); DMI values have their trailing newline dropped.
struct VmEvidence {
    Arch arch = Arch::kOther;
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
    std::optional<std::string> deviceTreeCompatible;  // the hypervisor node's
    bool deviceTreePowerVm = false;
    bool deviceTreeFwCfg = false;
    std::optional<std::string> deviceTreeRootCompatible;
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
    std::optional<std::uint64_t> pidNamespace;  // inode of this process's
};

// What the machine shows about confidential computing. On x86 the CPUID
// leaves are read whenever the hypervisor bit is set; the MSR only when the
// SEV leaf says SEV.
struct ConfidentialEvidence {
    Arch arch = Arch::kOther;
    bool cpuidHypervisor = false;
    std::string vendor;                      // leaf 0: EBX EDX ECX
    std::uint32_t maxExtendedLeaf = 0;       // leaf 0x80000000 EAX
    std::uint32_t sevFeatures = 0;           // leaf 0x8000001f EAX
    std::string tdxSignature;                // leaf 0x21: EBX EDX ECX
    std::uint32_t hyperVMaxLeaf = 0;         // leaf 0x40000000 EAX
    std::string hyperVSignature;             // leaf 0x40000000: EBX ECX EDX
    std::uint32_t hyperVFeatures = 0;        // leaf 0x40000003 EBX
    std::uint32_t hyperVIsolation = 0;       // leaf 0x4000000c EBX
    std::optional<std::uint64_t> sevStatus;  // MSR 0xc0010131
    bool sevSnpMark = false;                 // sev/vmpl or the sev-guest device
    std::optional<std::string> protVirtGuest;
    bool ccaDevice = false;
    std::optional<std::string> ccaRealmGuest;
};

// A decided name and the kind of evidence that decided it ("" for none).
struct Verdict {
    std::string name = "none";
    std::string source;
};

Verdict DecideHypervisor(const VmEvidence& evidence);
Verdict DecideContainer(const ContainerEvidence& evidence);
// "none" when the machine is not a confidential guest.
Verdict DecideConfidential(const ConfidentialEvidence& evidence);

// The CPUID leaves and the MSR that decide, for readers and collectors.
constexpr std::uint32_t kLeafVendor = 0;
constexpr std::uint32_t kLeafFeatures = 1;
constexpr std::uint32_t kLeafTdx = 0x21;
constexpr std::uint32_t kLeafHypervisor = 0x40000000;
constexpr std::uint32_t kLeafHyperVFeatures = 0x40000003;
constexpr std::uint32_t kLeafHyperVIsolation = 0x4000000c;
constexpr std::uint32_t kLeafExtendedMax = 0x80000000;
constexpr std::uint32_t kLeafSev = 0x8000001f;
constexpr std::uint32_t kSevSupported = 1u << 1;  // leaf 0x8000001f EAX
constexpr std::uint32_t kMsrSevStatus = 0xc0010131;
constexpr std::uint32_t kHypervisorBit = 1u << 31;  // leaf 1 ECX
// The initial PID namespace's inode (PROC_PID_INIT_INO).
constexpr std::uint64_t kInitialPidNamespace = 0xeffffffc;

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
