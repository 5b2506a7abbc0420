// The processor's own word on virtualisation (x86 and x86-64 only).
#pragma once

#include <cstdint>
#include <optional>

namespace vmdetect::adapters {

struct CpuidRegs {
    std::uint32_t eax = 0;
    std::uint32_t ebx = 0;
    std::uint32_t ecx = 0;
    std::uint32_t edx = 0;
};

// One leaf as the processor answers it, whatever its range; nullopt on
// processors without CPUID (every architecture but x86).
std::optional<CpuidRegs> Cpuid(std::uint32_t leaf, std::uint32_t subleaf = 0);

// Tests replace the processor here; nullptr restores it. Not exported.
using CpuidSource = std::optional<CpuidRegs> (*)(std::uint32_t leaf, std::uint32_t subleaf);
void SetCpuidSourceForTesting(CpuidSource source);

}  // namespace vmdetect::adapters
