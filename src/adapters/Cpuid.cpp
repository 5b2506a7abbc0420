#include "adapters/Cpuid.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

#include <atomic>
#include <cstdint>
#include <cstring>

namespace vmdetect::adapters {

namespace {

constexpr unsigned int kLeafFeatures = 1;
constexpr std::uint32_t kHypervisorBit = 0x80000000u;
constexpr unsigned int kLeafHypervisor = 0x40000000u;

std::optional<CpuidInfo> ReadProcessor() {
#if defined(__i386__) || defined(__x86_64__)
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(kLeafFeatures, &eax, &ebx, &ecx, &edx) == 0) {
        return std::nullopt;
    }
    CpuidInfo info;
    info.hypervisor = (ecx & kHypervisorBit) != 0;
    if (info.hypervisor) {
        // The hypervisor range sits above the basic leaves, so the bounded
        // __get_cpuid would refuse it: ask the processor directly.
        __cpuid(kLeafHypervisor, eax, ebx, ecx, edx);
        char text[12];
        std::memcpy(text, &ebx, 4);
        std::memcpy(text + 4, &ecx, 4);
        std::memcpy(text + 8, &edx, 4);
        info.signature.assign(text, sizeof text);
    }
    return info;
#else
    return std::nullopt;
#endif
}

std::atomic<CpuidSource> g_source{nullptr};

}  // namespace

std::optional<CpuidInfo> ReadCpuid() {
    const CpuidSource source = g_source.load();
    return source != nullptr ? source() : ReadProcessor();
}

void SetCpuidSourceForTesting(CpuidSource source) {
    g_source.store(source);
}

}  // namespace vmdetect::adapters
