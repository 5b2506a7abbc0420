// Internal access to the process-wide firmware cache.
#pragma once

#include <string>

namespace vmdetect {
namespace firmware {

// The cached UUID, read safely against a concurrent fill.
std::string CachedBiosUUID();

// Empties the cache again; tests only.
void ResetCacheForTests();

}  // namespace firmware
}  // namespace vmdetect
