#include "adapters/Kernel.h"

#include <sys/utsname.h>

namespace vmdetect::adapters {

std::string KernelMachine() {
    struct utsname names {};
    return ::uname(&names) == 0 ? names.machine : "";
}

}  // namespace vmdetect::adapters
