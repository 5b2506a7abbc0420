// The configuration reader on any file content: the proxy UUID and the
// time-out as the detector reads them.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "adapters/ZTPlatformInfo.h"

namespace {
int g_fd = -1;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::QuietLog();
    g_fd = ::memfd_create("vmdetect-fuzz.conf", 0);
    if (g_fd < 0) {
        std::abort();
    }
    const std::string path = "/proc/self/fd/" + std::to_string(g_fd);
    ::setenv("VMDETECT_CONFIG", path.c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (::ftruncate(g_fd, 0) != 0 ||
        (size > 0 && ::pwrite(g_fd, data, size, 0) != static_cast<ssize_t>(size))) {
        std::abort();
    }
    ZTPlatformInfo info;
    std::string proxy;
    info.getString("VirtualServer", "sProxyVMUUID", &proxy);
    unsigned long wide = 7;
    const int foundWide = info.getNumber("VirtualServer", "nOCIMetadataServiceTimeout", &wide);
    unsigned int timeout = 1;
    const int found = info.getNumber("VirtualServer", "nOCIMetadataServiceTimeout", &timeout);
    if ((found != 0) != (foundWide != 0)) {
        std::abort();
    }
    if (found == 0 && (timeout != 1 || wide != 7)) {
        std::abort();  // an absent or unreadable number leaves the default
    }
    if (found != 0 && timeout != static_cast<unsigned int>(wide)) {
        std::abort();
    }
    return 0;
}
