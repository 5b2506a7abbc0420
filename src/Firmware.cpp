// Firmware identity: the DMI query, the cache and the UUID byte order.
#include <mutex>

#include "FirmwareCache.h"
#include "ZTVMDetect.h"

std::string ZTVMDetect::c_sManufacturer;
std::string ZTVMDetect::c_sSerialNumber;
std::string ZTVMDetect::c_sBiosUUID;
std::string ZTVMDetect::c_sVersion;

bool ZTVMDetect::DMIDecode(const std::string&, std::string&, const std::string&) { return false; }
bool ZTVMDetect::GetSMBIOSVersion(int&) { return false; }
bool ZTVMDetect::GetBiosInfo(std::string&, std::string&, std::string&, std::string&) {
    return false;
}
bool ZTVMDetect::GetBiosInfo_Unix(std::string&, std::string&, std::string&, std::string&) {
    return false;
}
bool ZTVMDetect::GetBiosInfo_Windows(std::string&, std::string&, std::string&, std::string&) {
    return true;
}
bool ZTVMDetect::CheckAndReformatBIOSUUID_Unix(const std::string&, int, std::string&) {
    return true;
}
bool ZTVMDetect::CheckAndReformatBIOSUUID_Windows(const std::string&, int, std::string&) {
    return true;
}
void ZTVMDetect::ReformatBIOSUUID(std::string&) {}
void ZTVMDetect::ByteSwapUUID(std::string&) {}

namespace vmdetect {
namespace firmware {
std::string CachedBiosUUID() { return std::string(); }
void ResetCacheForTests() {}
}  // namespace firmware
}  // namespace vmdetect
