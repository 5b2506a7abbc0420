// Firmware identity: the DMI query through real grep and awk over captured
// records, the cache, the proxy UUID and the UUID byte order.
#include <gtest/gtest.h>
#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <sstream>
#include <thread>

#include "detector/FirmwareCache.h"
#include "TestSupport.h"
#include "ZTVMDetect.h"
#include "adapters/ZtProcess.h"

using testsupport::FakeTools;
using testsupport::LogCapture;
using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

const char* const kDmiLine = "/bin/sh -c dmidecode --type system | grep -i '%s' | awk -F'%s' {'print $2'}";

std::string DmiLine(const char* key, const char* separator) {
    char text[256];
    std::snprintf(text, sizeof text, kDmiLine, key, separator);
    return text;
}

std::string Trimmed(const std::string& text) {
    const char* blanks = " \t\r\n";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool ContainsNoCase(const std::string& line, const std::string& key) {
    auto lower = [](std::string s) {
        std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
        return s;
    };
    return lower(line).find(lower(key)) != std::string::npos;
}

// What "grep -i KEY | awk -F':' {'print $2'}" and the trim make of a record.
std::string ModelColonField(const std::string& record, const std::string& key) {
    std::istringstream in(record);
    std::string line;
    std::string out;
    while (std::getline(in, line)) {
        if (!ContainsNoCase(line, key)) {
            continue;
        }
        const size_t first = line.find(':');
        std::string field;
        if (first != std::string::npos) {
            const size_t second = line.find(':', first + 1);
            field = line.substr(first + 1, second == std::string::npos ? std::string::npos
                                                                        : second - first - 1);
        }
        out += field + "\n";
    }
    return Trimmed(out);
}

std::string ModelSwap(std::string uuid) {
    if (uuid.size() == 36 && uuid[8] == '-' && uuid[13] == '-' && uuid[18] == '-' && uuid[23] == '-') {
        std::swap(uuid[0], uuid[6]);
        std::swap(uuid[1], uuid[7]);
        std::swap(uuid[2], uuid[4]);
        std::swap(uuid[3], uuid[5]);
        std::swap(uuid[9], uuid[11]);
        std::swap(uuid[10], uuid[12]);
        std::swap(uuid[14], uuid[16]);
        std::swap(uuid[15], uuid[17]);
    }
    return uuid;
}

std::vector<std::string> SystemCaptures() {
    std::vector<std::string> names;
    DIR* dir = ::opendir(testsupport::DataPath("dmi").c_str());
    if (dir == nullptr) {
        return names;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        // Full dmidecode outputs are not what "--type system" prints.
        if (name.find(".system") != std::string::npos || name.find("-spaces") != std::string::npos ||
            name.find("-head") != std::string::npos || name.find("-quiet") != std::string::npos ||
            name.find("error-") == 0) {
            names.push_back(name);
        }
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

struct BiosInfo {
    std::string manufacturer, serial, uuid, version;
    bool ok = false;
};

BiosInfo Read() {
    BiosInfo info;
    ZTVMDetect detector;
    info.ok = detector.GetBiosInfo(info.manufacturer, info.serial, info.uuid, info.version);
    return info;
}

TEST(Firmware, EveryCaptureGivesWhatGrepAndAwkGive) {
    const std::vector<std::string> captures = SystemCaptures();
    ASSERT_GE(captures.size(), 25u);
    for (const std::string& capture : captures) {
        SCOPED_TRACE(capture);
        FakeTools fakes;
        fakes.UseDmi(capture);
        const std::string record = testsupport::ReadFile(testsupport::DataPath("dmi/" + capture));
        const std::string manufacturer = ModelColonField(record, "Manufacturer");
        std::string uuid = ModelColonField(record, "UUID");
        if (manufacturer.find("VMware") != std::string::npos ||
            manufacturer.find("Microsoft Corporation") != std::string::npos) {
            uuid = ModelSwap(uuid);
        }
        const BiosInfo info = Read();
        EXPECT_TRUE(info.ok);
        EXPECT_EQ(info.manufacturer, manufacturer);
        EXPECT_EQ(info.serial, ModelColonField(record, "Serial Number"));
        EXPECT_EQ(info.uuid, uuid);
        EXPECT_EQ(info.version, ModelColonField(record, "Version"));
    }
}

TEST(Firmware, KnownCapturesSpotChecks) {
    struct Case {
        const char* capture;
        const char* manufacturer;
        const char* uuid;
        const char* version;
    };
    const Case cases[] = {
        // VMware reports the first three fields little-endian: swapped.
        {"vmware-1.system.txt", "VMware, Inc.", "2CBC4D56-C90F-2A1F-BDD6-7E67436B3541", "None"},
        {"gce-1.system.txt", "Google", nullptr, nullptr},
        {"ec2-xen-1.system.txt", "Xen", nullptr, "4.2.amazon"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.capture);
        FakeTools fakes;
        fakes.UseDmi(c.capture);
        const BiosInfo info = Read();
        EXPECT_EQ(info.manufacturer, c.manufacturer);
        if (c.uuid != nullptr) {
            EXPECT_EQ(info.uuid, c.uuid);
        }
        if (c.version != nullptr) {
            EXPECT_EQ(info.version, c.version);
        }
    }
}

TEST(Firmware, FirstFillRunsFiveLinesInOrderAndSecondCallNone) {
    FakeTools fakes;
    fakes.UseDmi("vmware-1.system.txt");
    const BiosInfo first = Read();
    EXPECT_TRUE(first.ok);
    const std::vector<std::string> expected = {
        DmiLine("Manufacturer", ":"), DmiLine("Serial Number", ":"), DmiLine("UUID", ":"),
        DmiLine("SMBIOS", " "), DmiLine("Version", ":")};
    EXPECT_EQ(fakes.Calls(), expected);
    fakes.ClearCalls();
    LogCapture log(4);
    const BiosInfo second = Read();
    EXPECT_TRUE(second.ok);
    EXPECT_TRUE(fakes.Calls().empty());
    EXPECT_TRUE(log.lines().empty()) << "a complete cache answers silently";
    EXPECT_EQ(second.manufacturer, first.manufacturer);
    EXPECT_EQ(second.uuid, first.uuid);
    EXPECT_EQ(ZTVMDetect::c_sBiosUUID, first.uuid);

    // A caller that empties one of the three tested strings gets a fresh
    // read on its next call; the version is not tested.
    struct Cleared {
        std::string* text;
        size_t linesRun;
    };
    const Cleared cleared[] = {{&ZTVMDetect::c_sBiosUUID, 5},
                               {&ZTVMDetect::c_sManufacturer, 5},
                               {&ZTVMDetect::c_sSerialNumber, 5},
                               {&ZTVMDetect::c_sVersion, 0}};
    for (const Cleared& c : cleared) {
        c.text->clear();
        fakes.ClearCalls();
        const BiosInfo again = Read();
        EXPECT_TRUE(again.ok);
        EXPECT_EQ(fakes.Calls().size(), c.linesRun);
        EXPECT_EQ(again.uuid, first.uuid);
        EXPECT_EQ(vmdetect::firmware::CachedBiosUUID(), first.uuid);
    }
}

TEST(Firmware, IncompleteRecordIsReadAgainOnEveryCall) {
    FakeTools fakes;
    TempDir dir;
    const std::string record = dir.file("noserial.txt");
    testsupport::WriteFile(record,
                           "System Information\n\tManufacturer: QEMU\n\tUUID: "
                           "11111111-2222-3333-4444-555555555555\n\tVersion: 1.0\n");
    fakes.UseDmi(record);
    for (int call = 0; call < 3; ++call) {
        fakes.ClearCalls();
        const BiosInfo info = Read();
        EXPECT_TRUE(info.ok);
        EXPECT_EQ(info.serial, "");
        EXPECT_EQ(fakes.Calls().size(), 5u) << "call " << call;
    }
}

TEST(Firmware, EmptyVersionStillCompletesTheCache) {
    FakeTools fakes;
    TempDir dir;
    const std::string record = dir.file("noversion.txt");
    testsupport::WriteFile(record, "\tManufacturer: Acme\n\tSerial Number: S1\n\tUUID: U1\n");
    fakes.UseDmi(record);
    EXPECT_TRUE(Read().ok);
    fakes.ClearCalls();
    const BiosInfo again = Read();
    EXPECT_TRUE(again.ok);
    EXPECT_EQ(again.version, "");
    EXPECT_TRUE(fakes.Calls().empty());
}

TEST(Firmware, FailingQueriesEndTheReadWhereTheyFail) {
    struct Case {
        const char* failingKey;
        size_t linesRun;
        bool manufacturerRead;
        bool serialRead;
        bool cacheComplete;
    };
    const Case cases[] = {
        {"'Manufacturer'", 1, false, false, false},
        {"'Serial Number'", 2, true, false, false},
        {"'UUID'", 3, true, true, false},
        // A failing SMBIOS query does not fail the read.
        {"'SMBIOS'", 5, true, true, true},
        // Only the version failing: false, yet the cache is complete.
        {"'Version'", 5, true, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failingKey);
        FakeTools fakes;
        fakes.UseDmi("vmware-1.system.txt");
        fakes.FailDmiKey(c.failingKey);
        BiosInfo info;
        info.version = "caller-version";
        ZTVMDetect detector;
        const bool ok = detector.GetBiosInfo(info.manufacturer, info.serial, info.uuid, info.version);
        EXPECT_EQ(ok, std::string(c.failingKey) == "'SMBIOS'");
        EXPECT_EQ(fakes.Calls().size(), c.linesRun);
        EXPECT_EQ(!info.manufacturer.empty(), c.manufacturerRead);
        EXPECT_EQ(!info.serial.empty(), c.serialRead);
        EXPECT_EQ(ZTVMDetect::c_sVersion,
                  std::string(c.failingKey) == "'SMBIOS'" ? "None" : "caller-version");
        fakes.ClearCalls();
        const BiosInfo again = Read();
        EXPECT_EQ(fakes.Calls().empty(), c.cacheComplete);
        if (c.cacheComplete) {
            EXPECT_TRUE(again.ok);
        }
    }
}

TEST(Firmware, SmbiosFailureKeepsUuidUncorrected) {
    // With the SMBIOS query failing the correction still runs (with 0).
    FakeTools fakes;
    fakes.UseDmi("vmware-1.system.txt");
    fakes.FailDmiKey("'SMBIOS'");
    LogCapture log(0);
    const BiosInfo info = Read();
    EXPECT_EQ(info.uuid, "2CBC4D56-C90F-2A1F-BDD6-7E67436B3541");
    EXPECT_TRUE(log.contains("ERROR bool ZTVMDetect::GetSMBIOSVersion(int&): Failed to fetch the SMBIOS version"));
}

TEST(Firmware, ProxyUuidReplacesTheFirmwareUuid) {
    struct Case {
        const char* capture;
        const char* failingKey;
        bool expectOk;
    };
    const Case cases[] = {
        {"vmware-1.system.txt", nullptr, true},
        {"hyperv-1.system.txt", nullptr, true},
        {"vmware-1.system.txt", "'Manufacturer'", false},
    };
    // Stored exactly: quotes, $(...) and spaces are data, never shell text.
    const std::string proxy = "prox'y $(touch /tmp/vmdetect-pwned) \"id\" ";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.capture);
        FakeTools fakes;
        fakes.UseDmi(c.capture);
        if (c.failingKey != nullptr) {
            fakes.FailDmiKey(c.failingKey);
        }
        TempDir dir;
        testsupport::WriteFile(dir.file("vmdetect.conf"),
                               "[VirtualServer]\nsProxyVMUUID = " + proxy + "x\n");
        ScopedEnv config("VMDETECT_CONFIG", dir.file("vmdetect.conf").c_str());
        LogCapture log(1);
        const BiosInfo info = Read();
        EXPECT_EQ(info.ok, c.expectOk);
        // inih trims the value's ends; the trailing x keeps the inner blank.
        EXPECT_EQ(info.uuid, proxy + "x");
        EXPECT_EQ(ZTVMDetect::c_sBiosUUID, proxy + "x");
        EXPECT_EQ(log.matching("Override proxy UUID based on regkey to [" + proxy + "x]").size(), 1u);
        EXPECT_NE(::access("/tmp/vmdetect-pwned", F_OK), 0);
        if (c.failingKey != nullptr) {
            EXPECT_EQ(ZTVMDetect::c_sManufacturer, "");
        }
    }
}

TEST(Firmware, OddRecordValuesAreDataNeverCode) {
    struct Case {
        const char* name;
        std::string record;
        std::string manufacturer;
    };
    const std::string big(3 * 1024 * 1024, 'A');
    const Case cases[] = {
        {"colon in value", "\tManufacturer: Acme: Labs\n", "Acme"},
        {"several lines", "\tManufacturer: One\n\tmanufacturer: Two\n", "One\n Two"},
        {"CRLF", "\tManufacturer: Acme\r\n", "Acme"},
        {"quotes and subshell", "\tManufacturer: $(touch /tmp/vmdetect-pwned) 'x'\n",
         "$(touch /tmp/vmdetect-pwned) 'x'"},
        // grep reports binary input its own way; only safety matters here.
        {"binary", std::string("\tManufacturer: A\x01\xff\x7f\0B\n"), "*"},
        // Kept up to the runner's cap, which the value's leading blank counts in.
        {"megabytes", "\tManufacturer: " + big + "\n", big.substr(0, ZtProcess::kMaxCapture - 1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeTools fakes;
        testsupport::WriteFile(fakes.dir().file("record"), c.record);
        fakes.UseDmi(fakes.dir().file("record"));
        ZTVMDetect detector;
        std::string value = "untouched";
        EXPECT_TRUE(detector.DMIDecode("Manufacturer", value, ":"));
        if (c.manufacturer != "*") {
            EXPECT_EQ(value, c.manufacturer);
        }
        EXPECT_NE(::access("/tmp/vmdetect-pwned", F_OK), 0);
    }
}

TEST(Firmware, DmiQueryEdgeCases) {
    FakeTools fakes;
    fakes.UseDmi("vmware-1.system.txt");
    ZTVMDetect detector;
    std::string value = "untouched";
    EXPECT_TRUE(detector.DMIDecode("No Such Field", value, ":"));
    EXPECT_EQ(value, "");
    fakes.FailDmiKey("'UUID'");
    value = "untouched";
    LogCapture log(1);
    EXPECT_FALSE(detector.DMIDecode("UUID", value, ":"));
    EXPECT_EQ(value, "untouched");
    EXPECT_TRUE(log.contains("Failed to run the command Error fake dmidecode: failing on purpose"));
}

TEST(Firmware, SmbiosVersionParse) {
    struct Case {
        const char* record;
        bool ok;
        int version;
        const char* logged;
    };
    const Case cases[] = {
        {"SMBIOS 2.7 present.\n", true, 207, nullptr},
        {"SMBIOS 3.2.0 present.\n", true, 302, nullptr},
        {"SMBIOS 2.10 present.\n", true, 210, nullptr},
        {"SMBIOS 2 present.\n", false, -5, "Failed to parse SMBIOS version [2]"},
        {"nothing here\n", false, -5, "Failed to parse SMBIOS version []"},
        // Two matching lines: the split runs across the line end.
        {"SMBIOS 2.7 present.\nSMBIOS implementations newer than version 3.0\n", true, 207, nullptr},
        {"SMBIOS present.\nSMBIOS 3.0.0 present.\n", true, 3, nullptr},
        {"SMBIOS 2.x present.\n", true, 200, nullptr},
        {"SMBIOS 99999999999.99999999999 present.\n", true, 2147483647, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.record);
        FakeTools fakes;
        testsupport::WriteFile(fakes.dir().file("record"), c.record);
        fakes.UseDmi(fakes.dir().file("record"));
        ZTVMDetect detector;
        LogCapture log(0);
        int version = -5;
        EXPECT_EQ(detector.GetSMBIOSVersion(version), c.ok);
        EXPECT_EQ(version, c.version);
        if (c.logged != nullptr) {
            EXPECT_TRUE(log.contains(c.logged));
        }
    }
}

TEST(UuidByteOrder, SwapsTheFirstThreeFieldsOnly) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5D", "3D2C1B0A-5F4E-7B6A-8C9D-0E1F2A3B4C5D"},
        {"0a0b0c0d-0e0f-1a1b-2c2d-3e3f4a4b5c5d", "0d0c0b0a-0f0e-1b1a-2c2d-3e3f4a4b5c5d"},
        // Refusals: wrong length or a dash out of place.
        {"0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5", "0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5"},
        {"0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5DE", "0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5DE"},
        {"0A1B2C3D04E5F-6A7B-8C9D-0E1F2A3B4C5D", "0A1B2C3D04E5F-6A7B-8C9D-0E1F2A3B4C5D"},
        {"0A1B2C3D-4E5F-6A7B-8C9D00E1F2A3B4C5D", "0A1B2C3D-4E5F-6A7B-8C9D00E1F2A3B4C5D"},
        {"", ""},
    };
    ZTVMDetect detector;
    for (const Case& c : cases) {
        std::string uuid = c.in;
        detector.ByteSwapUUID(uuid);
        EXPECT_EQ(uuid, c.out);
        detector.ByteSwapUUID(uuid);
        EXPECT_EQ(uuid, c.in) << "twice gives back the start";
    }
}

TEST(UuidByteOrder, OnlyVmwareAndMicrosoftNamesCaseSensitive) {
    struct Case {
        const char* manufacturer;
        bool swapped;
    };
    const Case cases[] = {
        {"VMware, Inc.", true},
        {"Microsoft Corporation", true},
        {"MicrosoftCorporation", true},
        {"xx VMware yy", true},
        {"vmware", false},
        {"microsoft corporation", false},
        {"Microsoft", false},
        {"QEMU", false},
    };
    const std::string original = "0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5D";
    ZTVMDetect detector;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.manufacturer);
        for (const int smbios : {0, 207, 302}) {
            LogCapture log(4);
            std::string uuid = original;
            EXPECT_TRUE(detector.CheckAndReformatBIOSUUID_Unix(c.manufacturer, smbios, uuid));
            EXPECT_EQ(uuid != original, c.swapped);
            EXPECT_EQ(log.lines().size(), c.swapped ? 2u : 0u);
        }
        std::string uuid = original;
        EXPECT_TRUE(detector.CheckAndReformatBIOSUUID_Windows(c.manufacturer, 0, uuid));
        EXPECT_EQ(uuid, original);
    }
}

TEST(UuidByteOrder, BothLinesAppearEvenWhenNothingChanged) {
    ZTVMDetect detector;
    LogCapture log(4);
    std::string uuid;
    detector.ReformatBIOSUUID(uuid);
    EXPECT_EQ(uuid, "");
    const std::vector<std::string> lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("DEBUG4 void ZTVMDetect::ReformatBIOSUUID(std::string&): Original BIOS UUID from hardware []"),
              std::string::npos);
    EXPECT_NE(lines[1].find("DEBUG2 void ZTVMDetect::ReformatBIOSUUID(std::string&): Reformatted BIOS UUID []"),
              std::string::npos);
}

TEST(Firmware, WindowsVariantLeavesEverythingAlone) {
    ZTVMDetect detector;
    std::string a = "a", b = "b", c = "c", d = "d";
    EXPECT_TRUE(detector.GetBiosInfo_Windows(a, b, c, d));
    EXPECT_EQ(a + b + c + d, "abcd");
}

TEST(Firmware, SixteenFirstCallsAtOnceAgree) {
    FakeTools fakes;
    fakes.UseDmi("vmware-2.system.txt");
    constexpr int kThreads = 16;
    std::vector<BiosInfo> results(kThreads);
    std::vector<std::string> uuids(kThreads);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) {
            }
            results[i] = Read();
            uuids[i] = vmdetect::firmware::CachedBiosUUID();
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(fakes.Calls().size(), 5u) << "one fill";
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_TRUE(results[i].ok);
        EXPECT_EQ(results[i].manufacturer, results[0].manufacturer);
        EXPECT_EQ(results[i].uuid, results[0].uuid);
        EXPECT_EQ(uuids[i], results[0].uuid);
    }
}

}  // namespace
