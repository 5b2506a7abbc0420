#include "adapters/Kernel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "Constants.h"
#include "adapters/UniqueFd.h"

namespace vmdetect::adapters {

std::string KernelMachine() {
    struct utsname names {};
    return ::uname(&names) == 0 ? names.machine : "";
}

std::string KernelRelease() {
    struct utsname names {};
    return ::uname(&names) == 0 ? names.release : "";
}

std::optional<std::uint64_t> NamespaceInode(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(st.st_ino);
}

std::optional<std::uint64_t> ReadMsr(std::uint32_t index) {
    const UniqueFd fd = UniqueFd::Open(kMsrDevice, O_RDONLY | O_CLOEXEC);
    std::uint64_t value = 0;
    if (!fd.valid() || ::pread(fd.get(), &value, sizeof value, static_cast<off_t>(index)) !=
                           static_cast<ssize_t>(sizeof value)) {
        return std::nullopt;
    }
    return value;
}

}  // namespace vmdetect::adapters
