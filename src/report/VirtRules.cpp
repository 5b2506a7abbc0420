#include "report/VirtRules.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace vmdetect::virt {

namespace {

constexpr const char* kNone = "none";
constexpr const char* kVmOther = "vm-other";
constexpr const char* kContainerOther = "container-other";

struct Row {
    const char* evidence;
    const char* name;
};

// A DMI name that counts only beside some other evidence.
enum class Unless {
    kNothing,
    kNoHypervisorBit,   // Oracle's physical servers share VirtualBox's vendor
    kNotKvmOnX86,       // Google's bare-metal instances share its guests' name
};
struct DmiRow {
    const char* evidence;
    const char* name;
    Unless unless;
};

// The hypervisor's order is systemd-detect-virt's: first the DMI names that
// stay true when the hypervisor underneath is KVM or cloaks as Hyper-V
// (oracle, xen, amazon, parallels, google); then User-Mode Linux, which runs
// nested in anything; then a Xen domain (a control domain waits for CPUID,
// for it may itself be nested); then CPUID, which names the real hypervisor
// whatever DMI claims, except Hyper-V's signature, which KVM also shows to
// enlightened guests and which therefore waits until everything else has
// said nothing (systemd 256); then the rest of DMI; then /sys/hypervisor,
// the device tree and z/VM. Within DMI the files are tried in kDmiFiles
// order (product_name first, so that KVM wins over QEMU) and, for each file,
// the prefixes in kDmiVendors order. Each name is a hypervisor's own, which
// no maker puts on a physical computer (3,000 of them in tests/data/physical
// say none), but for the three rows whose second mark their comment names.
constexpr const char* kDmiFiles[] = {"product_name", "sys_vendor", "board_vendor",
                                     "bios_vendor", "product_version"};
constexpr DmiRow kDmiVendors[] = {
    {"KVM", "kvm", Unless::kNothing},                      // kvm-redhat-masked-2
    {"OpenStack", "kvm", Unless::kNothing},                // openstack-1
    {"KubeVirt", "kvm", Unless::kNothing},                 // from the rules alone
    {"Amazon EC2", "amazon", Unless::kNothing},            // ec2-nitro-1; bare metal (ec2-metal-1): the SMBIOS VM bit or .metal, in Dmi()
    {"QEMU", "qemu", Unless::kNothing},                    // qemu-1
    {"VMware", "vmware", Unless::kNothing},                // vmware-1, vmware-2
    {"VMW", "vmware", Unless::kNothing},                   // from the rules alone
    {"innotek GmbH", "oracle", Unless::kNothing},          // from the rules alone (product_name decides first)
    {"VirtualBox", "oracle", Unless::kNothing},            // virtualbox-1
    {"Oracle Corporation", "oracle", Unless::kNoHypervisorBit},  // baremetal-oracle-1: Oracle's servers lack the bit
    {"Xen", "xen", Unless::kNothing},                      // ec2-xen-1, xen-hvm-redhat-1
    {"Bochs", "bochs", Unless::kNothing},                  // qemu-bochs-1
    {"Parallels", "parallels", Unless::kNothing},          // parallels-1
    {"BHYVE", "bhyve", Unless::kNothing},                  // bhyve-1
    {"Hyper-V", "microsoft", Unless::kNothing},            // azure-1-spaces (product_version)
    {"Apple Virtualization", "apple", Unless::kNothing},   // from the rules alone
    {"Google Compute Engine", "google", Unless::kNotKvmOnX86},  // gce-1; bare metal lacks KVM's signature: systemd 258
};
// DMI names taken before CPUID.
constexpr const char* kDmiFirst[] = {"oracle", "xen", "amazon", "parallels", "google"};

// Leaf 0x40000000 signatures, from the rules alone: the captures carry no
// CPUID. Compared over all 12 bytes, NUL padding included.
constexpr Row kCpuidSignatures[] = {
    {"XenVMMXenVMM", "xen"},     {"KVMKVMKVM", "kvm"},         {"Linux KVM Hv", "kvm"},
    {"TCGTCGTCGTCG", "qemu"},    {"VMwareVMware", "vmware"},   {"Microsoft Hv", "microsoft"},
    {"bhyve bhyve ", "bhyve"},   {"QNXQVMBSQG", "qnx"},        {"ACRNACRNACRN", "acrn"},
    {"SRESRESRESRE", "sre"},     {"Apple VZ", "apple"},
};

// The container's order is systemd-detect-virt's too: OpenVZ, WSL and proot
// first, as they leave no marker of their own; then what the manager says
// in /run/host, in PID 1's environment (its own when this is PID 1) or in
// /run/systemd; only then the files an image may carry by accident
// (/run/.containerenv before /.dockerenv); last a PID namespace other than
// the initial one (systemd 257; it replaced 252's cgroup-namespace guess,
// which took nested cgroups on hosts for containers).
// The names a manager may give, from the rules alone (docker: this machine).
constexpr const char* kContainerNames[] = {"lxc",    "lxc-libvirt", "systemd-nspawn",
                                           "docker", "podman",      "rkt",
                                           "wsl",    "proot",       "pouch"};

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool Contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

template <std::size_t N>
bool In(const char* const (&names)[N], const std::string& name) {
    for (const char* candidate : names) {
        if (name == candidate) {
            return true;
        }
    }
    return false;
}

struct ArchRow {
    const char* machine;
    bool prefix;  // "arm" covers armv6l, armv7l and armv8l
    Arch arch;
};
constexpr ArchRow kArchitectures[] = {
    {"x86_64", false, Arch::kX86}, {"i386", false, Arch::kX86},   {"i486", false, Arch::kX86},
    {"i586", false, Arch::kX86},   {"i686", false, Arch::kX86},   {"aarch64", false, Arch::kArm},
    {"arm", true, Arch::kArm},     {"ppc", true, Arch::kPower},   {"s390", true, Arch::kS390},
    {"riscv", true, Arch::kRiscv},
};

}  // namespace

Arch ArchOf(std::string_view machine) {
    for (const ArchRow& row : kArchitectures) {
        if (row.prefix ? StartsWith(machine, row.machine) : machine == row.machine) {
            return row.arch;
        }
    }
    return Arch::kOther;
}

std::string_view NextLine(std::string_view& text) {
    const std::size_t end = text.find_first_of(std::string_view("\n\r\0", 3));
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    return line;
}

std::string_view FirstLine(std::string_view text) {
    return NextLine(text);
}

std::optional<std::string> EnvironValue(const std::string& environ, const std::string& name) {
    const std::string prefix = name + "=";
    std::size_t start = 0;
    while (start < environ.size() && start <= kEnvironSearched) {
        std::size_t end = environ.find('\0', start);
        if (end == std::string::npos) {
            end = environ.size();
        }
        const std::string_view entry(environ.data() + start, end - start);
        if (StartsWith(entry, prefix)) {
            return std::string(entry.substr(prefix.size()));
        }
        start = end + 1;
    }
    return std::nullopt;
}

int TracerPid(std::string_view status) {
    constexpr std::string_view kName = "TracerPid";
    status = status.substr(0, status.find('\0'));  // the file is read as a C string
    std::string_view value;
    for (std::size_t at = status.find(kName); at != std::string_view::npos; at = status.find(kName, at + 1)) {
        value = status.substr(at + kName.size());
        value.remove_prefix(std::min(value.find_first_not_of(" \t"), value.size()));
        if ((at == 0 || status[at - 1] == '\n') && !value.empty() && value.front() == ':') {
            break;
        }
        value = {};
    }
    if (value.empty()) {
        return 0;
    }
    value.remove_prefix(1);
    value.remove_prefix(std::min(value.find_first_not_of(" \t"), value.size()));
    value.remove_prefix(std::min(value.find_first_not_of('0'), value.size()));  // leading zeros
    value = value.substr(0, value.find_first_of(" \t\n\r"));
    long long pid = 0;
    for (const char c : value) {
        if (c < '0' || c > '9' || pid > INT_MAX / 10) {
            return 0;  // trailing garbage or out of range: no tracer
        }
        pid = pid * 10 + (c - '0');
    }
    return pid <= INT_MAX ? static_cast<int>(pid) : 0;
}

namespace {

Verdict Found(const char* name, const char* source) {
    return Verdict{name, source};
}

bool IsKvmSignature(const VmEvidence& e) {
    return e.cpuidHypervisor && (e.cpuidSignature == std::string("KVMKVMKVM\0\0\0", 12) ||
                                 e.cpuidSignature == "Linux KVM Hv");
}

bool Applies(const DmiRow& row, const VmEvidence& e) {
    switch (row.unless) {
        case Unless::kNothing: return true;
        case Unless::kNoHypervisorBit: return e.cpuidHypervisor;
        case Unless::kNotKvmOnX86: return e.arch != Arch::kX86 || IsKvmSignature(e);
    }
    return true;
}

Verdict DmiVendor(const VmEvidence& e) {
    for (const char* file : kDmiFiles) {
        const auto found = e.dmi.find(file);
        if (found == e.dmi.end()) {
            continue;
        }
        const std::string_view value = FirstLine(found->second);
        for (const DmiRow& row : kDmiVendors) {
            if (StartsWith(value, row.evidence) && Applies(row, e)) {
                return Found(row.name, "dmi");
            }
        }
    }
    return Verdict{};
}

// The SMBIOS BIOS characteristics extension byte 2, bit 4: "this is a VM".
enum class SmbiosVmBit { kSet, kUnset, kUnknown };

SmbiosVmBit ReadSmbiosVmBit(const VmEvidence& e) {
    constexpr std::size_t kExtensionByte2 = 19;
    // The length byte is compared as a plain char, as systemd does: where
    // char is signed (x86), a length of 0x80 or more counts as too short.
    constexpr char kMinimumLength = kExtensionByte2 + 1;
    if (!e.smbiosBiosEntry || e.smbiosBiosEntry->size() <= kExtensionByte2 ||
        (*e.smbiosBiosEntry)[1] < kMinimumLength) {
        return SmbiosVmBit::kUnknown;
    }
    const auto byte = static_cast<unsigned char>((*e.smbiosBiosEntry)[kExtensionByte2]);
    return (byte & 0x10) != 0 ? SmbiosVmBit::kSet : SmbiosVmBit::kUnset;
}

Verdict Dmi(const VmEvidence& e) {
    Verdict v = DmiVendor(e);
    // EC2 bare metal carries the same vendor as its guests.
    if (v.name == "amazon") {
        switch (ReadSmbiosVmBit(e)) {
            case SmbiosVmBit::kSet: return v;
            case SmbiosVmBit::kUnset: return Verdict{};
            case SmbiosVmBit::kUnknown: break;
        }
        // Bare metal names itself "<family>.metal" or "<family>.metal-<size>";
        // only the first ".metal" counts, as in systemd 252.38.
        const auto product = e.dmi.find("product_name");
        if (product != e.dmi.end()) {
            constexpr std::string_view kMetal = ".metal";
            const std::string_view name = FirstLine(product->second);
            const std::size_t at = name.find(kMetal);
            if (at != std::string_view::npos &&
                (at + kMetal.size() == name.size() || name[at + kMetal.size()] == '-')) {
                return Verdict{};
            }
        }
        return v;
    }
    if (v.name == kNone && ReadSmbiosVmBit(e) == SmbiosVmBit::kSet) {
        return Found(kVmOther, "dmi");
    }
    return v;
}

bool IsUserModeLinux(const VmEvidence& e) {
    constexpr std::string_view kVendor = "vendor_id\t: ";
    if (!e.cpuinfo) {
        return false;
    }
    std::string_view rest(*e.cpuinfo);
    while (!rest.empty()) {
        const std::string_view line = NextLine(rest);
        if (StartsWith(line, kVendor)) {
            return StartsWith(line.substr(kVendor.size()), "User Mode Linux");
        }
    }
    return false;
}

// A Xen control domain: the features word (hex) has bit 11, or, without it,
// the capabilities list names control_d.
bool IsXenControlDomain(const VmEvidence& e) {
    constexpr unsigned long kFeatureDom0 = 1ul << 11;
    if (e.xenFeatures) {
        const std::string line(FirstLine(*e.xenFeatures));
        char* end = nullptr;
        const unsigned long features = std::strtoul(line.c_str(), &end, 16);
        if (end != line.c_str()) {
            return (features & kFeatureDom0) != 0;
        }
    }
    if (!e.xenCapabilities) {
        return false;
    }
    std::string_view rest = FirstLine(*e.xenCapabilities);
    while (true) {
        const std::size_t comma = rest.find(',');
        if (rest.substr(0, comma) == "control_d") {
            return true;
        }
        if (comma == std::string_view::npos) {
            return false;
        }
        rest = rest.substr(comma + 1);
    }
}

Verdict Cpuid(const VmEvidence& e) {
    if (!e.cpuidHypervisor) {
        return Verdict{};
    }
    for (const Row& row : kCpuidSignatures) {
        std::string padded(row.evidence);
        padded.resize(12, '\0');
        if (e.cpuidSignature == padded) {
            return Found(row.name, "cpuid");
        }
    }
    return Found(kVmOther, "cpuid");
}

Verdict DeviceTree(const VmEvidence& e) {
    if (e.deviceTreeCompatible) {
        const std::string_view type = FirstLine(*e.deviceTreeCompatible);
        if (type == "linux,kvm") return Found("kvm", "device-tree");
        if (Contains(type, "xen")) return Found("xen", "device-tree");
        if (Contains(type, "vmware")) return Found("vmware", "device-tree");
        return Found(kVmOther, "device-tree");
    }
    if (e.deviceTreePowerVm) return Found("powervm", "device-tree");
    if (e.deviceTreeFwCfg) return Found("qemu", "device-tree");
    const std::string_view root = e.deviceTreeRootCompatible ? FirstLine(*e.deviceTreeRootCompatible) : "";
    // crosvm, and QEMU's virt board without fw-cfg (systemd 258).
    if (root == "linux,dummy-virt") {
        return Found(kVmOther, "device-tree");
    }
    // QEMU's POWER machine where no hypervisor node says KVM: under TCG, or
    // with the node hidden. PowerVM names its root after IBM's models.
    if (root == "qemu,pseries") {
        return Found("qemu", "device-tree");
    }
    return Verdict{};
}

Verdict Zvm(const VmEvidence& e) {
    constexpr std::string_view kField = "VM00 Control Program:";
    if (!e.sysinfo) {
        return Verdict{};
    }
    const std::size_t at = e.sysinfo->find(kField);
    if (at == std::string::npos || (at != 0 && (*e.sysinfo)[at - 1] != '\n')) {
        return Verdict{};
    }
    std::string_view value = std::string_view(*e.sysinfo).substr(at + kField.size());
    value.remove_prefix(std::min(value.find_first_not_of(" \t"), value.size()));
    value = value.substr(0, value.find_first_of(" \t\n"));
    return Found(value == "z/VM" ? "zvm" : "kvm", "file");
}

}  // namespace

Verdict DecideHypervisor(const VmEvidence& e) {
    const Verdict dmi = Dmi(e);
    if (In(kDmiFirst, dmi.name)) {
        return dmi;
    }
    if (IsUserModeLinux(e)) {
        return Found("uml", "file");
    }
    const bool controlDomain = e.procXen && IsXenControlDomain(e);
    if (e.procXen && !controlDomain) {
        return Found("xen", "xen");
    }
    // A hypervisor seen but not named; kept unless a later step names one.
    Verdict other;
    const auto consider = [&other](const Verdict& v) {
        if (v.name == kVmOther && other.name == kNone) {
            other = v;
        }
        return v.name != kNone && v.name != kVmOther;
    };
    const Verdict cpu = Cpuid(e);
    const bool hyperV = cpu.name == "microsoft";
    if (!hyperV && consider(cpu)) {
        return cpu;
    }
    if (controlDomain) {
        return hyperV ? cpu : other;
    }
    if (consider(dmi)) {
        return dmi;
    }
    if (e.hypervisorType) {
        const Verdict hv = FirstLine(*e.hypervisorType) == "xen" ? Found("xen", "xen")
                                                                   : Found(kVmOther, "xen");
        if (consider(hv)) {
            return hv;
        }
    }
    const Verdict dt = DeviceTree(e);
    if (consider(dt)) {
        return dt;
    }
    const Verdict zvm = Zvm(e);
    return zvm.name != kNone ? zvm : hyperV ? cpu : other;
}

namespace {

// Marker files, in the order they are asked.
struct MarkerRow {
    bool ContainerEvidence::*evidence;
    const char* name;
};
constexpr MarkerRow kContainerFiles[] = {
    {&ContainerEvidence::podmanEnv, "podman"},  // /run/.containerenv, from the rules alone
    {&ContainerEvidence::dockerEnv, "docker"},  // /.dockerenv, this machine
};

Verdict ContainerFiles(const ContainerEvidence& e) {
    for (const MarkerRow& row : kContainerFiles) {
        if (e.*row.evidence) {
            return Found(row.name, "file");
        }
    }
    return Verdict{};
}

// A manager's own name for itself; "oci" names no manager, so the files
// decide, and without them it is some other container.
Verdict Translate(const ContainerEvidence& e, const std::string& name, const char* source) {
    if (name == "oci") {
        const Verdict files = ContainerFiles(e);
        return files.name != kNone ? files : Found(kContainerOther, source);
    }
    for (const char* known : kContainerNames) {
        if (name == known) {
            return Verdict{known, source};
        }
    }
    return Found(kContainerOther, source);
}

// A marker file counts when it holds anything, even an empty line.
bool Marked(const std::optional<std::string>& file) {
    return file && !file->empty();
}

}  // namespace

Verdict DecideContainer(const ContainerEvidence& e) {
    if (e.openVz && !e.openVzHost) {
        return Found("openvz", "file");
    }
    const std::string_view release = e.osRelease ? FirstLine(*e.osRelease) : std::string_view();
    if (Contains(release, "Microsoft") || Contains(release, "WSL")) {
        return Found("wsl", "file");
    }
    if (StartsWith(FirstLine(e.tracerComm), "proot")) {
        return Found("proot", "file");
    }
    if (Marked(e.hostContainerManager)) {
        return Translate(e, std::string(FirstLine(*e.hostContainerManager)), "file");
    }
    if (e.selfIsInit) {
        if (e.ownContainerVariable) {
            return e.ownContainerVariable->empty()
                       ? Verdict{}
                       : Translate(e, *e.ownContainerVariable, "environ");
        }
    } else if (Marked(e.systemdContainer)) {
        return Translate(e, std::string(FirstLine(*e.systemdContainer)), "file");
    } else if (e.initContainerVariable) {
        return Translate(e, *e.initContainerVariable, "environ");
    }
    const Verdict files = ContainerFiles(e);
    if (files.name != kNone) {
        return files;
    }
    return e.pidNamespace && *e.pidNamespace != kInitialPidNamespace
               ? Found(kContainerOther, "namespace")
               : Verdict{};
}

}  // namespace vmdetect::virt
