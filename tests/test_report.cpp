// The platform report: firmware trees from the captures, container markers
// in temporary roots, bad files, the C call's buffer contract, and agreement
// with systemd-detect-virt where it is installed.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <vmdetect.h>

#include "Report.h"
#include "TestSupport.h"
#include "VirtRules.h"
#include "adapters/Cpuid.h"

namespace {

using testsupport::DataPath;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;
using vmdetect::adapters::CpuidInfo;

// The processor the next evidence read sees ("" for no hypervisor bit).
std::string g_signature;
std::optional<CpuidInfo> FakeCpu() {
    CpuidInfo info;
    info.hypervisor = !g_signature.empty();
    info.signature = g_signature;
    info.signature.resize(12, '\0');
    return info;
}

class FakeCpuScope {
public:
    explicit FakeCpuScope(const std::string& signature) {
        g_signature = signature;
        vmdetect::adapters::SetCpuidSourceForTesting(&FakeCpu);
    }
    ~FakeCpuScope() { vmdetect::adapters::SetCpuidSourceForTesting(nullptr); }
};

void MakeDirs(const std::string& path) {
    for (std::size_t at = 1; (at = path.find('/', at)) != std::string::npos; ++at) {
        ::mkdir(path.substr(0, at).c_str(), 0755);
    }
    ::mkdir(path.c_str(), 0755);
}

void Put(const std::string& root, const std::string& relative, const std::string& content,
         mode_t mode = 0644) {
    const std::string path = root + "/" + relative;
    MakeDirs(path.substr(0, path.rfind('/')));
    WriteFile(path, content);
    ::chmod(path.c_str(), mode);
}

// The sysfs files a kernel derives from DMI types 0 to 3 of a dmidecode
// capture, written under <sys>/class/dmi/id; serial and UUID root-only.
void WriteDmiTree(const std::string& capture, const std::string& sys) {
    static const std::map<std::string, std::string> kFiles = {
        {"0:Vendor", "bios_vendor"},         {"0:Version", "bios_version"},
        {"1:Manufacturer", "sys_vendor"},    {"1:Product Name", "product_name"},
        {"1:Version", "product_version"},    {"1:Serial Number", "product_serial"},
        {"1:UUID", "product_uuid"},          {"1:Family", "product_family"},
        {"2:Manufacturer", "board_vendor"},  {"2:Product Name", "board_name"},
        {"2:Asset Tag", "board_asset_tag"},  {"3:Manufacturer", "chassis_vendor"},
        {"3:Asset Tag", "chassis_asset_tag"},
    };
    std::istringstream in(ReadFile(DataPath("dmi/" + capture)));
    std::map<int, bool> seen;
    int type = -1;
    for (std::string line; std::getline(in, line);) {
        const std::size_t typeAt = line.find("DMI type ");
        if (line.rfind("Handle ", 0) == 0 && typeAt != std::string::npos) {
            const int t = std::atoi(line.c_str() + typeAt + 9);
            type = seen[t] ? -1 : t;
            seen[t] = true;
            continue;
        }
        const std::size_t colon = line.find(": ");
        if (type < 0 || colon == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(line.find_first_not_of(" \t"), colon - line.find_first_not_of(" \t"));
        std::string value = line.substr(colon + 2);
        value.erase(value.find_last_not_of(" \t") + 1);
        const auto file = kFiles.find(std::to_string(type) + ":" + key);
        if (file == kFiles.end()) {
            continue;
        }
        if (file->second == "product_uuid") {
            for (char& c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        const bool secret = file->second == "product_serial" || file->second == "product_uuid";
        Put(sys, "class/dmi/id/" + file->second, value + "\n", secret ? 0400 : 0444);
    }
}

struct Machine {
    TempDir proc, sys, host;
    vmdetect::evidence::Roots roots() const { return {proc.path(), sys.path(), host.path()}; }
};

TEST(Report, FirmwareTreeAndProcessorNameTheHypervisor) {
    const struct {
        const char* capture;
        const char* cpu;
        const char* hypervisor;
        const char* source;
    } cases[] = {
        {"virtualbox-1.txt", "KVMKVMKVM", "oracle", "dmi"},
        {"baremetal-oracle-1.txt", "", "none", ""},  // Oracle's own hardware
        {"ec2-nitro-1.txt", "KVMKVMKVM", "amazon", "dmi"},
        {"ec2-metal-1.txt", "", "none", ""},
        {"ec2-xen-1.txt", "XenVMMXenVMM", "xen", "dmi"},
        {"gce-1.txt", "KVMKVMKVM", "google", "dmi"},
        {"parallels-1.txt", "KVMKVMKVM", "parallels", "dmi"},
        {"kvm-redhat-masked-2.txt", "KVMKVMKVM", "kvm", "cpuid"},
        {"kvm-redhat-masked-2.txt", "", "kvm", "dmi"},
        {"openstack-1.txt", "", "kvm", "dmi"},
        {"qemu-1.txt", "TCGTCGTCGTCG", "qemu", "cpuid"},
        {"qemu-1.txt", "KVMKVMKVM", "kvm", "cpuid"},
        {"qemu-bochs-1.txt", "", "bochs", "dmi"},
        {"vmware-1.txt", "", "vmware", "dmi"},
        {"bhyve-1.txt", "bhyve bhyve ", "bhyve", "cpuid"},
        {"bhyve-1.txt", "", "bhyve", "dmi"},
        {"hyperv-1.txt", "Microsoft Hv", "microsoft", "cpuid"},
        {"hyperv-1.txt", "", "none", ""},
        {"azure-1-spaces.txt", "", "microsoft", "dmi"},
        {"alibaba-1.txt", "KVMKVMKVM", "kvm", "cpuid"},
        {"nutanix-1.txt", "Linux KVM Hv", "kvm", "cpuid"},
        {"xen-hvm-redhat-1.txt", "XenVMMXenVMM", "xen", "dmi"},
        {"baremetal-dell-1.txt", "", "none", ""},
        {"baremetal-dell-1.txt", "NotKnownHV!!", "vm-other", "cpuid"},
        {"", "Apple VZ", "apple", "cpuid"},
    };
    for (const auto& c : cases) {
        Machine m;
        if (*c.capture != '\0') {
            WriteDmiTree(c.capture, m.sys.path());
        }
        const FakeCpuScope cpu(c.cpu);
        const auto local = vmdetect::report::ReadLocal(m.roots());
        EXPECT_EQ(local.hypervisor.name, c.hypervisor) << c.capture << " / " << c.cpu;
        EXPECT_EQ(local.hypervisor.source, c.source) << c.capture << " / " << c.cpu;
        EXPECT_EQ(local.container.name, "none") << c.capture;
    }
}

TEST(Report, EvidenceBeyondFirmwareNamesTheHypervisor) {
    using vmdetect::virt::VmEvidence;
    const auto with = [](auto change) {
        VmEvidence e;
        change(e);
        return e;
    };
    std::string vmBit(20, '\0');
    vmBit[1] = 20;
    vmBit[19] = 0x10;
    const struct {
        const char* what;
        VmEvidence evidence;
        const char* hypervisor;
    } cases[] = {
        {"Xen guest", with([](VmEvidence& e) { e.procXen = true; }), "xen"},
        {"Xen control domain on bare metal",
         with([](VmEvidence& e) { e.procXen = true; e.xenCapabilities = "control_d\n"; }), "none"},
        {"Xen control domain by features",
         with([](VmEvidence& e) { e.procXen = true; e.xenFeatures = "00000801\n"; }), "none"},
        {"Xen control domain nested in KVM",
         with([](VmEvidence& e) {
             e.procXen = true; e.xenCapabilities = "foo,control_d";
             e.cpuidHypervisor = true; e.cpuidSignature = std::string("KVMKVMKVM\0\0\0", 12);
         }), "kvm"},
        {"User-Mode Linux under VMware DMI",
         with([](VmEvidence& e) {
             e.cpuinfo = "processor\t: 0\nvendor_id\t: User Mode Linux\n";
             e.dmi["sys_vendor"] = "VMware, Inc.";
         }), "uml"},
        {"sysfs hypervisor type", with([](VmEvidence& e) { e.hypervisorType = "xen\n"; }), "xen"},
        {"unknown sysfs hypervisor type", with([](VmEvidence& e) { e.hypervisorType = "acme\n"; }), "vm-other"},
        {"SMBIOS VM bit alone", with([&vmBit](VmEvidence& e) { e.smbiosBiosEntry = vmBit; }), "vm-other"},
        {"EC2 metal product with the VM bit",
         with([&vmBit](VmEvidence& e) {
             e.dmi["sys_vendor"] = "Amazon EC2"; e.dmi["product_name"] = "m5.metal";
             e.smbiosBiosEntry = vmBit;
         }), "amazon"},
        {"EC2 without a product name", with([](VmEvidence& e) { e.dmi["sys_vendor"] = "Amazon EC2"; }), "amazon"},
        {"device tree KVM", with([](VmEvidence& e) { e.deviceTreeCompatible = std::string("linux,kvm\0", 10); }), "kvm"},
        {"device tree Xen", with([](VmEvidence& e) { e.deviceTreeCompatible = "xen,xen-4.16"; }), "xen"},
        {"device tree fw-cfg", with([](VmEvidence& e) { e.deviceTreeFwCfg = true; }), "qemu"},
        {"PowerVM", with([](VmEvidence& e) { e.deviceTreePowerVm = true; }), "powervm"},
        {"z/VM", with([](VmEvidence& e) { e.sysinfo = "LPAR Name: X\nVM00 Control Program: z/VM    7.2.0\n"; }), "zvm"},
        {"KVM on s390", with([](VmEvidence& e) { e.sysinfo = "VM00 Control Program: KVM/Linux\n"; }), "kvm"},
        {"first line only", with([](VmEvidence& e) { e.dmi["product_name"] = "\nKVM"; }), "none"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(vmdetect::virt::DecideHypervisor(c.evidence).name, c.hypervisor) << c.what;
    }
}

TEST(Report, ContainerMarkersNameTheManager) {
    const struct {
        const char* what;
        std::vector<std::pair<std::string, std::string>> files;  // "root|proc|sys:path", content
        const char* container;
    } cases[] = {
        {"nothing", {}, "none"},
        {"docker", {{"root:.dockerenv", ""}}, "docker"},
        {"podman before docker", {{"root:run/.containerenv", ""}, {"root:.dockerenv", ""}}, "podman"},
        {"systemd's word before files", {{"root:run/systemd/container", "systemd-nspawn\n"}, {"root:.dockerenv", ""}}, "systemd-nspawn"},
        {"lxc", {{"root:run/systemd/container", "lxc\n"}}, "lxc"},
        {"unknown manager", {{"root:run/systemd/container", "acme\n"}}, "container-other"},
        {"oci with a file", {{"root:run/systemd/container", "oci\n"}, {"root:.dockerenv", ""}}, "docker"},
        {"oci alone", {{"root:run/systemd/container", "oci\n"}}, "none"},
        {"empty marker", {{"root:run/systemd/container", ""}, {"root:.dockerenv", ""}}, "docker"},
        {"container-manager first", {{"root:run/host/container-manager", "podman\n"}, {"root:run/systemd/container", "lxc\n"}}, "podman"},
        {"init environment", {{"proc:1/environ", std::string("PATH=/bin\0container=lxc-libvirt\0", 32)}}, "lxc-libvirt"},
        {"environment without the name", {{"proc:1/environ", std::string("PATH=/bin\0", 10)}, {"root:.dockerenv", ""}}, "docker"},
        {"openvz inside", {{"proc:vz/x", ""}}, "openvz"},
        {"openvz host", {{"proc:vz/x", ""}, {"proc:bc/x", ""}}, "none"},
        {"wsl", {{"proc:sys/kernel/osrelease", "5.15.90.1-microsoft-standard-WSL2\n"}}, "wsl"},
        {"cgroup namespace (v1)", {{"proc:self/ns/cgroup", ""}, {"sys:fs/cgroup/systemd/tasks", ""}}, "container-other"},
        {"root cgroup (v1)", {{"proc:self/ns/cgroup", ""}, {"sys:fs/cgroup/systemd/release_agent", ""}}, "none"},
    };
    for (const auto& c : cases) {
        Machine m;
        for (const auto& f : c.files) {
            const std::string where = f.first.substr(0, f.first.find(':'));
            const std::string& root = where == "root" ? m.host.path() : where == "proc" ? m.proc.path() : m.sys.path();
            Put(root, f.first.substr(f.first.find(':') + 1), f.second);
        }
        const FakeCpuScope cpu("");
        EXPECT_EQ(vmdetect::report::ReadLocal(m.roots()).container.name, c.container) << c.what;
    }
    // Roots that cannot be read at all.
    const vmdetect::evidence::Roots missing{"/nonexistent/proc", "/nonexistent/sys", "/nonexistent"};
    const auto local = vmdetect::report::ReadLocal(missing);
    EXPECT_EQ(local.container.name, "none");
    EXPECT_TRUE(local.dmi.empty());
}

// The JSON of a machine whose sys_vendor file holds `content`.
nlohmann::json VendorReport(const std::function<void(const std::string&)>& make) {
    Machine m;
    make(m.sys.path() + "/class/dmi/id/sys_vendor");
    const FakeCpuScope cpu("");
    const std::string json = vmdetect::report::Serialize(vmdetect::report::ReadLocal(m.roots()), {});
    return nlohmann::json::parse(json, nullptr, false);
}

TEST(Report, BadFirmwareFilesKeepTheReportValid) {
    const auto file = [](const std::string& content) {
        return [content](const std::string& path) { Put(path.substr(0, path.rfind('/')), "sys_vendor", content); };
    };
    const struct {
        const char* what;
        std::function<void(const std::string&)> make;
        std::optional<std::string> vendor;  // nullopt: the key is absent
    } cases[] = {
        {"plain", file("Acme Inc.\n"), "Acme Inc."},
        {"NUL inside", file(std::string("QE\0MU\n", 6)), std::string("QE\0MU", 5)},
        {"control bytes", file("\x1b[31mred\x7f\n"), "\x1b[31mred\x7f"},
        {"invalid UTF-8", file("Acme \xff\xc3(\n"), "Acme \xef\xbf\xbd\xef\xbf\xbd("},
        {"only a newline", file("\n"), std::nullopt},
        {"huge", file(std::string(1 << 20, 'A')), std::string(4096, 'A')},
        {"directory", [](const std::string& p) { MakeDirs(p); }, std::nullopt},
        {"FIFO", [](const std::string& p) { MakeDirs(p.substr(0, p.rfind('/'))); ::mkfifo(p.c_str(), 0644); }, std::nullopt},
        {"dangling link", [](const std::string& p) { MakeDirs(p.substr(0, p.rfind('/'))); (void)::symlink("/nonexistent", p.c_str()); }, std::nullopt},
    };
    for (const auto& c : cases) {
        const nlohmann::json report = VendorReport(c.make);
        ASSERT_TRUE(report.is_object()) << c.what;
        EXPECT_EQ(report.value("hypervisor", ""), "none") << c.what;
        EXPECT_EQ(report.contains("firmware.vendor"), c.vendor.has_value()) << c.what;
        if (c.vendor) {
            EXPECT_EQ(report.value("firmware.vendor", ""), *c.vendor) << c.what;
            EXPECT_EQ(report["sources"].value("firmware.vendor", ""), "dmi") << c.what;
        }
    }
}

// A machine that the C call reads: its roots in the environment, its
// firmware from `capture`, its processor saying `cpu`, the cache empty.
class CallMachine : public Machine {
public:
    CallMachine(const char* capture, const char* cpu) : m_cpu(cpu) {
        WriteDmiTree(capture, sys.path());
        vmdetect::report::ResetCacheForTesting();
    }
    ~CallMachine() { vmdetect::report::ResetCacheForTesting(); }

private:
    testsupport::ScopedEnv m_sys{"HOST_SYS", sys.path().c_str()};
    testsupport::ScopedEnv m_proc{"HOST_PROC", proc.path().c_str()};
    testsupport::ScopedEnv m_root{"HOST_ROOT", host.path().c_str()};
    FakeCpuScope m_cpu;
};

TEST(Report, CallFillsAnyBufferAsSnprintf) {
    const CallMachine m("kvm-redhat-masked-2.txt", "KVMKVMKVM");
    const int length = vmdetect_report(nullptr, 0, VMDETECT_REPORT_NO_NETWORK);
    ASSERT_GT(length, 0);
    std::vector<char> whole(length + 1);
    ASSERT_EQ(vmdetect_report(whole.data(), whole.size(), VMDETECT_REPORT_NO_NETWORK), length);
    const std::string report(whole.data());
    EXPECT_EQ(nlohmann::json::parse(report).value("firmware.product", ""), "KVM");
    EXPECT_EQ(nlohmann::json::parse(report).value("hypervisor", ""), "kvm");
    for (const std::size_t size : {std::size_t{1}, std::size_t{2}, std::size_t(length), std::size_t(length) + 1,
                                   std::size_t{1} << 20}) {
        std::vector<char> buffer(size + 1, 'X');
        EXPECT_EQ(vmdetect_report(buffer.data(), size, VMDETECT_REPORT_NO_NETWORK), length) << size;
        const std::size_t kept = std::min(size - 1, std::size_t(length));
        EXPECT_EQ(std::string(buffer.data(), kept), report.substr(0, kept)) << size;
        EXPECT_EQ(buffer[kept], '\0') << size;
        EXPECT_EQ(buffer[size], 'X') << size;  // nothing past the given size
    }
    char untouched = 'X';
    EXPECT_EQ(vmdetect_report(&untouched, 0, VMDETECT_REPORT_NO_NETWORK), length);
    EXPECT_EQ(untouched, 'X');
    EXPECT_EQ(vmdetect_report(nullptr, 16, 0), length);  // without a cloud answer: the same report
    for (const unsigned int bad : {0x2u, 0x80000000u, ~0u}) {
        EXPECT_EQ(vmdetect_report(whole.data(), whole.size(), bad), -1) << bad;
    }
    // Many threads at once see one report.
    std::vector<std::thread> threads;
    std::vector<std::string> seen(8);
    vmdetect::report::ResetCacheForTesting();
    for (std::size_t t = 0; t < seen.size(); ++t) {
        threads.emplace_back([&seen, t, length] {
            std::vector<char> buffer(length + 1);
            for (int i = 0; i < 100; ++i) vmdetect_report(buffer.data(), buffer.size(), VMDETECT_REPORT_NO_NETWORK);
            seen[t] = buffer.data();
        });
    }
    for (auto& t : threads) t.join();
    for (const auto& s : seen) EXPECT_EQ(s, report);
}

// A cloud identity that counts its calls and answers what the test says.
int g_cloudCalls = 0;
std::shared_ptr<const vmdetect::report::Attributes> g_cloud;
std::shared_ptr<const vmdetect::report::Attributes> FakeCloud(const vmdetect::report::DmiFields& dmi) {
    ++g_cloudCalls;
    EXPECT_EQ(dmi.count("sys_vendor"), 1u);  // it is asked with the firmware read
    return g_cloud;
}

TEST(Report, CloudKeysMergeOnlyWithTheNetwork) {
    const CallMachine m("gce-1.txt", "KVMKVMKVM");
    vmdetect::report::SetCloudSourceForTesting(&FakeCloud);
    g_cloudCalls = 0;
    g_cloud = std::make_shared<const vmdetect::report::Attributes>(vmdetect::report::Attributes{
        {"cloud.provider", "gcp", "imds"}, {"hypervisor", "spoofed", "imds"}});
    const auto local = vmdetect::report::Cached(VMDETECT_REPORT_NO_NETWORK);
    EXPECT_EQ(g_cloudCalls, 0);
    const auto first = vmdetect::report::Cached(0);
    const auto again = vmdetect::report::Cached(0);
    EXPECT_EQ(g_cloudCalls, 2);
    EXPECT_EQ(first, again);  // the same answer is not serialised twice
    const nlohmann::json merged = nlohmann::json::parse(*first);
    EXPECT_EQ(merged.value("cloud.provider", ""), "gcp");
    EXPECT_EQ(merged["sources"].value("cloud.provider", ""), "imds");
    EXPECT_EQ(merged.value("hypervisor", ""), "google");  // local keys are not overridden
    EXPECT_FALSE(nlohmann::json::parse(*local).contains("cloud.provider"));
    g_cloud = std::make_shared<const vmdetect::report::Attributes>();
    EXPECT_EQ(*vmdetect::report::Cached(0), *local);  // a new, empty answer
    vmdetect::report::SetCloudSourceForTesting(nullptr);
}

std::string Shell(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char chunk[256];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, n);
    ::pclose(pipe);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

TEST(Report, AgreesWithSystemdDetectVirtOnThisMachine) {
    if (Shell("command -v systemd-detect-virt").empty()) {
        GTEST_SKIP() << "systemd-detect-virt is not installed";
    }
    const auto local = vmdetect::report::ReadLocal({"/proc", "/sys", ""});
    EXPECT_EQ(local.hypervisor.name, Shell("systemd-detect-virt --vm"));
    EXPECT_EQ(local.container.name, Shell("systemd-detect-virt --container"));
}

}  // namespace

namespace {

// As root in a private mount namespace, systemd-detect-virt and the command
// read the same evidence: a captured firmware tree over /sys/class, or a
// marker over /run. Empty when the machine allows none of it.
bool CanCompareInNamespace(std::string& why) {
    if (::geteuid() != 0) {
        why = "needs root";
    } else if (Shell("command -v systemd-detect-virt").empty()) {
        why = "systemd-detect-virt is not installed";
    } else if (Shell("unshare -m sh -c 'mount -t tmpfs tmpfs /run && echo ok' 2>/dev/null") != "ok") {
        why = "no private mount namespace here";
    }
    return why.empty();
}

// Runs `setup` in a private mount namespace, then prints systemd-detect-virt's
// word and the command's report, one per line.
std::pair<std::string, nlohmann::json> InNamespace(const std::string& setup, const char* what,
                                                   const std::string& reportPrefix = "") {
    const std::string out = Shell(
        "unshare -m sh -c '" + setup + " && systemd-detect-virt " + what + "; " + reportPrefix +
        "env -u HOST_SYS -u HOST_PROC -u HOST_ROOT " VMDETECT_CLI_PATH " --report --no-network' 2>/dev/null");
    const std::size_t line = out.find('\n');
    return {out.substr(0, line),
            nlohmann::json::parse(line == std::string::npos ? "" : out.substr(line + 1), nullptr, false)};
}

TEST(ReportSystem, SameHypervisorAsSystemdDetectVirtOnCapturedFirmware) {
    std::string why;
    if (!CanCompareInNamespace(why)) {
        GTEST_SKIP() << why;
    }
    for (const char* capture : {"virtualbox-1.txt", "ec2-nitro-1.txt", "ec2-metal-1.txt", "ec2-xen-1.txt",
                                "gce-1.txt", "parallels-1.txt", "kvm-redhat-masked-2.txt", "openstack-1.txt",
                                "qemu-1.txt", "qemu-bochs-1.txt", "vmware-1.txt", "bhyve-1.txt", "hyperv-1.txt",
                                "azure-1-spaces.txt", "alibaba-1.txt", "baremetal-dell-1.txt",
                                "baremetal-oracle-1.txt"}) {
        TempDir sys;
        WriteDmiTree(capture, sys.path());
        const auto [systemd, ours] = InNamespace(
            "mount -t tmpfs tmpfs /sys/class && cp -a " + sys.path() + "/class/. /sys/class/", "--vm");
        ASSERT_TRUE(ours.is_object()) << capture;
        if (std::string(capture) == "baremetal-oracle-1.txt") {
            // systemd 252 takes Oracle's own servers for VirtualBox.
            EXPECT_EQ(systemd, "oracle");
            EXPECT_NE(ours.value("hypervisor", ""), "oracle");
        } else {
            EXPECT_EQ(ours.value("hypervisor", ""), systemd) << capture;
        }
    }
}

TEST(ReportSystem, SameContainerAsSystemdDetectVirtOnRunMarkers) {
    std::string why;
    if (!CanCompareInNamespace(why)) {
        GTEST_SKIP() << why;
    }
    for (const char* marker : {"mkdir -p /run/systemd && echo lxc >/run/systemd/container",
                               "mkdir -p /run/systemd && echo oci >/run/systemd/container",
                               "mkdir -p /run/systemd && echo acme >/run/systemd/container",
                               "mkdir -p /run/host && echo podman >/run/host/container-manager",
                               "mkdir -p /run/systemd && echo >/run/systemd/container",
                               "mkdir -p /run/systemd && : >/run/systemd/container",
                               "touch /run/.containerenv", "true"}) {
        const auto [systemd, ours] = InNamespace(std::string("mount -t tmpfs tmpfs /run && ") + marker,
                                                 "--container");
        ASSERT_TRUE(ours.is_object()) << marker;
        EXPECT_EQ(ours.value("container", ""), systemd) << marker;
    }
}

TEST(ReportSystem, UnprivilegedUserGetsRootsAnswer) {
    std::string why;
    if (!CanCompareInNamespace(why)) {
        GTEST_SKIP() << why;
    }
    TempDir sys;
    WriteDmiTree("kvm-redhat-masked-2.txt", sys.path());
    const std::string setup = "mount -t tmpfs tmpfs /sys/class && cp -a " + sys.path() + "/class/. /sys/class/";
    const auto root = InNamespace(setup, "--vm").second;
    const auto nobody = InNamespace(setup, "--vm", "setpriv --reuid=65534 --regid=65534 --clear-groups ").second;
    ASSERT_TRUE(root.is_object());
    ASSERT_TRUE(nobody.is_object()) << "the command cannot run as 65534 from this build tree";
    EXPECT_EQ(nobody.value("hypervisor", "?"), root.value("hypervisor", ""));
    EXPECT_EQ(nobody.value("container", "?"), root.value("container", ""));
    EXPECT_EQ(nobody.value("firmware.product", "?"), "KVM");
    // The UUID file is root's alone.
    EXPECT_TRUE(root.contains("firmware.uuid"));
    EXPECT_FALSE(nobody.contains("firmware.uuid"));
}

}  // namespace
