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

namespace e2e {

Library::Library() {
    m_handle = ::dlopen(VMDETECT_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        return;
    }
    detectHypervisor = reinterpret_cast<unsigned int (*)()>(::dlsym(m_handle, "DetectHypervisor"));
    getUUID = reinterpret_cast<StringFunction>(::dlsym(m_handle, "GetLocalVMUUID"));
    getHostName = reinterpret_cast<StringFunction>(::dlsym(m_handle, "GetLocalVMHostName"));
    getDataCenter = reinterpret_cast<StringFunction>(::dlsym(m_handle, "GetLocalVMDataCenterName"));
    getProjectId = reinterpret_cast<StringFunction>(::dlsym(m_handle, "GetLocalProjectId"));
}

Library::~Library() {
    if (m_handle != nullptr) {
        ::dlclose(m_handle);
    }
}

bool Library::ok() const {
    return m_handle != nullptr && detectHypervisor && getUUID && getHostName && getDataCenter &&
           getProjectId;
}

Machine::Machine() {
    ::mkdir(m_dir.file("proc").c_str(), 0755);
    const char* path = ::getenv("PATH");
    m_path = std::string(VMDETECT_TEST_FAKES) + ":" + (path != nullptr ? path : "/usr/bin:/bin");
}

void Machine::DockerDaemon(int pid) {
    const std::string dir = m_dir.file("proc/" + std::to_string(pid));
    ::mkdir(dir.c_str(), 0755);
    testsupport::WriteFile(dir + "/cmdline", std::string("/usr/bin/docker\0daemon\0", 23));
}

void Machine::XenControlDomain() {
    ::mkdir(m_dir.file("proc/xen").c_str(), 0755);
    testsupport::WriteFile(m_dir.file("proc/xen/capabilities"), "control_d\n");
}

void Machine::Config(const std::string& text) {
    testsupport::WriteFile(m_dir.file("vmdetect.conf"), text);
}

std::vector<std::unique_ptr<ScopedEnv>> Machine::Environment() {
    std::vector<std::unique_ptr<ScopedEnv>> env;
    auto set = [&env](const char* name, const std::string& value) {
        env.push_back(std::make_unique<ScopedEnv>(name, value.c_str()));
    };
    set("PATH", m_path);
    set("HOST_PROC", m_dir.file("proc"));
    set("VMDETECT_CONFIG", m_dir.file("vmdetect.conf"));
    set("VMDETECT_LOG", m_dir.file("log"));
    set("VMDETECT_LOG_LEVEL", "4");
    if (!dmi.empty()) {
        set("VMDETECT_FAKE_DMI", dmi[0] == '/' ? dmi : testsupport::DataPath("dmi/" + dmi));
    }
    if (!systemctl.empty()) {
        set("VMDETECT_FAKE_SYSTEMCTL", testsupport::DataPath("systemctl/" + systemctl));
    }
    set("AWS_EC2_METADATA_SERVICE_ENDPOINT", metadata.url());
    set("VMDETECT_OCI_METADATA_ENDPOINT", metadata.url());
    set("GCE_METADATA_HOST", metadata.hostPort());
    set("VMDETECT_AZURE_METADATA_ENDPOINT", metadata.url());
    set("VMDETECT_ALIBABA_METADATA_ENDPOINT", metadata.url());
    for (const auto& pair : extraEnv) {
        set(pair.first.c_str(), pair.second);
    }
    return env;
}

Answers Machine::AskCli() {
    const auto env = Environment();
    Answers answers;
    const std::string command = std::string(VMDETECT_CLI_PATH) + " --json";
    FILE* pipe = ::popen(command.c_str(), "r");
    EXPECT_NE(pipe, nullptr);
    if (pipe == nullptr) {
        return answers;
    }
    std::string text;
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        text.append(buffer, got);
    }
    EXPECT_EQ(::pclose(pipe), 0);
    const nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
    EXPECT_TRUE(json.is_object()) << text;
    if (!json.is_object()) {
        return answers;
    }
    answers.flags = json.value("flags", 0u);
    answers.uuid = json.value("uuid", "");
    answers.zone = json.value("zone", "");
    answers.region = json.value("region", "");
    answers.projectId = json.value("project_id", "");
    return answers;
}

Answers Machine::Ask() {
    const auto env = Environment();
    Answers answers;
    Library library;
    EXPECT_TRUE(library.ok()) << ::dlerror();
    if (!library.ok()) {
        return answers;
    }
    answers.uuid = answers.zone = answers.region = answers.projectId = kSentinel;
    answers.flags = library.detectHypervisor();
    library.getUUID(answers.uuid);
    library.getHostName(answers.zone);
    library.getDataCenter(answers.region);
    library.getProjectId(answers.projectId);
    std::istringstream log(testsupport::ReadFile(m_dir.file("log")));
    for (std::string line; std::getline(log, line);) {
        answers.log.push_back(line);
    }
    return answers;
}

bool Answers::Logged(const std::string& needle) const {
    for (const std::string& line : log) {
        if (line.find(needle) != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace e2e

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
