// The processor's own word on virtualisation (x86 and x86-64 only).
#pragma once

#include <optional>
#include <string>

namespace vmdetect::adapters {

struct CpuidInfo {
    bool hypervisor = false;  // leaf 1, ECX bit 31
    std::string signature;    // leaf 0x40000000, EBX ECX EDX: 12 bytes, NULs kept
};

// The hypervisor bit and signature; nullopt on processors without CPUID.
std::optional<CpuidInfo> ReadCpuid();

// Tests replace the processor here; nullptr restores it. Not exported.
using CpuidSource = std::optional<CpuidInfo> (*)();
void SetCpuidSourceForTesting(CpuidSource source);

}  // namespace vmdetect::adapters
