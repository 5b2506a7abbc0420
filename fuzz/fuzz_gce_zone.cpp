// The Google zone cut and region on any metadata answer, through the real
// fetch methods with the fuzzer's bytes as the HTTP body.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzCurl.h"
#include "FuzzSupport.h"
#include "ZTVMDetect.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::QuietLog();
    ::setenv("GCE_METADATA_HOST", "127.0.0.1:9", 1);
    ::setenv("AWS_EC2_METADATA_SERVICE_ENDPOINT", "http://127.0.0.1:9", 1);
    ::setenv("VMDETECT_OCI_METADATA_ENDPOINT", "http://127.0.0.1:9", 1);
    ::setenv("VMDETECT_CONFIG", "/nonexistent/vmdetect-fuzz.conf", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    fuzzcurl::SetBody(body);
    ZTVMDetect detector;
    std::string zone = "caller-zone";
    detector.GetLocalVMHostNameFromGoogleCloud(zone);
    std::string region = "caller-region";
    detector.GetLocalVMDataCenterNameFromGoogleCloud(region);
    // Both see the same answer: the region is the zone less two characters,
    // or the zone itself when that is one character long.
    if (fuzzcurl::Requests() == 2 && !zone.empty()) {
        const std::string expected = zone.size() == 1 ? zone : zone.substr(0, zone.size() - 2);
        if (region != expected) {
            std::abort();
        }
    }
    return 0;
}
