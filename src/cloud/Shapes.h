// The shapes the clouds' documentation gives their identifiers. A metadata
// answer fills a key only when it has its key's shape: a proxy's notice, a
// captive portal's "OK" or an error page must not become an identity.
#pragma once

#include <cstddef>
#include <string>

namespace vmdetect::cloud {

enum class Shape {
    kText,         // one word of visible ASCII, no angle brackets
    kName,         // letters, digits and . _ : - ("t4g.medium", "EMIr:PHX-AD-1")
    kSlug,         // lowercase words joined by single '-' ("eu-central-1b", "westus", "1")
    kDigits,       // decimal digits ("2206944706428651580")
    kAwsAccount,   // twelve decimal digits
    kUuid,         // 8-4-4-4-12 hexadecimal digits
    kEc2Instance,  // "i-" and at least 8 hexadecimal digits
    kAliInstance,  // "i-" and lowercase letters or digits
    kOcid,         // "ocid1." and an OCID's characters
    kOcidInstance, // an OCID of an instance: "ocid1.instance."
    kHostName,     // DNS labels of letters, digits, '-' and '_', joined by '.'
    kLabel,        // free text: valid UTF-8 without control characters ("Ubuntu 22.04 LTS")
    kIbmInstance,  // a UUID, or four lowercase letters or digits, '_' and a UUID
    kTencentInstance,  // "ins-" and lowercase letters or digits
    kCrn,          // an IBM CRN: "crn:" and its nine ':'-separated fields, visible ASCII
};

// True when `value` is non-empty, at most 256 bytes and of `shape`.
bool Fits(Shape shape, const std::string& value);

// A session token: 1 to `maxBytes` bytes of visible ASCII (0x21-0x7e), so
// that it cannot end a header line or start another.
bool IsToken(const std::string& value, std::size_t maxBytes = 256);

}  // namespace vmdetect::cloud
