// Real computers' firmware, uploaded by their owners (tests/data/physical):
// no rule may take a physical computer for a guest, a container, a cloud
// instance or a confidential VM, and the few virtual machines among them
// must name a hypervisor.
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "cloud/Providers.h"
#include "fakes/MemorySource.h"
#include "report/Report.h"

namespace {

using fakes::MemorySource;

constexpr const char* kDmiFiles[] = {
    "sys_vendor",   "product_name", "product_version", "product_family", "product_sku",
    "board_vendor", "board_name",   "board_version",   "board_asset_tag", "bios_vendor",
    "bios_version", "chassis_vendor", "chassis_version", "chassis_asset_tag",
};

// The kernel's files hold dmidecode's values trimmed, with a newline.
std::string KernelValue(const std::string& value) {
    const std::size_t first = value.find_first_not_of(' ');
    return first == std::string::npos ? "\n" : value.substr(first, value.find_last_not_of(' ') - first + 1) + "\n";
}

// One computer of the collection; on x86 the processor says it is no guest.
MemorySource MachineOf(const nlohmann::json& line) {
    MemorySource source(line.value("arch", ""));
    for (const char* file : kDmiFiles) {
        if (line.contains(file)) {
            source.Put(MemorySource::Tree::kSys, std::string("/class/dmi/id/") + file, KernelValue(line[file]));
        }
    }
    if (line.value("arch", "") == "x86_64") {
        source.SetCpuid(0, {0x16, 0x756e6547, 0x6c65746e, 0x49656e69});  // GenuineIntel
        source.SetCpuid(1, {0x000906ea, 0, 0x7ffafbbf, 0xbfebfbff});     // a Core i7, bit 31 of ECX clear
    }
    return source;
}

TEST(Physical, NoComputerIsTakenForAGuestOrACloud) {
    const std::string command = "xz -dc " + testsupport::DataPath("physical/machines.jsonl.xz");
    const std::unique_ptr<FILE, int (*)(FILE*)> in(::popen(command.c_str(), "r"), &::pclose);
    ASSERT_NE(in, nullptr);
    int physical = 0, virtual_ = 0;
    char buffer[8192];
    while (std::fgets(buffer, sizeof buffer, in.get()) != nullptr) {
        const auto line = nlohmann::json::parse(buffer, nullptr, false);
        ASSERT_TRUE(line.is_object()) << buffer;
        MemorySource source = MachineOf(line);
        const auto local = vmdetect::report::ReadLocal(source);
        const std::string what = line.value("example", "?");
        if (line.value("virtual", false)) {
            ++virtual_;
            EXPECT_NE(local.hypervisor.name, "none") << what;
            continue;
        }
        ++physical;
        std::string mark;
        EXPECT_EQ(local.hypervisor.name + " " + local.container.name + " " + local.confidential.name, "none none none") << what;
        EXPECT_EQ(vmdetect::cloud::NamedBy(local.machine, &mark), nullptr) << what << ": " << mark;
        EXPECT_EQ(vmdetect::report::Find(local.platform, "cloud.provider"), nullptr) << what;
    }
    EXPECT_EQ(physical + virtual_, 3000);
    EXPECT_GT(virtual_, 0);
}

}  // namespace
