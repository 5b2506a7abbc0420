// End to end through the ABI: the library is loaded with dlopen and the five
// exported functions are called by name, as a suite process does. Each test
// is one scenario; ctest runs each in a fresh process, so the firmware cache
// starts empty every time.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "E2E.h"
#include "TestSupport.h"

using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

using e2e::Answers;
using e2e::kSentinel;
using e2e::Machine;

constexpr const char* kAzureRows = "azure-ubuntu2204-list-units-type-service-active-grep-1.txt";

// A firmware guest: the UUID from the firmware, no zone or region fetched
// (the caller's values stay and are logged), the project id emptied.
void ExpectFirmwareGuest(const Answers& a, unsigned int flags, const std::string& uuid) {
    EXPECT_EQ(a.flags, flags);
    EXPECT_EQ(a.uuid, uuid);
    EXPECT_EQ(a.zone, kSentinel);
    EXPECT_EQ(a.region, kSentinel);
    EXPECT_EQ(a.projectId, "");
    EXPECT_TRUE(a.Logged("DEBUG void ZTVMDetect::GetLocalVMUUID(std::string&): Local VM UUID: [" + uuid + "]"));
    EXPECT_TRUE(a.Logged(std::string("Local Hostname: [") + kSentinel + "]"));
    EXPECT_TRUE(a.Logged(std::string("Local Datacenter: [") + kSentinel + "]"));
    EXPECT_FALSE(a.Logged("Local VM Project Id"));
}

void ExpectNothingDetected(const Answers& a, unsigned int flags = 0) {
    EXPECT_EQ(a.flags, flags);
    EXPECT_EQ(a.uuid, kSentinel);
    EXPECT_EQ(a.zone, kSentinel);
    EXPECT_EQ(a.region, kSentinel);
    EXPECT_EQ(a.projectId, kSentinel);
    EXPECT_FALSE(a.Logged("Local VM UUID"));
    EXPECT_FALSE(a.Logged("Local Hostname"));
    EXPECT_FALSE(a.Logged("Hostname is empty"));
    EXPECT_FALSE(a.Logged("Local Datacenter"));
    EXPECT_FALSE(a.Logged("Local VM Project Id"));
}

TEST(Abi, VMware) {
    Machine m;
    m.dmi = "vmware-1.system.txt";
    const Answers a = m.Ask();
    ExpectFirmwareGuest(a, 0x1, "2CBC4D56-C90F-2A1F-BDD6-7E67436B3541");
    EXPECT_TRUE(a.Logged("Local Hypervisor type: [VMware VM]"));
    EXPECT_TRUE(a.Logged("Original BIOS UUID from hardware [564DBC2C-0FC9-1F2A-BDD6-7E67436B3541]"));
}

TEST(Abi, HyperV) {
    Machine m;
    m.dmi = "hyperv-1.system.txt";
    const Answers a = m.Ask();
    ExpectFirmwareGuest(a, 0x2, "543C1287-BA42-4D69-90FF-FD3B05DCDB42");
    EXPECT_TRUE(a.Logged("Failed to check existence of service [Azure Linux Agent]"));
}

TEST(Abi, AzureWithTheAgentListed) {
    Machine m;
    m.dmi = "azure-1-spaces.system.txt";
    m.systemctl = kAzureRows;
    const Answers a = m.Ask();
    ExpectFirmwareGuest(a, 0x20, "af155392-f44a-424d-915a-1516b5a1fe5c");
    EXPECT_TRUE(a.Logged("Service [Azure Linux Agent] is present"));
}

TEST(Abi, Xen) {
    Machine m;
    m.dmi = "xen-hvm-aliyun-quiet-1.txt";
    ExpectFirmwareGuest(m.Ask(), 0x4, "CF2CD85D-645D-4FA4-B8C1-A5EB7D822607");
}

TEST(Abi, KvmFamily) {
    Machine m;
    m.dmi = "rhev-1.system.txt";
    ExpectFirmwareGuest(m.Ask(), 0x8, "469665C0-69F7-436B-BBF3-6632988BEDC8");
}

TEST(Abi, Alibaba) {
    Machine m;
    m.dmi = "alibaba-1.system.txt";
    ExpectFirmwareGuest(m.Ask(), 0x100, "20fb1c97-feb0-4c45-b8b9-bb06feeba0b5");
}

TEST(Abi, BareMetal) {
    Machine m;
    m.dmi = "baremetal-dell-1.system.txt";
    const Answers a = m.Ask();
    ExpectNothingDetected(a);
    EXPECT_TRUE(a.Logged("Manufacturer of VM is [Dell Inc.], HypervisorProp [0]"));
    EXPECT_FALSE(a.Logged("Local Hypervisor type"));
}

TEST(Abi, NoFirmwareTable) {
    Machine m;
    m.dmi = testsupport::DataPath("dmi/error-nosmbios-1.txt");
    ExpectNothingDetected(m.Ask());
}

TEST(Abi, VMwareDockerHostAndXenControlDomain) {
    Machine m;
    m.dmi = "vmware-1.system.txt";
    m.DockerDaemon(4242);
    m.XenControlDomain();
    const Answers a = m.Ask();
    // The identity queries classify without the host roles.
    ExpectFirmwareGuest(a, 0x60001, "2CBC4D56-C90F-2A1F-BDD6-7E67436B3541");
    EXPECT_TRUE(a.Logged("Docker daemon running as pid 4242"));
    EXPECT_TRUE(a.Logged("Local Hypervisor type: [VMware VM, Docker Host, XEN Host]"));
}

TEST(Abi, BareMetalDockerHostOnly) {
    Machine m;
    m.dmi = "baremetal-hp-1.system.txt";
    m.DockerDaemon(7);
    const Answers a = m.Ask();
    ExpectNothingDetected(a, 0x20000);
    EXPECT_TRUE(a.Logged("Local Hypervisor type: [Docker Host]"));
}

TEST(Abi, ProxyUuidOnVMware) {
    Machine m;
    m.dmi = "vmware-1.system.txt";
    m.Config("[VirtualServer]\nsProxyVMUUID=11111111-2222-3333-4444-555555555555\n");
    const Answers a = m.Ask();
    ExpectFirmwareGuest(a, 0x1, "11111111-2222-3333-4444-555555555555");
    EXPECT_TRUE(a.Logged("Override proxy UUID based on regkey to [11111111-2222-3333-4444-555555555555]"));
}

using testsupport::Route;

std::string Metadata(const char* name) { return testsupport::ReadFile(testsupport::DataPath(std::string("metadata/") + name)); }

const std::string kInstanceId = "i-0110fccf792a8e764";
const std::string kOcid = "ocid1.instance.oc1.iad.abuwcljt5e4yeh5jayhverhtnvsxjvlg3imevahj4xoipchptbtvzmir3ciq";

void AnswerEc2(Machine& m) {
    m.metadata.On(Route::Get("/latest/meta-data/instance-id").Body(Metadata("ec2-meta-data-instance-id-1.txt")));
    m.metadata.On(Route::Get("/latest/meta-data/placement/availability-zone")
                      .Body(Metadata("ec2-meta-data-placement-availability-zone-1.txt")));
}

void ExpectEc2(const Answers& a) {
    EXPECT_EQ(a.flags, 0x10u);
    EXPECT_EQ(a.uuid, kInstanceId);
    EXPECT_EQ(a.zone, "eu-central-1b");
    EXPECT_EQ(a.region, "eu-central-1");
    EXPECT_EQ(a.projectId, "");
    EXPECT_TRUE(a.Logged("Local VM UUID: [" + kInstanceId + "]"));
    EXPECT_TRUE(a.Logged("Local Hostname: [eu-central-1b]"));
    EXPECT_TRUE(a.Logged("Local Datacenter: [eu-central-1]"));
}

TEST(Abi, Ec2OnXen) {
    Machine m;
    m.dmi = "ec2-xen-1.system.txt";
    AnswerEc2(m);
    ExpectEc2(m.Ask());
    EXPECT_TRUE(m.metadata.unexpected().empty());
}

TEST(Abi, Ec2OnNitro) {
    Machine m;
    m.dmi = "ec2-nitro-1.system.txt";
    AnswerEc2(m);
    ExpectEc2(m.Ask());
    // One request per answer: uuid, zone, and the zone again for the region.
    EXPECT_EQ(m.metadata.count("GET", "/latest/meta-data/instance-id"), 1u);
    EXPECT_EQ(m.metadata.count("GET", "/latest/meta-data/placement/availability-zone"), 2u);
    EXPECT_TRUE(m.metadata.unexpected().empty());
}

TEST(Abi, Ec2IgnoresTheProxyUuid) {
    Machine m;
    m.dmi = "ec2-nitro-1.system.txt";
    m.Config("[VirtualServer]\nsProxyVMUUID=11111111-2222-3333-4444-555555555555\n");
    AnswerEc2(m);
    ExpectEc2(m.Ask());
}

TEST(Abi, Ec2RequiringSessionTokens) {
    Machine m;
    m.dmi = "ec2-nitro-1.system.txt";
    const std::string token = "AQAEAFake-Token==";
    m.metadata.On(Route::Put("/latest/api/token").Require("X-aws-ec2-metadata-token-ttl-seconds", "21600").Body(token));
    m.metadata.On(Route::Get("/latest/meta-data/instance-id").Require("X-aws-ec2-metadata-token", token).Body(kInstanceId));
    m.metadata.On(Route::Get("/latest/meta-data/placement/availability-zone")
                      .Require("X-aws-ec2-metadata-token", token).Body("eu-central-1b"));
    m.metadata.On(Route::Get("/latest/meta-data/instance-id").Status(401).Body(Metadata("ec2-imdsv2-401-body-1.html")));
    m.metadata.On(Route::Get("/latest/meta-data/placement/availability-zone").Status(401));
    const Answers a = m.Ask();
    ExpectEc2(a);
    for (const std::string& line : a.log) {
        EXPECT_EQ(line.find(token), std::string::npos) << line;
    }
}

TEST(Abi, Ec2RequestsFailing) {
    Machine m;
    m.dmi = "ec2-xen-1.system.txt";
    m.metadata.On(Route::Get("/latest/meta-data/instance-id").Status(500));
    m.metadata.On(Route::Get("/latest/meta-data/placement/availability-zone").Status(500));
    const Answers a = m.Ask();
    EXPECT_EQ(a.flags, 0x10u);
    EXPECT_EQ(a.uuid, kSentinel);
    EXPECT_EQ(a.zone, kSentinel);
    // The region cut works on whatever the failed zone fetch left.
    EXPECT_EQ(a.region, std::string(kSentinel).substr(0, std::string(kSentinel).size() - 1));
    EXPECT_TRUE(a.Logged(std::string("Local VM UUID: [") + kSentinel + "]"));
    EXPECT_TRUE(a.Logged("ERROR void ZTVMDetect::GetLocalVMUUIDFromAmazon(std::string&): Failed to send curl request"));
}

void AnswerGoogle(Machine& m, bool zoneFails) {
    m.metadata.On(Route::Get("/computeMetadata/v1/instance/id").Require("Metadata-Flavor", "Google")
                      .Body(Metadata("gce-instance-id-1.txt")));
    m.metadata.On(Route::Get("/computeMetadata/v1/project/project-id").Require("Metadata-Flavor", "Google")
                      .Body("vmdetect-demo"));
    m.metadata.On(Route::Get("/computeMetadata/v1/instance/zone").Require("Metadata-Flavor", "Google")
                      .Status(zoneFails ? 503 : 200).Body(Metadata("gce-instance-zone-1.txt")));
}

TEST(Abi, GoogleCloud) {
    Machine m;
    m.dmi = "gce-1.system.txt";
    AnswerGoogle(m, false);
    const Answers a = m.Ask();
    EXPECT_EQ(a.flags, 0x40u);
    EXPECT_EQ(a.uuid, "2206944706428651580");
    EXPECT_EQ(a.zone, "europe-west3-c");
    EXPECT_EQ(a.region, "europe-west3");
    EXPECT_EQ(a.projectId, "vmdetect-demo");
    EXPECT_TRUE(a.Logged("Local VM Project Id: [vmdetect-demo]"));
    EXPECT_TRUE(a.Logged("Local Hypervisor type: [GoogleCloud VM]"));
    EXPECT_TRUE(m.metadata.unexpected().empty());
}

TEST(Abi, GoogleZoneFailing) {
    Machine m;
    m.dmi = "gce-1.system.txt";
    AnswerGoogle(m, true);
    const Answers a = m.Ask();
    EXPECT_EQ(a.flags, 0x40u);
    EXPECT_EQ(a.zone, kSentinel);
    EXPECT_EQ(a.region, std::string(kSentinel).substr(0, std::string(kSentinel).size() - 2));
}

void ExpectOracle(const Answers& a) {
    EXPECT_EQ(a.flags, 0x80u);
    EXPECT_EQ(a.uuid, kOcid);
    EXPECT_EQ(a.zone, kSentinel);
    EXPECT_EQ(a.region, kSentinel);
    EXPECT_EQ(a.projectId, "");
    EXPECT_TRUE(a.Logged("Local Hypervisor type: [Oracle Cloud Infrastructure VM]"));
    EXPECT_TRUE(a.Logged("OCI Metadata Response: {"));
}

TEST(Abi, OracleCloud) {
    Machine m;
    m.dmi = "qemu-1.system.txt";
    m.metadata.On(Route::Get("/opc/v1/instance/").Body(Metadata("oci-opc-v1-instance-ashburn-2017.json")));
    ExpectOracle(m.Ask());
    EXPECT_TRUE(m.metadata.unexpected().empty());
}

TEST(Abi, OracleCloudWithV1Disabled) {
    Machine m;
    m.dmi = "qemu-1.system.txt";
    m.metadata.On(Route::Get("/opc/v1/instance/").Status(404));
    m.metadata.On(Route::Get("/opc/v2/instance/").Require("Authorization", "Bearer Oracle")
                      .Body(Metadata("oci-opc-v1-instance-ashburn-2017.json")));
    ExpectOracle(m.Ask());
    EXPECT_TRUE(m.metadata.unexpected().empty());
}

TEST(Abi, PlainQemuWithoutOracleAnswer) {
    Machine m;
    m.dmi = "qemu-1.system.txt";
    m.extraEnv["VMDETECT_OCI_METADATA_ENDPOINT"] =
        "http://127.0.0.1:" + std::to_string(testsupport::ClosedLoopbackPort());
    const Answers a = m.Ask();
    ExpectNothingDetected(a);
    EXPECT_TRUE(a.Logged("ERROR void ZTVMDetect::GetLocalVMUUIDFromOCI(std::string&): Failed to send curl request"));
    EXPECT_TRUE(a.Logged("Manufacturer of VM is [QEMU], HypervisorProp [0]"));
}

// The command shows what the library answers; the CLI passes empty outputs
// where the ABI scenarios pass a sentinel, so compare where both are defined.
TEST(Cli, JsonMatchesTheAbi) {
    struct Case {
        const char* dmi;
        void (*answer)(Machine&);
    };
    const Case cases[] = {
        {"vmware-1.system.txt", nullptr},
        {"ec2-nitro-1.system.txt", &AnswerEc2},
        {"gce-1.system.txt", [](Machine& m) { AnswerGoogle(m, false); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dmi);
        Machine m;
        m.dmi = c.dmi;
        if (c.answer != nullptr) {
            c.answer(m);
        }
        const Answers abi = m.Ask();
        const Answers cli = m.AskCli();
        EXPECT_EQ(cli.flags, abi.flags);
        EXPECT_EQ(cli.uuid, abi.uuid);
        EXPECT_EQ(cli.projectId, abi.projectId);
        if (abi.zone != kSentinel) {
            EXPECT_EQ(cli.zone, abi.zone);
            EXPECT_EQ(cli.region, abi.region);
        } else {
            EXPECT_EQ(cli.zone, "");
            EXPECT_EQ(cli.region, "");
        }
    }
}

}  // namespace
