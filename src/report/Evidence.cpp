#include "report/Evidence.h"

#include <cstdio>
#include <cstring>

#include "Constants.h"

namespace vmdetect::evidence {

namespace {

using virt::Arch;

// The firmware files the report reads; serial numbers and the UUID are
// readable by root only.
constexpr const char* kDmiFiles[] = {
    "sys_vendor",   "product_name",    "product_version", "product_serial", "product_uuid",
    "product_family", "board_vendor",  "board_name",      "board_asset_tag", "bios_vendor",
    "bios_version", "chassis_vendor",  "chassis_asset_tag",
};

report::DmiFields ReadDmi(Source& source) {
    report::DmiFields dmi;
    if (!source.Exists(Tree::kSys, kDmiIdDir)) {
        return dmi;  // no firmware tables (containers, most ARM boards)
    }
    for (const char* name : kDmiFiles) {
        auto value = source.Read(Tree::kSys, std::string(kDmiIdDir) + name);
        if (!value) {
            continue;
        }
        if (!value->empty() && value->back() == '\n') {
            value->pop_back();
        }
        dmi.emplace(name, std::move(*value));
    }
    return dmi;
}

std::string Signature(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
    char text[12];
    std::memcpy(text, &a, 4);
    std::memcpy(text + 4, &b, 4);
    std::memcpy(text + 8, &c, 4);
    return std::string(text, sizeof text);
}

void ReadCpuid(Source& source, virt::VmEvidence& e) {
    const auto features = source.Cpuid(virt::kLeafFeatures, 0);
    e.cpuidHypervisor = features && (features->ecx & virt::kHypervisorBit) != 0;
    if (e.cpuidHypervisor) {
        const auto leaf = source.Cpuid(virt::kLeafHypervisor, 0).value_or(CpuidRegs{});
        e.cpuidSignature = Signature(leaf.ebx, leaf.ecx, leaf.edx);
    }
}

// The device tree (ARM and POWER) and z/VM's sysinfo (s390).
void ReadArchitectureSpecific(Source& source, virt::VmEvidence& e) {
    if (e.arch == Arch::kArm || e.arch == Arch::kPower) {
        e.deviceTreeCompatible = source.Read(Tree::kProc, kDeviceTreeHypervisor);
        if (!e.deviceTreeCompatible) {
            e.deviceTreePowerVm = source.Exists(Tree::kProc, kDeviceTreePartitionName) &&
                                  source.Exists(Tree::kProc, kDeviceTreeHmcManaged) &&
                                  !source.Exists(Tree::kProc, kDeviceTreeQemuGraphic);
            for (const std::string& name : source.List(Tree::kProc, kDeviceTree)) {
                e.deviceTreeFwCfg = e.deviceTreeFwCfg || name.find("fw-cfg") != std::string::npos;
            }
            if (!e.deviceTreePowerVm && !e.deviceTreeFwCfg) {
                e.deviceTreeRootCompatible = source.Read(Tree::kProc, kDeviceTreeCompatible);
            }
        }
    }
    if (e.arch == Arch::kS390) {
        e.sysinfo = source.Read(Tree::kProc, kSysinfo, 4 * adapters::kSmallFileCap);
    }
}

// The command name of the process tracing this one, "" when none.
std::string TracerComm(Source& source) {
    const auto status = source.Read(Tree::kProc, kSelfStatus);
    const int pid = status ? virt::TracerPid(*status) : 0;
    if (pid <= 0) {
        return "";
    }
    char path[64];
    std::snprintf(path, sizeof path, kCommFormat, pid);
    return source.Read(Tree::kProc, path).value_or("");
}

void ReadX86Confidential(Source& source, virt::ConfidentialEvidence& e) {
    if (!e.cpuidHypervisor) {
        return;
    }
    const CpuidRegs vendor = source.Cpuid(virt::kLeafVendor, 0).value_or(CpuidRegs{});
    e.vendor = Signature(vendor.ebx, vendor.edx, vendor.ecx);
    if (e.vendor == "AuthenticAMD") {
        e.maxExtendedLeaf = source.Cpuid(virt::kLeafExtendedMax, 0).value_or(CpuidRegs{}).eax;
        if (e.maxExtendedLeaf >= virt::kLeafSev) {
            e.sevFeatures = source.Cpuid(virt::kLeafSev, 0).value_or(CpuidRegs{}).eax;
        }
        if ((e.sevFeatures & virt::kSevSupported) != 0) {
            e.sevStatus = source.Msr(virt::kMsrSevStatus);
            e.sevSnpMark = !e.sevStatus && (source.Exists(Tree::kSys, kSevVmpl) ||
                                            source.Exists(Tree::kSys, kSevGuestDevice));
            return;
        }
    } else if (e.vendor == "GenuineIntel") {
        const CpuidRegs tdx = source.Cpuid(virt::kLeafTdx, 0).value_or(CpuidRegs{});
        e.tdxSignature = Signature(tdx.ebx, tdx.edx, tdx.ecx);
    } else {
        return;
    }
    const CpuidRegs hv = source.Cpuid(virt::kLeafHypervisor, 0).value_or(CpuidRegs{});
    e.hyperVMaxLeaf = hv.eax;
    e.hyperVSignature = Signature(hv.ebx, hv.ecx, hv.edx);
    if (e.hyperVSignature == "Microsoft Hv") {
        e.hyperVFeatures = source.Cpuid(virt::kLeafHyperVFeatures, 0).value_or(CpuidRegs{}).ebx;
        e.hyperVIsolation = source.Cpuid(virt::kLeafHyperVIsolation, 0).value_or(CpuidRegs{}).ebx;
    }
}

}  // namespace

virt::VmEvidence ReadVmEvidence(Source& source) {
    virt::VmEvidence e;
    e.arch = virt::ArchOf(source.Machine());
    e.dmi = ReadDmi(source);
    e.smbiosBiosEntry = source.Read(Tree::kSys, kSmbiosBiosEntry);
    if (e.arch == Arch::kX86) {
        ReadCpuid(source, e);
    }
    // The vendor line comes first; more would make the kernel format the
    // next processors too.
    constexpr std::size_t kCpuinfoHead = 512;
    e.cpuinfo = source.Read(Tree::kProc, kCpuinfo, kCpuinfoHead);
    e.procXen = source.Exists(Tree::kProc, kXenDir);
    if (e.procXen) {
        e.xenFeatures = source.Read(Tree::kSys, kXenFeatures);
        e.xenCapabilities = source.Read(Tree::kProc, kXenCapabilities);
    }
    e.hypervisorType = source.Read(Tree::kSys, kHypervisorType);
    ReadArchitectureSpecific(source, e);
    return e;
}

virt::ContainerEvidence ReadContainerEvidence(Source& source) {
    virt::ContainerEvidence e;
    e.openVz = source.Exists(Tree::kProc, kOpenVzDir);
    e.openVzHost = e.openVz && source.Exists(Tree::kProc, kOpenVzHostDir);
    e.osRelease = source.Read(Tree::kProc, kOsRelease);
    e.tracerComm = TracerComm(source);
    e.hostContainerManager = source.Read(Tree::kRoot, kHostContainerManager);
    e.selfIsInit = source.SelfIsInit();
    if (e.selfIsInit) {
        e.ownContainerVariable = source.OwnVariable(kEnvContainer);
    } else {
        e.systemdContainer = source.Read(Tree::kRoot, kSystemdContainer);
        // Kubernetes pods with many services pass 64 KiB; read past the
        // searched part by one long entry.
        constexpr std::size_t kEnvironCap = virt::kEnvironSearched + (1u << 20);
        if (const auto environ = source.Read(Tree::kProc, kInitEnviron, kEnvironCap)) {
            e.initContainerVariable = virt::EnvironValue(*environ, kEnvContainer);
        }
    }
    e.podmanEnv = source.Exists(Tree::kRoot, kPodmanEnv);
    e.dockerEnv = source.Exists(Tree::kRoot, kDockerEnv);
    // Asked only when no marker file decides.
    if (!e.podmanEnv && !e.dockerEnv) {
        e.pidNamespace = source.NamespaceInode("pid");
    }
    return e;
}

virt::ConfidentialEvidence ReadConfidentialEvidence(Source& source, const virt::VmEvidence& vm) {
    virt::ConfidentialEvidence e;
    e.arch = vm.arch;
    e.cpuidHypervisor = vm.cpuidHypervisor;
    switch (vm.arch) {
        case Arch::kX86: ReadX86Confidential(source, e); break;
        case Arch::kS390: e.protVirtGuest = source.Read(Tree::kSys, kProtVirtGuest); break;
        case Arch::kArm:
            e.ccaDevice = source.Exists(Tree::kSys, kCcaDevice);
            if (!e.ccaDevice) {
                e.ccaRealmGuest = source.Read(Tree::kSys, kCcaRealmGuest);
            }
            break;
        case Arch::kPower:
        case Arch::kRiscv:
        case Arch::kOther: break;
    }
    return e;
}

}  // namespace vmdetect::evidence
