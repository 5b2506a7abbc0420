// Guest classification over real captures and synthetic records, and the
// service probe that splits Azure from Hyper-V.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "ZTVMDetect.h"
#include "fakes/MetadataServer.h"

using testsupport::FakeTools;
using testsupport::LogCapture;
using testsupport::ScopedEnv;

namespace {

constexpr const char* kAzureRows = "azure-ubuntu2204-list-units-type-service-active-grep-1.txt";
constexpr const char* kMisspeltRows = "debian8-walinuxagent-status-microsft-typo-issue767.txt";

size_t CountCalls(const FakeTools& fakes, const std::string& prefix) {
    const std::vector<std::string> calls = fakes.Calls();
    return static_cast<size_t>(std::count_if(calls.begin(), calls.end(), [&](const std::string& c) {
        return c.compare(0, prefix.size(), prefix) == 0;
    }));
}

TEST(Classification, EveryCaptureGetsTheBitOfItsRule) {
    struct Case {
        const char* capture;
        const char* systemctlRows;  // nullptr: no unit listed
        unsigned int flags;
    };
    const Case cases[] = {
        {"alibaba-1.system.txt", nullptr, HV_ALIBABA_VM},
        {"azure-1-spaces.system.txt", kAzureRows, HV_AZURE_VM},
        {"azure-1-spaces.system.txt", nullptr, HV_HYPERV_VM},
        {"baremetal-dell-1.system.txt", nullptr, 0},
        {"baremetal-hp-1.system.txt", nullptr, 0},
        {"baremetal-lenovo-1.system.txt", nullptr, 0},
        {"baremetal-oracle-1.system.txt", nullptr, 0},
        {"bhyve-1.system.txt", nullptr, 0},
        {"ec2-metal-1.system.txt", nullptr, HV_AMAZON_VM},
        {"ec2-nitro-1.system.txt", nullptr, HV_AMAZON_VM},
        {"ec2-xen-1.system.txt", nullptr, HV_AMAZON_VM},
        {"ec2-xen-3-masked.system-only.txt", nullptr, HV_AMAZON_VM},
        {"gce-1.system.txt", nullptr, HV_GOOGLECLOUD_VM},
        {"hyperv-1.system.txt", nullptr, HV_HYPERV_VM},
        {"hyperv-1.system.txt", kAzureRows, HV_AZURE_VM},
        {"kvm-redhat-masked-2.system.txt", nullptr, HV_KVM_VM},
        {"nutanix-1.system.txt", nullptr, HV_KVM_VM},
        {"odd-blank-fields-1.system.txt", nullptr, 0},
        {"odd-system76-uuid-not-settable-issue432-spaces.system-only.txt", nullptr, 0},
        {"openstack-1.system.txt", nullptr, 0},
        {"parallels-1.system.txt", nullptr, 0},
        // QEMU without an Oracle answer: no bit (the endpoint is a closed port).
        {"qemu-1.system.txt", nullptr, 0},
        {"qemu-bochs-1.system.txt", nullptr, 0},
        {"rhev-1.system.txt", nullptr, HV_KVM_VM},
        {"upcloud-1.system.txt", nullptr, 0},
        {"virtualbox-1.system.txt", nullptr, 0},
        {"vmware-1.system.txt", nullptr, HV_VMWARE_VM},
        {"vmware-2.system.txt", nullptr, HV_VMWARE_VM},
        {"xen-hvm-redhat-1.system.txt", nullptr, HV_KVM_VM},
        // Captures as published: other indentation, cut short, quiet mode.
        {"ovirt-1-reindented-head.txt", nullptr, HV_KVM_VM},
        {"vmware-6-netbox-issue99-4spaces.txt", nullptr, HV_VMWARE_VM},
        {"vmware-7-t1-issue22-spaces-truncated.txt", nullptr, HV_VMWARE_VM},
        {"xen-hvm-aliyun-quiet-1.txt", nullptr, HV_XEN_VM},
        {"odd-dell-fake-uuid-t1-pvemods45-spaces.txt", nullptr, 0},
        {"error-devmem-eperm-1.txt", nullptr, 0},
        {"error-nosmbios-1.txt", nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.capture);
        FakeTools fakes;
        fakes.UseDmi(c.capture);
        if (c.systemctlRows != nullptr) {
            fakes.UseSystemctl(c.systemctlRows);
        }
        ZTVMDetect detector;
        unsigned int flags = 0;
        EXPECT_TRUE(detector.DetectHypervisor_VM(flags));
        EXPECT_EQ(flags, c.flags);
        // The service probe runs only for Microsoft firmware.
        const bool microsoft = std::string(c.capture).find("azure") == 0 ||
                               std::string(c.capture).find("hyperv") == 0;
        EXPECT_EQ(CountCalls(fakes, "systemctl"), microsoft ? 1u : 0u);
    }
}

std::string Record(const std::string& manufacturer, const std::string& version) {
    return "System Information\n\tManufacturer: " + manufacturer +
           "\n\tSerial Number: S-1\n\tUUID: 0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5D\n\tVersion: " +
           version + "\n";
}

TEST(Classification, RuleOrderAndItsExceptions) {
    struct Case {
        const char* manufacturer;
        const char* version;
        unsigned int flags;
    };
    const Case cases[] = {
        {"VMware Google", "1", HV_VMWARE_VM},
        {"Google VMware", "1", HV_VMWARE_VM},
        {"Microsoft Corporation VMware", "1", HV_VMWARE_VM},
        {"MicrosoftCorporation", "1", HV_HYPERV_VM},
        {"Xen", "4.2.amazon", HV_AMAZON_VM},
        {"xen", "4.2.amazon", HV_AMAZON_VM},
        {"Xen", "4.11", HV_XEN_VM},
        {"Xen", "4.2.Amazon", HV_XEN_VM},
        {"Amazon EC2", "anything", HV_AMAZON_VM},
        {"Xen Amazon EC2", "4.11", HV_AMAZON_VM},
        // Lower-case xen without amazon is no Xen guest; later rules decide.
        {"xen", "4.11", 0},
        {"xen Google", "4.11", HV_GOOGLECLOUD_VM},
        {"Xen Red Hat", "1", HV_XEN_VM},
        {"RedHat", "1", HV_KVM_VM},
        {"Mission Critical Cloud", "1", HV_KVM_VM},
        {"oVirt", "1", HV_KVM_VM},
        {"Nutanix", "1", HV_KVM_VM},
        {"Red Hat Google", "1", HV_KVM_VM},
        // QEMU decides even without an Oracle answer: Alibaba is never reached.
        {"QEMU Alibaba", "1", 0},
        {"Alibaba QEMU", "1", 0},
        {"Alibaba Cloud", "1", HV_ALIBABA_VM},
        {"vmware", "1", 0},
        {"google", "1", 0},
        {"qemu", "1", 0},
        {"alibaba", "1", 0},
        {"microsoft corporation", "1", 0},
        {"red hat", "1", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.manufacturer);
        FakeTools fakes;
        testsupport::WriteFile(fakes.dir().file("record"), Record(c.manufacturer, c.version));
        fakes.UseDmi(fakes.dir().file("record"));
        ZTVMDetect detector;
        unsigned int flags = 0;
        EXPECT_TRUE(detector.DetectHypervisor_VM(flags));
        EXPECT_EQ(flags, c.flags);
    }
}

TEST(Classification, WordIsOnlyOredIntoAndLogged) {
    FakeTools fakes;
    fakes.UseDmi("vmware-1.system.txt");
    ZTVMDetect detector;
    LogCapture log(4);
    unsigned int flags = HV_DOCKER_HOST;
    EXPECT_TRUE(detector.DetectHypervisor_VM(flags));
    EXPECT_EQ(flags, 0x20001u);
    EXPECT_TRUE(log.contains("DEBUG4 bool ZTVMDetect::DetectHypervisor_VM(unsigned int&): "
                             "Manufacturer of VM is [VMware, Inc.], HypervisorProp [131073]"));
    // The whole word as a signed decimal.
    flags = 0x80000000u;
    EXPECT_TRUE(detector.DetectHypervisor_VM(flags));
    EXPECT_TRUE(log.contains("HypervisorProp [-2147483647]"));
}

TEST(Classification, UnreadableFirmwareLeavesTheWord) {
    FakeTools fakes;
    fakes.UseDmi("vmware-1.system.txt");
    fakes.FailDmiKey("'Manufacturer'");
    ZTVMDetect detector;
    LogCapture log(4);
    unsigned int flags = HV_XEN_HOST;
    EXPECT_FALSE(detector.DetectHypervisor_VM(flags));
    EXPECT_EQ(flags, static_cast<unsigned int>(HV_XEN_HOST));
    EXPECT_TRUE(log.contains("DEBUG bool ZTVMDetect::DetectHypervisor_VM(unsigned int&): Failed to get BiosInfo"));
    EXPECT_FALSE(log.contains("Manufacturer of VM is"));
}

TEST(Classification, ProbeAnswersAreReusedOnlyWhenConfigured) {
    // Three DetectHypervisor calls: how many service probes, Oracle requests
    // and firmware lines they cost under each setting.
    struct Case {
        const char* name;
        const char* setting;  // the [VirtualServer] line; nullptr: no file
        std::string record;   // a capture name, or a record's text
        const char* rows;
        int pauseMs;          // between the calls
        size_t services, oracle, dmiLines;
        unsigned int flags;
    };
    const std::string noSerial =
        "\tManufacturer: Microsoft Corporation\n\tUUID: 11111111-2222-3333-4444-555555555555\n";
    const Case cases[] = {
        {"absent, Hyper-V", nullptr, "hyperv-1.system.txt", nullptr, 0, 3, 0, 5, HV_HYPERV_VM},
        {"zero, Hyper-V", "nProbeCacheSeconds=0", "hyperv-1.system.txt", nullptr, 0, 3, 0, 5, HV_HYPERV_VM},
        {"not a number", "nProbeCacheSeconds=soon", "hyperv-1.system.txt", nullptr, 0, 3, 0, 5, HV_HYPERV_VM},
        {"300, Hyper-V", "nProbeCacheSeconds=300", "hyperv-1.system.txt", nullptr, 0, 1, 0, 5, HV_HYPERV_VM},
        {"300, Azure", "nProbeCacheSeconds=300", "azure-1-spaces.system.txt", kAzureRows, 0, 1, 0, 5, HV_AZURE_VM},
        {"absent, QEMU", nullptr, "qemu-1.system.txt", nullptr, 0, 0, 3, 5, HV_OCI_VM},
        {"300, QEMU", "nProbeCacheSeconds=300", "qemu-1.system.txt", nullptr, 0, 0, 1, 5, HV_OCI_VM},
        {"1, expired between calls", "nProbeCacheSeconds=1", "qemu-1.system.txt", nullptr, 1100, 0, 3, 5, HV_OCI_VM},
        {"absent, incomplete record", nullptr, noSerial, nullptr, 0, 3, 0, 15, HV_HYPERV_VM},
        {"300, incomplete record", "nProbeCacheSeconds=300", noSerial, nullptr, 0, 1, 0, 5, HV_HYPERV_VM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeTools fakes;
        if (c.record.find('\n') != std::string::npos) {
            testsupport::WriteFile(fakes.dir().file("record"), c.record);
            fakes.UseDmi(fakes.dir().file("record"));
        } else {
            fakes.UseDmi(c.record);
        }
        if (c.rows != nullptr) {
            fakes.UseSystemctl(c.rows);
        }
        const std::string config = fakes.dir().file("vmdetect.conf");
        if (c.setting != nullptr) {
            testsupport::WriteFile(config, std::string("[VirtualServer]\n") + c.setting + "\n");
        }
        testsupport::MetadataServer server;
        server.On(testsupport::Route::Get("/opc/v1/instance/").Body(R"({"id":"ocid1.instance.x"})"));
        ScopedEnv configEnv("VMDETECT_CONFIG", config.c_str());
        ScopedEnv oci("VMDETECT_OCI_METADATA_ENDPOINT", server.url().c_str());
        for (int call = 0; call < 3; ++call) {
            std::this_thread::sleep_for(std::chrono::milliseconds(call == 0 ? 0 : c.pauseMs));
            ZTVMDetect detector;
            EXPECT_EQ(detector.DetectHypervisor(), c.flags) << "call " << call;
        }
        EXPECT_EQ(CountCalls(fakes, "systemctl"), c.services);
        EXPECT_EQ(server.count("GET", "/opc/v1/instance/"), c.oracle);
        EXPECT_EQ(CountCalls(fakes, "/bin/sh -c dmidecode"), c.dmiLines);
    }
}

TEST(Classification, ReusedAnswersAreSharedAcrossThreads) {
    FakeTools fakes;
    testsupport::WriteFile(fakes.dir().file("record"),
                           "\tManufacturer: Microsoft Corporation\n\tUUID: 11111111-2222-3333-4444-555555555555\n");
    fakes.UseDmi(fakes.dir().file("record"));
    testsupport::WriteFile(fakes.dir().file("vmdetect.conf"), "[VirtualServer]\nnProbeCacheSeconds=300\n");
    ScopedEnv config("VMDETECT_CONFIG", fakes.dir().file("vmdetect.conf").c_str());
    constexpr int kThreads = 8;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int call = 0; call < 4; ++call) {
                wrong += ::DetectHypervisor() == HV_HYPERV_VM ? 0 : 1;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    // The incomplete read is kept under the fill lock: one read in all. The
    // first service probes may race, later calls reuse the answer.
    EXPECT_EQ(CountCalls(fakes, "/bin/sh -c dmidecode"), 5u);
    EXPECT_LE(CountCalls(fakes, "systemctl"), static_cast<size_t>(kThreads));
}

TEST(AzureProbe, SplitsOnTheAgentUnit) {
    struct Case {
        const char* name;
        const char* rows;
        int failStatus;
        bool azure;
        const char* logged;
    };
    const Case cases[] = {
        {"agent listed", kAzureRows, 0, true, "DEBUG1 bool ZTVMDetect::_DoesUnixServiceExist(const string&, bool&): Service [Azure Linux Agent] is present"},
        // grep finds no row: its status fails the probe.
        {"no units", nullptr, 0, false, "Failed to check existence of service [Azure Linux Agent] . Rc [1]. Out : [], Err: []"},
        // "Microsft Azure Linux Agent" still holds the name.
        {"misspelt Debian description", kMisspeltRows, 0, true, "Service [Azure Linux Agent] is present"},
        // systemctl failing alone does not fail the pipeline; grep decides.
        {"systemctl failing", nullptr, 3, false, "Rc [1]. Out : [], Err: [Failed to connect to bus: No such file or directory\\n]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeTools fakes;
        if (c.rows != nullptr) {
            fakes.UseSystemctl(c.rows);
        }
        if (c.failStatus != 0) {
            fakes.FailSystemctl(c.failStatus);
        }
        ZTVMDetect detector;
        LogCapture log(4);
        EXPECT_EQ(detector._IsAzureVM(), c.azure);
        EXPECT_TRUE(log.contains(c.logged));
        const std::vector<std::string> lines = log.lines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_NE(lines[0].find("DEBUG4 bool ZTVMDetect::_IsAzureVM(): Checking if the VM is running inside Azure..."), std::string::npos);
        EXPECT_NE(lines[1].find("DEBUG4 bool ZTVMDetect::_DoesUnixServiceExist(const string&, bool&): Checking for Service [Azure Linux Agent]"), std::string::npos);
        EXPECT_EQ(fakes.Calls(), std::vector<std::string>{"systemctl"});
    }
}

TEST(AzureProbe, ExistsIsOnlyEverSetToTrue) {
    FakeTools fakes;
    ZTVMDetect detector;
    bool exists = true;
    EXPECT_FALSE(detector._DoesUnixServiceExist("Azure Linux Agent", exists));
    EXPECT_TRUE(exists);
    // grep matches, but not the exact text: the probe ran, exists untouched.
    testsupport::WriteFile(fakes.dir().file("rows"), "azure linux agent\nAzure Linux Agent2\n");
    fakes.UseSystemctl(fakes.dir().file("rows"));
    exists = false;
    EXPECT_TRUE(detector._DoesUnixServiceExist("Azure Linux Agent", exists));
    EXPECT_TRUE(exists);
    exists = false;
    EXPECT_TRUE(detector._DoesUnixServiceExist("linux agent", exists));
    EXPECT_TRUE(exists);
    exists = false;
    EXPECT_FALSE(detector._DoesUnixServiceExist("LINUX AGENT", exists));
    EXPECT_FALSE(exists);
    bool untouched = false;
    EXPECT_TRUE(detector._DoesWindowsServiceExist("Azure Linux Agent", untouched));
    EXPECT_FALSE(untouched);
}

TEST(AzureProbe, OddListingsTurnIntoNotFound) {
    FakeTools fakes;
    std::string big(4 * 1024 * 1024, 'x');
    struct Case {
        const char* name;
        std::string rows;
        bool azure;
    };
    const Case cases[] = {
        {"empty", "", false},
        {"megabytes then the agent", big + "\n  waagent.service loaded active running Azure Linux Agent\n", true},
        {"binary", std::string("\x01\x02\0\xff Azure Linux Agent\n", 22), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::WriteFile(fakes.dir().file("rows"), c.rows);
        fakes.UseSystemctl(fakes.dir().file("rows"));
        ZTVMDetect detector;
        EXPECT_EQ(detector._IsAzureVM(), c.azure);
    }
}

}  // namespace
