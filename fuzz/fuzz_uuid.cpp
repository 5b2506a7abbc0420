// ByteSwapUUID on any text: the length never changes, characters only move,
// and two swaps give the text back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "ZTVMDetect.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::QuietLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string original(reinterpret_cast<const char*>(data), size);
    std::string uuid = original;
    ZTVMDetect detector;
    detector.ByteSwapUUID(uuid);
    if (uuid.size() != original.size()) {
        std::abort();
    }
    std::string a = uuid, b = original;
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    if (a != b) {
        std::abort();
    }
    detector.ByteSwapUUID(uuid);
    if (uuid != original) {
        std::abort();
    }
    // The logged form as well.
    detector.ReformatBIOSUUID(uuid);
    return 0;
}
