// Facts of the running kernel and processor that are not plain files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vmdetect::adapters {

// uname(2)'s machine ("x86_64", "aarch64") and release; "" when they cannot
// be had.
std::string KernelMachine();
std::string KernelRelease();

// The inode number of the namespace file at `path` (/proc/self/ns/pid);
// nullopt when it cannot be seen.
std::optional<std::uint64_t> NamespaceInode(const std::string& path);

// Model-specific register `index` of the first processor through the msr
// driver (root only, module msr); nullopt when it cannot be read.
std::optional<std::uint64_t> ReadMsr(std::uint32_t index);

}  // namespace vmdetect::adapters
