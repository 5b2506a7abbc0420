#include "report/Evidence.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "Constants.h"
#include "HostProc.h"
#include "adapters/Cpuid.h"
#include "adapters/SysFs.h"

namespace vmdetect::evidence {

namespace {

using adapters::PathExists;
using adapters::ReadSmallFile;

// The firmware files the report reads; serial numbers and the UUID are
// readable by root only.
constexpr const char* kDmiFiles[] = {
    "sys_vendor",   "product_name",    "product_version", "product_serial", "product_uuid",
    "product_family", "board_vendor",  "board_name",      "board_asset_tag", "bios_vendor",
    "bios_version", "chassis_vendor",  "chassis_asset_tag",
};

std::string Root(const char* variable, const char* fallback) {
    const char* configured = std::getenv(variable);
    std::string root = configured != nullptr && *configured != '\0' ? configured : fallback;
    while (!root.empty() && root.back() == '/') {
        root.pop_back();
    }
    return root;
}

report::DmiFields ReadDmi(const std::string& sys) {
    report::DmiFields dmi;
    const std::string dir = sys + kDmiIdDir;
    if (!PathExists(dir)) {
        return dmi;  // no firmware tables (containers, most ARM boards)
    }
    for (const char* name : kDmiFiles) {
        auto value = ReadSmallFile(dir + name);
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

void ReadArchitectureSpecific(const Roots& roots, virt::VmEvidence& e) {
#if defined(__arm__) || defined(__aarch64__) || defined(__powerpc__) || defined(__powerpc64__)
    e.deviceTreeCompatible = ReadSmallFile(roots.proc + kDeviceTreeHypervisor);
    if (!e.deviceTreeCompatible) {
        e.deviceTreePowerVm = PathExists(roots.proc + kDeviceTreePartitionName) &&
                              PathExists(roots.proc + kDeviceTreeHmcManaged) &&
                              !PathExists(roots.proc + kDeviceTreeQemuGraphic);
        for (const std::string& name : adapters::ListDirectory(roots.proc + kDeviceTree)) {
            e.deviceTreeFwCfg = e.deviceTreeFwCfg || name.find("fw-cfg") != std::string::npos;
        }
    }
#endif
#if defined(__s390__) || defined(__s390x__)
    e.sysinfo = ReadSmallFile(roots.proc + kSysinfo, 4 * adapters::kSmallFileCap);
#endif
    (void)roots;
    (void)e;
}

// The command name of the process tracing this one, "" when none.
std::string TracerComm(const std::string& proc) {
    const auto status = ReadSmallFile(proc + kSelfStatus);
    const int pid = status ? virt::TracerPid(*status) : 0;
    if (pid <= 0) {
        return "";
    }
    char path[64];
    std::snprintf(path, sizeof path, kCommFormat, pid);
    return ReadSmallFile(proc + path).value_or("");
}

bool InCgroupNamespace(const Roots& roots) {
    if (!PathExists(roots.proc + kSelfCgroupNamespace)) {
        return false;
    }
    if (adapters::IsCgroup2(roots.sys + kCgroupRoot)) {
        // Only a nested cgroup has cgroup.events; the root never has
        // cgroup.type, and kernels without the features file lack it too.
        return PathExists(roots.sys + kCgroupEvents) &&
               (PathExists(roots.sys + kCgroupType) || !PathExists(roots.sys + kCgroupFeatures));
    }
    // cgroup v1: release_agent exists only in the root of the hierarchy.
    return PathExists(roots.sys + kCgroupV1Systemd) &&
           !PathExists(roots.sys + kCgroupV1ReleaseAgent);
}

}  // namespace

Roots RootsFromEnvironment() {
    Roots roots;
    roots.proc = ProcRoot();
    while (!roots.proc.empty() && roots.proc.back() == '/') {
        roots.proc.pop_back();
    }
    roots.sys = Root(kEnvHostSys, kDefaultSysRoot);
    roots.host = Root(kEnvHostRoot, kDefaultHostRoot);
    return roots;
}

virt::VmEvidence ReadVmEvidence(const Roots& roots) {
    virt::VmEvidence e;
    e.dmi = ReadDmi(roots.sys);
    e.smbiosBiosEntry = ReadSmallFile(roots.sys + kSmbiosBiosEntry);
    if (const auto cpu = adapters::ReadCpuid()) {
        e.cpuidHypervisor = cpu->hypervisor;
        e.cpuidSignature = cpu->signature;
    }
    // The vendor line comes first; more would make the kernel format the
    // next processors too.
    constexpr std::size_t kCpuinfoHead = 512;
    e.cpuinfo = ReadSmallFile(roots.proc + kCpuinfo, kCpuinfoHead);
    e.procXen = PathExists(roots.proc + kXenDir);
    if (e.procXen) {
        e.xenFeatures = ReadSmallFile(roots.sys + kXenFeatures);
        e.xenCapabilities = ReadSmallFile(roots.proc + kXenCapabilities);
    }
    e.hypervisorType = ReadSmallFile(roots.sys + kHypervisorType);
    ReadArchitectureSpecific(roots, e);
    return e;
}

virt::ContainerEvidence ReadContainerEvidence(const Roots& roots) {
    virt::ContainerEvidence e;
    e.openVz = PathExists(roots.proc + kOpenVzDir);
    e.openVzHost = e.openVz && PathExists(roots.proc + kOpenVzHostDir);
    e.osRelease = ReadSmallFile(roots.proc + kOsRelease);
    e.tracerComm = TracerComm(roots.proc);
    e.hostContainerManager = ReadSmallFile(roots.host + kHostContainerManager);
    e.selfIsInit = ::getpid() == 1;
    if (e.selfIsInit) {
        if (const char* own = std::getenv(kEnvContainer)) {
            e.ownContainerVariable = own;
        }
    } else {
        e.systemdContainer = ReadSmallFile(roots.host + kSystemdContainer);
        // Kubernetes pods with many services pass 64 KiB; read past the
        // searched part by one long entry.
        constexpr std::size_t kEnvironCap = virt::kEnvironSearched + (1u << 20);
        if (const auto environ = ReadSmallFile(roots.proc + kInitEnviron, kEnvironCap)) {
            e.initContainerVariable = virt::EnvironValue(*environ, kEnvContainer);
        }
    }
    e.podmanEnv = PathExists(roots.host + kPodmanEnv);
    e.dockerEnv = PathExists(roots.host + kDockerEnv);
    // Asked only when no marker file decides.
    e.inCgroupNamespace = !e.podmanEnv && !e.dockerEnv && InCgroupNamespace(roots);
    return e;
}

}  // namespace vmdetect::evidence
