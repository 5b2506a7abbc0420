// Whether this is a confidential guest, in systemd-detect-virt --cvm's words
// (systemd 254 and later), and better than it without root.
#include "report/VirtRules.h"

namespace vmdetect::virt {

namespace {

constexpr std::uint64_t kSevEnabled = 1u << 0;             // MSR 0xc0010131
constexpr std::uint64_t kSevEsEnabled = 1u << 1;
constexpr std::uint64_t kSevSnpEnabled = 1u << 2;
constexpr std::uint32_t kHyperVIsolated = 1u << 22;        // leaf 0x40000003 EBX
constexpr std::uint32_t kHyperVRootPartition = 1u << 12;
constexpr std::uint32_t kHyperVMinLeaf = 0x40000005;
constexpr std::uint32_t kHyperVMaxLeaf = 0x4000ffff;
constexpr std::uint32_t kIsolationTypeMask = 0xf;          // leaf 0x4000000c EBX
constexpr std::uint32_t kIsolationSnp = 2;                 // 1 is VBS: not confidential
constexpr std::uint32_t kIsolationTdx = 3;

Verdict Found(const char* name, const char* source) {
    return Verdict{name, source};
}

// Azure hides the SEV and TDX leaves from its guests and tells the isolation
// type through Hyper-V's own leaves instead.
bool HyperVIsolation(const ConfidentialEvidence& e, std::uint32_t type) {
    return e.hyperVSignature == "Microsoft Hv" && e.hyperVMaxLeaf >= kHyperVMinLeaf &&
           e.hyperVMaxLeaf <= kHyperVMaxLeaf && (e.hyperVFeatures & kHyperVIsolated) != 0 &&
           (e.hyperVFeatures & kHyperVRootPartition) == 0 &&
           (e.hyperVIsolation & kIsolationTypeMask) == type;
}

// The MSR is root's alone; without it the kernel's SEV-SNP marks decide, and
// a bare "sev" says no more than the processor does.
Verdict Sev(const ConfidentialEvidence& e) {
    if (e.sevStatus) {
        if ((*e.sevStatus & kSevSnpEnabled) != 0) return Found("sev-snp", "msr");
        if ((*e.sevStatus & kSevEsEnabled) != 0) return Found("sev-es", "msr");
        if ((*e.sevStatus & kSevEnabled) != 0) return Found("sev", "msr");
        return Verdict{};
    }
    return e.sevSnpMark ? Found("sev-snp", "file") : Found("sev", "cpuid");
}

Verdict X86(const ConfidentialEvidence& e) {
    if (!e.cpuidHypervisor) {
        return Verdict{};  // a host, whatever its processor offers guests
    }
    if (e.vendor == "AuthenticAMD") {
        if (e.maxExtendedLeaf >= kLeafSev && (e.sevFeatures & kSevSupported) != 0) {
            return Sev(e);
        }
        return HyperVIsolation(e, kIsolationSnp) ? Found("sev-snp", "cpuid") : Verdict{};
    }
    if (e.vendor == "GenuineIntel") {
        if (e.tdxSignature == "IntelTDX    " || HyperVIsolation(e, kIsolationTdx)) {
            return Found("tdx", "cpuid");
        }
    }
    return Verdict{};
}

}  // namespace

Verdict DecideConfidential(const ConfidentialEvidence& e) {
    switch (e.arch) {
        case Arch::kX86: return X86(e);
        case Arch::kS390:
            return e.protVirtGuest && !e.protVirtGuest->empty() && e.protVirtGuest->front() == '1' ? Found("protvirt", "file") : Verdict{};
        case Arch::kArm:
            // Kernels after 6.18 may show the realm flag instead of the device.
            return e.ccaDevice || (e.ccaRealmGuest && FirstLine(*e.ccaRealmGuest) == "1")
                       ? Found("cca", "file")
                       : Verdict{};
        case Arch::kPower:
        case Arch::kRiscv:
        case Arch::kOther: break;
    }
    return Verdict{};
}

}  // namespace vmdetect::virt
