// The SMBIOS version parse on any text: the tokenizer, then the conversion.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "adapters/FXString.h"
#include "detector/FirmwareCache.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<CYbString> pieces;
    CYbString(text.c_str()).Tokenize(pieces, "", "", '\\', '.', false);
    int version = -12345;
    const bool parsed = vmdetect::firmware::ParseSMBIOSVersion(text, version);
    if (parsed != (pieces.size() >= 2)) {
        std::abort();
    }
    if (!parsed && version != -12345) {
        std::abort();  // a failed parse leaves the output alone
    }
    return 0;
}
