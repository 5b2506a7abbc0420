// Internal access to the process-wide firmware cache.
#pragma once

#include <string>

namespace vmdetect {
namespace firmware {

// The cached UUID, read safely against a concurrent fill.
std::string CachedBiosUUID();

// The SMBIOS version text ("2.7", "3.2.0") as major * 100 + minor, split
// at full stops; false, `version` untouched, when there are fewer than two
// pieces.
bool ParseSMBIOSVersion(const std::string& text, int& version);

// Empties the cache again and forgets every kept probe answer; tests and
// benchmarks only.
void ResetCacheForTests();

}  // namespace firmware
}  // namespace vmdetect
