// The platform report: firmware trees from the captures, container markers
// in temporary roots, bad files, the C call's buffer contract, and agreement
// with systemd-detect-virt where it is installed.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>
#include <vmdetect.h>

#include "report/Report.h"
#include "TestSupport.h"
#include "report/VirtRules.h"
#include "adapters/Cpuid.h"

namespace {

namespace fs = std::filesystem;
using vmdetect::report::ResetCacheForTesting;

// The processor that evidence reads see while this lives ("" for no hypervisor bit).
std::string g_signature;
struct FakeCpu {
    explicit FakeCpu(std::string signature) {
        g_signature = std::move(signature);
        vmdetect::adapters::SetCpuidSourceForTesting([](std::uint32_t leaf, std::uint32_t) {
            vmdetect::adapters::CpuidRegs r;
            std::string sig = g_signature + std::string(12 - g_signature.size(), '\0');
            if (leaf == 1) r.ecx = g_signature.empty() ? 0 : 0x80000000u;
            if (leaf == 0x40000000u) std::memcpy(&r.ebx, sig.data(), 4), std::memcpy(&r.ecx, sig.data() + 4, 4),
                                     std::memcpy(&r.edx, sig.data() + 8, 4);
            return std::optional<vmdetect::adapters::CpuidRegs>(r);
        });
    }
    ~FakeCpu() { vmdetect::adapters::SetCpuidSourceForTesting(nullptr); }
};

// The machine under `roots` as an x86 one, whatever the build runs on, so
// that the fake processor counts under an emulator too.
vmdetect::report::Local ReadLocal(const vmdetect::evidence::Roots& roots) {
    struct X86 : vmdetect::evidence::Source {
        std::unique_ptr<Source> live;
        using Tree = vmdetect::evidence::Tree;
        std::optional<std::string> Read(Tree t, const std::string& p, std::size_t cap) override { return live->Read(t, p, cap); }
        bool Exists(Tree t, const std::string& p) override { return live->Exists(t, p); }
        std::vector<std::string> List(Tree t, const std::string& p) override { return live->List(t, p); }
        std::optional<vmdetect::adapters::CpuidRegs> Cpuid(std::uint32_t l, std::uint32_t s) override { return live->Cpuid(l, s); }
        std::optional<std::uint64_t> Msr(std::uint32_t i) override { return live->Msr(i); }
        std::optional<std::uint64_t> NamespaceInode(const std::string& n) override { return live->NamespaceInode(n); }
        std::string Machine() override { return "x86_64"; }
        bool SelfIsInit() override { return live->SelfIsInit(); }
        std::optional<std::string> OwnVariable(const char* n) override { return live->OwnVariable(n); }
    } x86;
    x86.live = vmdetect::evidence::LiveSource(roots);
    return vmdetect::report::ReadLocal(x86);
}

void Put(const std::string& path, const std::string& content, fs::perms mode = fs::perms(0644)) {
    fs::create_directories(fs::path(path).parent_path());
    testsupport::WriteFile(path, content);
    fs::permissions(path, mode);
}

// The sysfs files a kernel derives from the first DMI structures of types 0
// to 3 in a dmidecode capture, under <sys>/class/dmi/id; serial and UUID
// root-only, the UUID in lower case.
void WriteDmiTree(const std::string& capture, const std::string& sys) {
    static const std::map<std::string, std::string> kFiles = {
        {"0:Vendor", "bios_vendor"},        {"0:Version", "bios_version"},         {"1:Manufacturer", "sys_vendor"},
        {"1:Product Name", "product_name"}, {"1:Version", "product_version"},      {"1:Serial Number", "product_serial"},
        {"1:UUID", "product_uuid"},         {"1:Family", "product_family"},        {"2:Manufacturer", "board_vendor"},
        {"2:Product Name", "board_name"},   {"2:Asset Tag", "board_asset_tag"},    {"3:Manufacturer", "chassis_vendor"},
        {"3:Asset Tag", "chassis_asset_tag"}};
    std::istringstream in(testsupport::ReadFile(testsupport::DataPath("dmi/" + capture)));
    std::set<int> seen;
    std::string type;  // "" past the first structure of a type
    for (std::string line; std::getline(in, line);) {
        const std::size_t typeAt = line.find("DMI type "), start = line.find_first_not_of(" \t"),
                          colon = line.find(": ");
        if (line.rfind("Handle ", 0) == 0 && typeAt != std::string::npos) {
            const int t = std::atoi(line.c_str() + typeAt + 9);
            type = seen.insert(t).second ? std::to_string(t) : "";
            continue;
        }
        const auto file = type.empty() || colon == std::string::npos
                              ? kFiles.end() : kFiles.find(type + ":" + line.substr(start, colon - start));
        if (file == kFiles.end()) continue;
        std::string value = line.substr(colon + 2);
        value.erase(value.find_last_not_of(" \t") + 1);
        const bool uuid = file->second == "product_uuid", secret = uuid || file->second == "product_serial";
        if (uuid) std::transform(value.begin(), value.end(), value.begin(), [](unsigned char c) { return std::tolower(c); });
        Put(sys + "/class/dmi/id/" + file->second, value + "\n", fs::perms(secret ? 0400 : 0444));
    }
}

// A machine's roots: <dir>/proc, <dir>/sys and <dir>/host.
struct Machine {
    testsupport::TempDir dir;
    vmdetect::evidence::Roots roots() const { return {dir.file("proc"), dir.file("sys"), dir.file("host")}; }
};

TEST(Report, FirmwareTreeAndProcessorNameTheHypervisor) {
    const struct { const char *capture, *cpu, *hypervisor, *source; } cases[] = {
        {"virtualbox-1.txt", "KVMKVMKVM", "oracle", "dmi"},  // DMI names taken before CPUID
        {"ec2-nitro-1.txt", "KVMKVMKVM", "amazon", "dmi"},
        {"ec2-xen-1.txt", "XenVMMXenVMM", "xen", "dmi"},     // sys_vendor
        {"xen-hvm-redhat-1.txt", "XenVMMXenVMM", "xen", "dmi"},  // bios_vendor only
        {"gce-1.txt", "KVMKVMKVM", "google", "dmi"},
        {"parallels-1.txt", "KVMKVMKVM", "parallels", "dmi"},
        {"baremetal-oracle-1.txt", "", "none", ""},  // Oracle's own hardware
        {"ec2-metal-1.txt", "", "none", ""},
        {"qemu-1.txt", "KVMKVMKVM", "kvm", "cpuid"},  // CPUID before the rest of DMI
        {"qemu-1.txt", "", "qemu", "dmi"},
        {"kvm-redhat-masked-2.txt", "", "kvm", "dmi"},
        {"alibaba-1.txt", "KVMKVMKVM", "kvm", "cpuid"},
        {"openstack-1.txt", "", "kvm", "dmi"},
        {"qemu-bochs-1.txt", "", "bochs", "dmi"},
        {"vmware-1.txt", "", "vmware", "dmi"},
        {"bhyve-1.txt", "bhyve bhyve ", "bhyve", "cpuid"},
        {"bhyve-1.txt", "", "bhyve", "dmi"},
        {"hyperv-1.txt", "Microsoft Hv", "microsoft", "cpuid"},
        {"hyperv-1.txt", "", "none", ""},
        {"azure-1-spaces.txt", "", "microsoft", "dmi"},  // product_version
        {"nutanix-1.txt", "Linux KVM Hv", "kvm", "cpuid"},
        {"baremetal-dell-1.txt", "NotKnownHV!!", "vm-other", "cpuid"},
        {"", "Apple VZ", "apple", "cpuid"},  // short signature, NUL padded
    };
    for (const auto& c : cases) {
        Machine m;
        if (*c.capture != '\0') WriteDmiTree(c.capture, m.dir.file("sys"));
        const FakeCpu cpu(c.cpu);
        const auto local = ReadLocal(m.roots());
        EXPECT_EQ(local.hypervisor.name, c.hypervisor) << c.capture << " / " << c.cpu;
        EXPECT_EQ(local.hypervisor.source, c.source) << c.capture << " / " << c.cpu;
        EXPECT_EQ(local.container.name, "none") << c.capture;
    }
}

// An SMBIOS BIOS entry with the "this is a VM" bit set; one whose length byte
// is 0x80 and whose bit is clear.
const std::string kVmBitEntry = std::string(1, '\0') + char(20) + std::string(17, '\0') + char(0x10);
const std::string kLongEntryWithoutBit = std::string(1, '\0') + char(0x80) + std::string(18, '\0');

TEST(Report, EvidenceBeyondFirmwareNamesTheHypervisor) {
    using E = vmdetect::virt::VmEvidence;
    const struct { const char* what; void (*set)(E&); const char* hypervisor; } cases[] = {
        {"Xen guest", [](E& e) { e.procXen = true; }, "xen"},
        {"Xen control domain", [](E& e) { e.procXen = true; e.xenCapabilities = "control_d\n"; }, "none"},
        {"Xen control domain by features", [](E& e) { e.procXen = true; e.xenFeatures = "00000801\n"; }, "none"},
        {"Xen control domain nested in KVM", [](E& e) { e.procXen = true; e.xenCapabilities = "foo,control_d";
             e.cpuidHypervisor = true; e.cpuidSignature = std::string("KVMKVMKVM\0\0\0", 12); }, "kvm"},
        {"User-Mode Linux under VMware DMI", [](E& e) {
             e.cpuinfo = "processor\t: 0\nvendor_id\t: User Mode Linux\n"; e.dmi["sys_vendor"] = "VMware, Inc."; }, "uml"},
        {"sysfs hypervisor type", [](E& e) { e.hypervisorType = "xen\n"; }, "xen"},
        {"unknown sysfs hypervisor type", [](E& e) { e.hypervisorType = "acme\n"; }, "vm-other"},
        {"SMBIOS VM bit alone", [](E& e) { e.smbiosBiosEntry = kVmBitEntry; }, "vm-other"},
        {"EC2 metal product with the VM bit", [](E& e) {
             e.dmi["sys_vendor"] = "Amazon EC2"; e.dmi["product_name"] = "m5.metal"; e.smbiosBiosEntry = kVmBitEntry; }, "amazon"},
        {"EC2 without a product name", [](E& e) { e.dmi["sys_vendor"] = "Amazon EC2"; }, "amazon"},
        {"first line only", [](E& e) { e.dmi["product_name"] = "\nKVM"; }, "none"},
        {"sysfs hypervisor type ending in CR LF", [](E& e) { e.hypervisorType = "xen\r\n"; }, "xen"},
        {"Xen features behind a CR", [](E& e) { e.procXen = true; e.xenFeatures = "\r00000800\n"; }, "xen"},
        {"EC2 product past .metal", [](E& e) { e.dmi["sys_vendor"] = "Amazon EC2"; e.dmi["product_name"] = "c5.metalx"; }, "amazon"},
        {"EC2 .metal with a size", [](E& e) { e.dmi["sys_vendor"] = "Amazon EC2"; e.dmi["product_name"] = "m7i.metal-24xl"; }, "none"},
        // x86's signed char makes the length byte too short: the product name decides.
        {"SMBIOS length byte 0x80", [](E& e) { e.dmi["sys_vendor"] = "Amazon EC2"; e.smbiosBiosEntry = kLongEntryWithoutBit; },
         std::is_signed_v<char> ? "amazon" : "none"},
    };
    for (const auto& c : cases) {
        E evidence;
        c.set(evidence);
        EXPECT_EQ(vmdetect::virt::DecideHypervisor(evidence).name, c.hypervisor) << c.what;
    }
}

TEST(Report, ContainerMarkersNameTheManager) {
    // Files by their path under the machine, with their content.
    const struct { const char* what; std::vector<std::pair<std::string, std::string>> files; const char* container; } cases[] = {
        {"nothing", {}, "none"},
        {"docker", {{"host/.dockerenv", ""}}, "docker"},
        {"podman before docker", {{"host/run/.containerenv", ""}, {"host/.dockerenv", ""}}, "podman"},
        {"systemd's word before files", {{"host/run/systemd/container", "systemd-nspawn\n"}, {"host/.dockerenv", ""}}, "systemd-nspawn"},
        {"lxc", {{"host/run/systemd/container", "lxc\n"}}, "lxc"},
        {"unknown manager", {{"host/run/systemd/container", "acme\n"}}, "container-other"},
        {"oci with a file", {{"host/run/systemd/container", "oci\n"}, {"host/.dockerenv", ""}}, "docker"},
        {"oci alone", {{"host/run/systemd/container", "oci\n"}}, "container-other"},
        {"CR LF in systemd's marker", {{"host/run/systemd/container", "docker\r\n"}}, "docker"},
        {"CR LF in container-manager", {{"host/run/host/container-manager", "lxc\r\n"}}, "lxc"},
        {"empty marker", {{"host/run/systemd/container", ""}, {"host/.dockerenv", ""}}, "docker"},
        {"marker with an empty line", {{"host/run/systemd/container", "\n"}, {"host/.dockerenv", ""}}, "container-other"},
        {"container-manager first", {{"host/run/host/container-manager", "podman\n"}, {"host/run/systemd/container", "lxc\n"}}, "podman"},
        {"init environment", {{"proc/1/environ", std::string("PATH=/bin\0container=lxc-libvirt\0", 32)}}, "lxc-libvirt"},
        {"environment without the name", {{"proc/1/environ", std::string("PATH=/bin\0", 10)}, {"host/.dockerenv", ""}}, "docker"},
        {"init environment past 64 KiB", {{"proc/1/environ", "X=" + std::string(70000, 'A') + std::string("\0container=lxc\0", 15)}}, "lxc"},
        {"tracer on status's first line", {{"proc/self/status", "TracerPid:\t77\n"}, {"proc/77/comm", "proot\n"}}, "proot"},
        {"tracer pid with trailing garbage", {{"proc/self/status", "Name:\tsh\nTracerPid:\t77x\n"}, {"proc/77/comm", "proot\n"}}, "none"},
        {"openvz inside", {{"proc/vz/x", ""}}, "openvz"},
        {"openvz host", {{"proc/vz/x", ""}, {"proc/bc/x", ""}}, "none"},
        {"wsl", {{"proc/sys/kernel/osrelease", "5.15.90.1-microsoft-standard-WSL2\n"}}, "wsl"},
        {"osrelease's first line only", {{"proc/sys/kernel/osrelease", "6.1.0\nWSL\n"}}, "none"},
        // 252's cgroup-namespace guess is gone: only the PID namespace counts.
        {"cgroup namespace (v1)", {{"proc/self/ns/cgroup", ""}, {"sys/fs/cgroup/systemd/tasks", ""}}, "none"},
        {"root cgroup (v1)", {{"proc/self/ns/cgroup", ""}, {"sys/fs/cgroup/systemd/release_agent", ""}}, "none"},
    };
    const FakeCpu cpu("");
    for (const auto& c : cases) {
        Machine m;
        for (const auto& [file, content] : c.files) Put(m.dir.file(file), content);
        EXPECT_EQ(ReadLocal(m.roots()).container.name, c.container) << c.what;
    }
    // Roots that cannot be read at all.
    const auto local = ReadLocal({"/nonexistent/proc", "/nonexistent/sys", "/nonexistent"});
    EXPECT_EQ(local.container.name, "none");
    EXPECT_TRUE(local.machine.dmi.empty());
}

TEST(Report, BadFirmwareFilesKeepTheReportValid) {
    enum Kind { kFile, kDirectory, kFifo, kDanglingLink };
    const struct { const char* what; Kind kind; std::string content; std::optional<std::string> vendor; } cases[] = {
        {"plain", kFile, "Acme Inc.\n", "Acme Inc."},
        {"NUL inside", kFile, std::string("QE\0MU\n", 6), std::string("QE\0MU", 5)},
        {"control bytes", kFile, "\x1b[31mred\x7f\n", "\x1b[31mred\x7f"},
        {"invalid UTF-8", kFile, "Acme \xff\xc3(\n", "Acme \xef\xbf\xbd\xef\xbf\xbd("},
        {"only a newline", kFile, "\n", std::nullopt},
        {"huge", kFile, std::string(1 << 20, 'A'), std::string(4096, 'A')},
        {"directory", kDirectory, "", std::nullopt},
        {"FIFO", kFifo, "", std::nullopt},
        {"dangling link", kDanglingLink, "", std::nullopt},
    };
    const FakeCpu cpu("");
    for (const auto& c : cases) {
        Machine m;
        const std::string path = m.dir.file("sys/class/dmi/id/sys_vendor");
        fs::create_directories(c.kind == kDirectory ? fs::path(path) : fs::path(path).parent_path());
        if (c.kind == kFile) testsupport::WriteFile(path, c.content);
        if (c.kind == kFifo) ::mkfifo(path.c_str(), 0644);
        if (c.kind == kDanglingLink) (void)::symlink("/nonexistent", path.c_str());
        const auto report = nlohmann::json::parse(vmdetect::report::Serialize(ReadLocal(m.roots()), {}), nullptr, false);
        ASSERT_TRUE(report.is_object()) << c.what;
        EXPECT_EQ(report.value("hypervisor", ""), "none") << c.what;
        EXPECT_EQ(report.contains("firmware.vendor"), c.vendor.has_value()) << c.what;  // nullopt: no key
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
        WriteDmiTree(capture, dir.file("sys"));
        ResetCacheForTesting();
    }
    ~CallMachine() { ResetCacheForTesting(); }

private:
    testsupport::ScopedEnv m_sys{"HOST_SYS", dir.file("sys").c_str()};
    testsupport::ScopedEnv m_proc{"HOST_PROC", dir.file("proc").c_str()};
    testsupport::ScopedEnv m_root{"HOST_ROOT", dir.file("host").c_str()};
    FakeCpu m_cpu;
};

TEST(Report, CallFillsAnyBufferAsSnprintf) {
    const CallMachine m("kvm-redhat-masked-2.txt", "KVMKVMKVM");
    constexpr unsigned int kLocal = VMDETECT_REPORT_NO_NETWORK;
    const int length = vmdetect_report(nullptr, 0, kLocal);
    ASSERT_GT(length, 0);
    std::vector<char> whole(length + 1);
    ASSERT_EQ(vmdetect_report(whole.data(), whole.size(), kLocal), length);
    const std::string report(whole.data());
    const nlohmann::json parsed = nlohmann::json::parse(report);
    EXPECT_EQ(parsed.value("firmware.product", "") + " " + parsed.value("hypervisor", ""), "KVM kvm");
    for (const std::size_t size : {std::size_t{1}, std::size_t{2}, std::size_t(length), std::size_t(length) + 1,
                                   std::size_t{1} << 20}) {
        std::vector<char> buffer(size + 1, 'X');
        EXPECT_EQ(vmdetect_report(buffer.data(), size, kLocal), length) << size;
        const std::size_t kept = std::min(size - 1, std::size_t(length));
        EXPECT_EQ(std::string(buffer.data(), kept), report.substr(0, kept)) << size;
        EXPECT_EQ(buffer[kept], '\0') << size;
        EXPECT_EQ(buffer[size], 'X') << size;  // nothing past the given size
    }
    char untouched = 'X';
    EXPECT_EQ(vmdetect_report(&untouched, 0, kLocal), length);
    EXPECT_EQ(untouched, 'X');
    EXPECT_EQ(vmdetect_report(nullptr, 16, 0), length);  // without a cloud answer: the same report
    for (const unsigned int bad : {0x2u, 0x80000000u, ~0u}) EXPECT_EQ(vmdetect_report(whole.data(), whole.size(), bad), -1) << bad;
    // Many threads at once, from an empty cache, see one report.
    ResetCacheForTesting();
    std::vector<std::string> seen(8);
    std::vector<std::thread> threads;
    for (auto& s : seen) {
        threads.emplace_back([&s, length] {
            std::vector<char> buffer(length + 1);
            for (int i = 0; i < 100; ++i) vmdetect_report(buffer.data(), buffer.size(), kLocal);
            s = buffer.data();
        });
    }
    for (auto& t : threads) t.join();
    for (const auto& s : seen) EXPECT_EQ(s, report);
}

// A cloud identity that counts its calls and answers what the test says.
int g_cloudCalls = 0;
std::shared_ptr<const vmdetect::report::Attributes> g_cloud;
std::shared_ptr<const vmdetect::report::Attributes> FakeCloud(const vmdetect::cloud::Machine& machine) {
    ++g_cloudCalls;
    EXPECT_EQ(machine.dmi.count("sys_vendor"), 1u);  // it is asked with the firmware read
    return g_cloud;
}

TEST(Report, CloudKeysMergeOnlyWithTheNetwork) {
    using vmdetect::report::Attributes;
    using vmdetect::report::Cached;
    const CallMachine m("gce-1.txt", "KVMKVMKVM");
    vmdetect::report::SetCloudSourceForTesting(&FakeCloud);
    g_cloudCalls = 0;
    g_cloud = std::make_shared<const Attributes>(Attributes{{"cloud.provider", "gcp", "imds"}, {"hypervisor", "spoofed", "imds"}});
    const auto local = Cached(VMDETECT_REPORT_NO_NETWORK);
    EXPECT_EQ(g_cloudCalls, 0);
    const auto first = Cached(0);
    EXPECT_EQ(Cached(0), first);  // the same answer is not serialised twice
    EXPECT_EQ(g_cloudCalls, 2);
    const nlohmann::json merged = nlohmann::json::parse(*first);
    EXPECT_EQ(merged.value("cloud.provider", ""), "gcp");
    EXPECT_EQ(merged["sources"].value("cloud.provider", ""), "imds");
    EXPECT_EQ(merged.value("hypervisor", ""), "google");  // local keys are not overridden
    // Without the network the firmware names the cloud; the kernel its architecture.
    const nlohmann::json alone = nlohmann::json::parse(*local);
    EXPECT_EQ(alone.value("cloud.provider", "") + " " + alone["sources"].value("cloud.provider", ""), "gcp dmi");
    EXPECT_EQ(alone["sources"].value("host.arch", "") + " " + alone.value("os.type", ""), "uname linux");
    g_cloud = std::make_shared<const Attributes>();
    EXPECT_EQ(*Cached(0), *local);  // a new, empty answer
    vmdetect::report::SetCloudSourceForTesting(nullptr);
}

using testsupport::Shell;

// What this machine's processor alone names: its CPUID, without its firmware.
std::string ThisProcessorNames() {
    vmdetect::virt::VmEvidence e =
        vmdetect::evidence::ReadVmEvidence(*vmdetect::evidence::LiveSource({"/proc", "/sys", ""}));
    vmdetect::virt::VmEvidence cpu;
    cpu.arch = e.arch;
    cpu.cpuidHypervisor = e.cpuidHypervisor;
    cpu.cpuidSignature = e.cpuidSignature;
    return vmdetect::virt::DecideHypervisor(cpu).name;
}

TEST(Report, AgreesWithSystemdDetectVirtOnThisMachine) {
    if (testsupport::UnderEmulator()) GTEST_SKIP() << "emulated: systemd-detect-virt reads the host's CPUID";
    if (Shell("command -v systemd-detect-virt").empty()) GTEST_SKIP() << "systemd-detect-virt is not installed";
    const auto local = vmdetect::report::ReadLocal(vmdetect::evidence::Roots{"/proc", "/sys", ""});
    const std::string systemd = Shell("systemd-detect-virt --vm");
    if (!testsupport::KnownHypervisorDifference(local.hypervisor.name, systemd, ThisProcessorNames())) {
        EXPECT_EQ(local.hypervisor.name, systemd);
    }
    const std::string container = Shell("systemd-detect-virt --container");
    if (local.container.source != "namespace" || container != "none") {  // 252 knows no PID namespace
        EXPECT_EQ(local.container.name, container);
    }
}

// As root in a private mount namespace, under a root of its own that lacks
// the host's own /.dockerenv, systemd-detect-virt and the command read the
// same evidence: a captured firmware tree over /sys/class, a marker over
// /run, or files over /proc and /sys.
class ReportSystem : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root";
        if (Shell("command -v systemd-detect-virt").empty()) GTEST_SKIP() << "systemd-detect-virt is not installed";
        if (Shell("unshare -m sh -c 'mount -t tmpfs tmpfs /run && echo ok' 2>/dev/null") != "ok") {
            GTEST_SKIP() << "no private mount namespace here";
        }
        // $1: where the new root goes; $2: the script to run there.
        testsupport::WriteFile(m_dir.file("hide.sh"), R"(set -e
r=$(mktemp -d "$1/root.XXXXXX")
mount -t tmpfs tmpfs "$r"
for e in /* /.[!.]*; do
  n=${e#/}
  case "$n" in .dockerenv|'.[!.]*') continue;; esac
  if [ -L "$e" ]; then cp -P "$e" "$r/$n"
  elif [ -d "$e" ]; then mkdir "$r/$n" && mount --rbind "$e" "$r/$n"
  else touch "$r/$n" && mount --bind "$e" "$r/$n"; fi
done
exec chroot "$r" sh "$2"
)");
    }
    // The set-up that lays `capture`'s firmware tree over /sys/class.
    std::string OverSysClass(const std::string& capture) const {
        WriteDmiTree(capture, m_dir.file(capture));
        return "mount -t tmpfs tmpfs /sys/class && cp -a " + m_dir.file(capture) + "/class/. /sys/class/";
    }
    // systemd-detect-virt's answer to `question` and the report of `cli` run
    // through `launcher`, after `setup`.
    std::pair<std::string, nlohmann::json> Run(const std::string& setup, const char* question,
                                               const std::string& launcher = "",
                                               const std::string& cli = VMDETECT_CLI_PATH) const {
        testsupport::WriteFile(m_dir.file("run.sh"), setup + " && systemd-detect-virt " + question + "; " + launcher +
                                                         "env -u HOST_SYS -u HOST_PROC -u HOST_ROOT " + testsupport::LaunchCommand(cli) +
                                                         " --report --no-network\n");
        const std::string out = Shell("unshare -m sh " + m_dir.file("hide.sh") + " " + m_dir.path() + " " +
                                      m_dir.file("run.sh") + " 2>/dev/null");
        const std::size_t line = out.find('\n');
        return {out.substr(0, line),
                nlohmann::json::parse(line == std::string::npos ? "" : out.substr(line + 1), nullptr, false)};
    }
    testsupport::TempDir m_dir;
};

TEST_F(ReportSystem, SameAnswerAsSystemdDetectVirt) {
    std::vector<std::pair<std::string, const char*>> cases;  // set-up, question
    for (const char* capture : {"virtualbox-1.txt", "ec2-nitro-1.txt", "ec2-metal-1.txt", "ec2-xen-1.txt",
                                "gce-1.txt", "parallels-1.txt", "kvm-redhat-masked-2.txt", "openstack-1.txt",
                                "qemu-1.txt", "qemu-bochs-1.txt", "vmware-1.txt", "bhyve-1.txt", "hyperv-1.txt",
                                "azure-1-spaces.txt", "alibaba-1.txt", "baremetal-dell-1.txt",
                                "baremetal-oracle-1.txt"}) {
        if (!testsupport::UnderEmulator()) cases.emplace_back(OverSysClass(capture), "--vm");
    }
    if (!testsupport::UnderEmulator()) {
        for (const char* name : {"c5.metalx", "m7i.metal-24xl"}) {
            cases.emplace_back(OverSysClass("ec2-metal-1.txt") + " && printf '%s\\n' " + name + " >/sys/class/dmi/id/product_name", "--vm");
        }
        cases.emplace_back(OverSysClass("ec2-nitro-1.txt") + " && mount -t tmpfs tmpfs /sys/firmware && mkdir -p /sys/firmware/dmi/entries/0-0"
                           " && printf '\\000\\200' >/sys/firmware/dmi/entries/0-0/raw && head -c 18 /dev/zero >>/sys/firmware/dmi/entries/0-0/raw",
                           "--vm");
        cases.emplace_back("mount -t tmpfs tmpfs /proc && mkdir /proc/xen && mount -t tmpfs tmpfs /sys && mkdir -p /sys/hypervisor/properties"
                           " && printf '\\r00000800\\n' >/sys/hypervisor/properties/features", "--vm");
    } else {
        std::printf("--vm rows skipped, emulated: systemd-detect-virt reads the host's CPUID\n");
    }
    for (const char* marker : {"mkdir -p /run/systemd && echo lxc >/run/systemd/container",
                               "mkdir -p /run/systemd && echo oci >/run/systemd/container",
                               "mkdir -p /run/systemd && echo acme >/run/systemd/container",
                               "mkdir -p /run/host && echo podman >/run/host/container-manager",
                               "mkdir -p /run/systemd && echo >/run/systemd/container",
                               "mkdir -p /run/systemd && : >/run/systemd/container",
                               "mkdir -p /run/systemd && printf 'docker\\r\\n' >/run/systemd/container",
                               "mkdir -p /run/host && printf 'lxc\\r\\n' >/run/host/container-manager",
                               "touch /run/.containerenv", "true"}) {
        cases.emplace_back(std::string("mount -t tmpfs tmpfs /run && ") + marker, "--container");
    }
    // A made-up /proc: a tracer named proot as process 77.
    for (const char* proc : {"printf '6.1.0\\nWSL\\n' >/proc/sys/kernel/osrelease",
                             "printf 'TracerPid:\\t77\\n' >/proc/self/status",
                             "printf 'Name:\\tsh\\nTracerPid:\\t77x\\n' >/proc/self/status",
                             "{ printf X=; head -c 70000 /dev/zero | tr '\\0' A; printf '\\000container=lxc\\000'; } >/proc/1/environ"}) {
        cases.emplace_back(std::string("mount -t tmpfs tmpfs /proc && mkdir -p /proc/self /proc/1 /proc/77 /proc/sys/kernel"
                                       " && echo proot >/proc/77/comm && ") + proc, "--container");
    }
    const std::string cpu = ThisProcessorNames();
    for (const auto& [setup, question] : cases) {
        const auto [systemd, ours] = Run(setup, question);
        ASSERT_TRUE(ours.is_object()) << setup;
        const char* key = question == std::string("--vm") ? "hypervisor" : "container";
        const std::string answer = ours.value(key, ""), source = ours["sources"].value(key, "");
        // The known differences this machine's processor can show (the evidence tests hold them all).
        const bool known = (key == std::string("hypervisor") && testsupport::KnownHypervisorDifference(answer, systemd, cpu)) ||
                           (answer == "container-other" && source == "namespace" && systemd == "none") ||
                           (answer == "none" && systemd == "container-other" && setup.rfind("&& true") + 7 == setup.size());
        if (!known) {
            EXPECT_EQ(answer, systemd) << setup;
        }
    }
}

TEST_F(ReportSystem, UnprivilegedUserGetsRootsAnswer) {
    // The user runs a copy it can reach, wherever the checkout lives.
    const testsupport::TempDir copy;
    fs::permissions(copy.path(), fs::perms(0755));
    fs::copy_file(VMDETECT_CLI_PATH, copy.file("vmdetect"));
    fs::copy_file(VMDETECT_LIBRARY_PATH, copy.file("libvmdetect.so.1"));
    const std::string setup = OverSysClass("kvm-redhat-masked-2.txt");
    const auto root = Run(setup, "--vm").second;
    const auto nobody = Run(setup, "--vm", "setpriv --reuid=65534 --regid=65534 --clear-groups env LD_LIBRARY_PATH=" + copy.path() + " ",
                            copy.file("vmdetect")).second;
    ASSERT_TRUE(root.is_object());
    ASSERT_TRUE(nobody.is_object()) << "the copy in " << copy.path() << " cannot run as 65534";
    for (const char* key : {"hypervisor", "container", "firmware.product"}) {
        EXPECT_EQ(nobody.value(key, "?"), root.value(key, "")) << key;
    }
    EXPECT_EQ(root.value("firmware.product", ""), "KVM");
    EXPECT_TRUE(root.contains("firmware.uuid"));  // the UUID file is root's alone
    EXPECT_FALSE(nobody.contains("firmware.uuid"));
}

}  // namespace
