// Firmware identity: the DMI query, the process-wide cache and the UUID
// byte order.
#include <atomic>
#include <climits>
#include <cstdint>
#include <new>
#include <vector>

#include "Constants.h"
#include "detector/FirmwareCache.h"
#include "HostProc.h"
#include "detector/ProbeCache.h"
#include "ZTVMDetect.h"
#include "adapters/FXString.h"
#include "adapters/ForkSafeMutex.h"
#include "adapters/ZTPlatformInfo.h"
#include "adapters/ZtProcess.h"

std::string ZTVMDetect::c_sManufacturer;
std::string ZTVMDetect::c_sSerialNumber;
std::string ZTVMDetect::c_sBiosUUID;
std::string ZTVMDetect::c_sVersion;

namespace {

// A fill runs under this lock. Once the cache is complete the strings are
// never written again, so `g_complete` (set with release after the last
// write) lets readers copy them without the lock.
std::atomic<bool> g_complete{false};

// The fill lock, held for a scope. A child forked during another thread's
// fill starts the strings afresh, unread: they may be half-written.
class FillLock {
public:
    FillLock()
        : m_guard(Mutex(), [] {
              new (&ZTVMDetect::c_sManufacturer) std::string();
              new (&ZTVMDetect::c_sSerialNumber) std::string();
              new (&ZTVMDetect::c_sBiosUUID) std::string();
              new (&ZTVMDetect::c_sVersion) std::string();
              g_complete.store(false, std::memory_order_relaxed);
          }) {}

private:
    static vmdetect::adapters::ForkSafeMutex& Mutex() {
        static vmdetect::adapters::ForkSafeMutex mutex;
        return mutex;
    }
    vmdetect::adapters::ForkSafeGuard m_guard;
};

bool CacheHoldsIdentity() {
    return !ZTVMDetect::c_sManufacturer.empty() && !ZTVMDetect::c_sSerialNumber.empty() &&
           !ZTVMDetect::c_sBiosUUID.empty();
}

// The four strings of one fill and what the read returned.
struct FirmwareRead {
    std::string manufacturer;
    std::string serialNumber;
    std::string uuid;
    std::string version;
    bool result = false;
};

// A fill that left the cache incomplete, reused under nProbeCacheSeconds: a
// machine whose record lacks a field, or where dmidecode cannot read it,
// then pays for the five command lines once per period instead of per call.
vmdetect::probecache::Remembered<FirmwareRead> g_incompleteRead;

void Store(const FirmwareRead& read) {
    ZTVMDetect::c_sManufacturer = read.manufacturer;
    ZTVMDetect::c_sSerialNumber = read.serialNumber;
    ZTVMDetect::c_sBiosUUID = read.uuid;
    ZTVMDetect::c_sVersion = read.version;
}

constexpr const char* kFnGetBiosInfo =
    "bool ZTVMDetect::GetBiosInfo(std::string&, std::string&, std::string&, std::string&)";

// A fresh read, the configured UUID override, and the four strings stored;
// the caller holds the fill lock.
bool FillLocked(ZTVMDetect& detector, std::string& manufacturer, std::string& serialNumber,
                std::string& uuid, std::string& version) {
    const bool result = detector.GetBiosInfo_Unix(manufacturer, serialNumber, uuid, version);
    ZTPlatformInfo platformInfo;
    std::string proxyUUID;
    platformInfo.getString(vmdetect::kConfigSection, vmdetect::kKeyProxyUUID, &proxyUUID);
    if (!proxyUUID.empty()) {
        detector.Debug(kFnGetBiosInfo, "Override proxy UUID based on regkey to [%s]",
                       proxyUUID.c_str());
        uuid = proxyUUID;
    }
    unsigned long reuseSeconds = 0;
    platformInfo.getNumber(vmdetect::kConfigSection, vmdetect::kKeyProbeCacheSeconds,
                           &reuseSeconds);
    vmdetect::probecache::SetSeconds(reuseSeconds);
    const FirmwareRead read{manufacturer, serialNumber, uuid, version, result};
    Store(read);
    if (CacheHoldsIdentity()) {
        g_complete.store(true, std::memory_order_release);
    } else {
        g_incompleteRead.Put(read);
    }
    return result;
}

// atoi's reading (white space, sign, digits), saturated instead of overflowing.
long long ParseLeadingInt(const char* text) {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) {
        ++text;
    }
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    long long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        if (value < INT_MAX) {
            value = value * 10 + (*text - '0');
        }
    }
    if (value > INT_MAX) {
        value = INT_MAX;
    }
    return negative ? -value : value;
}

int ClampToInt(long long value) {
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

}  // namespace

bool ZTVMDetect::DMIDecode(const std::string& key, std::string& value,
                           const std::string& separator) {
    static constexpr const char* kFunction =
        "bool ZTVMDetect::DMIDecode(const string&, std::string&, const string&)";
    std::string command;
    std::string output;
    std::string errorOutput;
    // Both texts sit between single quotes in the line; a caller's quote
    // must not end them.
    FXString::Format(command, vmdetect::kDmiCommandFormat,
                     vmdetect::EscapeSingleQuotes(key).c_str(),
                     vmdetect::EscapeSingleQuotes(separator).c_str());
    if (ZtProcess::system(command.c_str(), &output, &errorOutput, 0, true) != 0) {
        Debug(kFunction, "Failed to run the command Error %s", errorOutput.c_str());
        return false;
    }
    value = std::move(output);
    FXString::Trim(value, " \t\r\n");
    return true;
}

bool ZTVMDetect::GetSMBIOSVersion(int& version) {
    static constexpr const char* kFunction = "bool ZTVMDetect::GetSMBIOSVersion(int&)";
    std::string text;
    if (!DMIDecode("SMBIOS", text, " ")) {
        Error(kFunction, "Failed to fetch the SMBIOS version");
        return false;
    }
    if (!vmdetect::firmware::ParseSMBIOSVersion(text, version)) {
        Error(kFunction, "Failed to parse SMBIOS version [%s]", text.c_str());
        return false;
    }
    return true;
}

bool ZTVMDetect::GetBiosInfo(std::string& manufacturer, std::string& serialNumber,
                             std::string& uuid, std::string& version) {
    // The lock-free path serves only while the three tested strings are
    // filled: a caller that empties one gets a fresh read on its next call.
    if (!g_complete.load(std::memory_order_acquire) || !CacheHoldsIdentity()) {
        const FillLock lock;
        if (!CacheHoldsIdentity()) {
            g_complete.store(false, std::memory_order_relaxed);
            FirmwareRead kept;
            if (!g_incompleteRead.Get(kept)) {
                return FillLocked(*this, manufacturer, serialNumber, uuid, version);
            }
            Store(kept);
            manufacturer = kept.manufacturer;
            serialNumber = kept.serialNumber;
            uuid = kept.uuid;
            version = kept.version;
            return kept.result;
        }
        g_complete.store(true, std::memory_order_release);
    }
    manufacturer = c_sManufacturer;
    serialNumber = c_sSerialNumber;
    uuid = c_sBiosUUID;
    version = c_sVersion;
    return true;
}

bool ZTVMDetect::GetBiosInfo_Unix(std::string& manufacturer, std::string& serialNumber,
                                  std::string& uuid, std::string& version) {
    if (!DMIDecode("Manufacturer", manufacturer, ":")) {
        return false;
    }
    if (!DMIDecode("Serial Number", serialNumber, ":")) {
        return false;
    }
    if (!DMIDecode("UUID", uuid, ":")) {
        return false;
    }
    int smbiosVersion = 0;
    GetSMBIOSVersion(smbiosVersion);
    CheckAndReformatBIOSUUID_Unix(manufacturer, smbiosVersion, uuid);
    return DMIDecode("Version", version, ":");
}

bool ZTVMDetect::GetBiosInfo_Windows(std::string& /*manufacturer*/, std::string& /*serialNumber*/,
                                     std::string& /*uuid*/, std::string& /*version*/) {
    return true;
}

bool ZTVMDetect::CheckAndReformatBIOSUUID_Unix(const std::string& manufacturer,
                                               int /*smbiosVersion*/, std::string& uuid) {
    // These firmwares report the first three UUID fields little-endian.
    static constexpr const char* kSwappedVendors[] = {"Microsoft Corporation",
                                                      "MicrosoftCorporation", "VMware"};
    for (const char* vendor : kSwappedVendors) {
        if (manufacturer.find(vendor) != std::string::npos) {
            ReformatBIOSUUID(uuid);
            break;
        }
    }
    return true;
}

bool ZTVMDetect::CheckAndReformatBIOSUUID_Windows(const std::string& /*manufacturer*/,
                                                  int /*smbiosVersion*/, std::string& /*uuid*/) {
    return true;
}

void ZTVMDetect::ReformatBIOSUUID(std::string& uuid) {
    static constexpr const char* kFunction = "void ZTVMDetect::ReformatBIOSUUID(std::string&)";
    DebugLvl(kFunction, 4, "Original BIOS UUID from hardware [%s]", uuid.c_str());
    ByteSwapUUID(uuid);
    DebugLvl(kFunction, 2, "Reformatted BIOS UUID [%s]", uuid.c_str());
}

void ZTVMDetect::ByteSwapUUID(std::string& uuid) {
    if (uuid.size() != 36) {
        return;
    }
    for (const size_t dash : {8, 13, 18, 23}) {
        if (uuid[dash] != '-') {
            return;
        }
    }
    static constexpr size_t kSwaps[][2] = {{0, 6},   {1, 7},   {2, 4},   {3, 5},
                                           {9, 11},  {10, 12}, {14, 16}, {15, 17}};
    for (const auto& pair : kSwaps) {
        std::swap(uuid[pair[0]], uuid[pair[1]]);
    }
}

namespace vmdetect {
namespace firmware {

bool ParseSMBIOSVersion(const std::string& text, int& version) {
    std::vector<CYbString> pieces;
    CYbString(text.c_str()).Tokenize(pieces, "", "", '\\', '.', false);
    if (pieces.size() < 2) {
        return false;
    }
    long long parsed = 0;
    parsed += ParseLeadingInt(pieces[0]) * 100;
    parsed += ParseLeadingInt(pieces[1]);
    version = ClampToInt(parsed);
    return true;
}

std::string CachedBiosUUID() {
    if (g_complete.load(std::memory_order_acquire)) {
        return ZTVMDetect::c_sBiosUUID;
    }
    const FillLock lock;
    return ZTVMDetect::c_sBiosUUID;
}

void ResetCacheForTests() {
    vmdetect::probecache::ForgetAll();
    const FillLock lock;
    ZTVMDetect::c_sManufacturer.clear();
    ZTVMDetect::c_sSerialNumber.clear();
    ZTVMDetect::c_sBiosUUID.clear();
    ZTVMDetect::c_sVersion.clear();
    g_complete.store(false, std::memory_order_release);
}

}  // namespace firmware
}  // namespace vmdetect
