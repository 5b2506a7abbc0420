// The Docker walk callback over any command-line file. The first byte picks
// the entry's name; the rest is the file.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "FuzzSupport.h"
#include "ZTVMDetect.h"

namespace {
std::string g_root;
const char* const kNames[] = {"1234", "self", "0", "2147483647", "99999999999", "12abc"};
constexpr size_t kNameCount = sizeof kNames / sizeof kNames[0];
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::QuietLog();
    char pattern[] = "/tmp/vmdetect-fuzz-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        std::abort();
    }
    g_root = pattern;
    for (const char* name : kNames) {
        ::mkdir((g_root + "/" + name).c_str(), 0755);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const char* name = kNames[data[0] % kNameCount];
    const std::string file = g_root + "/" + name + "/cmdline";
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    }
    bool found = false;
    const CYbError result = ZTVMDetect::DockerProcWalker((g_root + "/").c_str(), name, true, &found);
    // A result that ends the walk always comes with the flag, and carries
    // the entry's id.
    if (result.GetErrorCode() != 0 && (!found || result.GetErrorCode() < 0)) {
        std::abort();
    }
    bool skipped = false;
    if (ZTVMDetect::DockerProcWalker((g_root + "/").c_str(), name, false, &skipped).GetErrorCode() != 0 ||
        skipped) {
        std::abort();
    }
    return 0;
}
