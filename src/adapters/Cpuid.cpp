#include "adapters/Cpuid.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

#include <atomic>

namespace vmdetect::adapters {

namespace {

std::optional<CpuidRegs> AskProcessor(std::uint32_t leaf, std::uint32_t subleaf) {
#if defined(__i386__) || defined(__x86_64__)
    // Asked once: in a guest every CPUID is a trip to the hypervisor.
    static const bool present = __get_cpuid_max(0, nullptr) != 0;
    if (!present) {
        return std::nullopt;
    }
    // The hypervisor and extended ranges sit above the basic leaves, so the
    // bounded __get_cpuid would refuse them: ask the processor directly.
    CpuidRegs r;
    __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
    return r;
#else
    (void)leaf;
    (void)subleaf;
    return std::nullopt;
#endif
}

std::atomic<CpuidSource> g_source{nullptr};

}  // namespace

std::optional<CpuidRegs> Cpuid(std::uint32_t leaf, std::uint32_t subleaf) {
    const CpuidSource source = g_source.load();
    return source != nullptr ? source(leaf, subleaf) : AskProcessor(leaf, subleaf);
}

void SetCpuidSourceForTesting(CpuidSource source) {
    g_source.store(source);
}

}  // namespace vmdetect::adapters
