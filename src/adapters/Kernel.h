// Facts of the running kernel.
#pragma once

#include <string>

namespace vmdetect::adapters {

// uname(2)'s machine ("x86_64", "aarch64"); "" when it cannot be had.
std::string KernelMachine();

}  // namespace vmdetect::adapters
