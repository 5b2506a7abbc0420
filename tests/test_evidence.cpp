// Evidence directories: collected on this machine or on made-up roots, and
// replayed through the command on any build, whatever architecture they name.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testsupport::TempDir;
using testsupport::WriteFile;

using testsupport::Shell;

// The command, with the safe defaults the suite set, and `args`; "rc=N" ends its output.
std::string Cli(const std::string& args) {
    return Shell(testsupport::LaunchCommand(VMDETECT_CLI_PATH) + " " + args + " 2>&1; echo rc=$?");
}

nlohmann::json ReportOf(const std::string& dir) {
    const std::string out = Cli("--evidence " + dir + " --report");
    return nlohmann::json::parse(out.substr(0, out.rfind('\n')), nullptr, false);
}

// A CPUID line; a signature goes into EBX ECX EDX (leaves 0 and 0x21: EBX EDX ECX).
std::string Leaf(std::uint32_t leaf, std::uint32_t eax, const char* signature = "", std::uint32_t ebx = 0) {
    std::uint32_t r[3] = {ebx, 0, 0};
    if (*signature != '\0') std::memcpy(r, signature, std::min<std::size_t>(std::strlen(signature), 12));
    if (leaf == 0 || leaf == 0x21) std::swap(r[1], r[2]);
    char line[80];
    std::snprintf(line, sizeof line, "0x%08x 0x00000000 0x%08x 0x%08x 0x%08x 0x%08x", leaf, eax, r[0], r[1], r[2]);
    return line;
}
const std::string kHvBit = "0x00000001 0x00000000 0x00000000 0x00000000 0x80000000 0x00000000";
const std::string kKvm = Leaf(0x40000000, 0, "KVMKVMKVM");
const std::string kAmd = Leaf(0, 0x10, "AuthenticAMD");
const std::string kIntel = Leaf(0, 0x21, "GenuineIntel");
const std::string kSevLeaves = Leaf(0x80000000, 0x8000001f) + "\n" + Leaf(0x8000001f, 0x2);
// Azure's isolated guests: Hyper-V's signature, isolation (bit 22) and a type.
std::string HyperVIsolation(std::uint32_t type) {
    return Leaf(0x40000000, 0x4000000c, "Microsoft Hv") + "\n" + Leaf(0x40000003, 0, "", 1u << 22) + "\n" +
           Leaf(0x4000000c, 0, "", type);
}

// One collected machine: its uname machine, CPUID lines and files by path in
// the directory ("->" makes a link to the rest, "|" a FIFO); the three
// verdicts ("" where the key is absent) and host.arch.
struct Row {
    const char* what;
    const char* machine;
    std::string cpuid;
    std::vector<std::pair<std::string, std::string>> files;
    const char* hypervisor;
    const char* container;
    const char* confidential;
    const char* arch;
    // A known difference: systemd 252's answer, and which upstream version mends it and why.
    const char* systemd252 = nullptr;
    const char* mended = nullptr;
};

void WriteEvidence(const std::string& dir, const Row& row) {
    WriteFile(dir + "/format", "vmdetect-evidence 1\n");
    WriteFile(dir + "/uname", std::string(row.machine) + "\n6.1.0\n");
    if (!row.cpuid.empty()) WriteFile(dir + "/cpuid", row.cpuid + "\n");
    for (const auto& [path, content] : row.files) {
        const std::string file = dir + "/" + path;
        fs::create_directories(fs::path(file).parent_path());
        if (path.back() == '/') {
            fs::create_directories(file);
        } else if (content.rfind("->", 0) == 0) {
            fs::create_symlink(content.substr(2), file);
        } else if (content == "|") {
            ::mkfifo(file.c_str(), 0644);
        } else {
            WriteFile(file, content);
        }
    }
}

void ExpectReplay(const Row& row) {
    const TempDir dir;
    WriteEvidence(dir.path(), row);
    const nlohmann::json report = ReportOf(dir.path());
    ASSERT_TRUE(report.is_object()) << row.what;
    EXPECT_EQ(report.value("hypervisor", "?"), row.hypervisor) << row.what;
    EXPECT_EQ(report.value("container", "?"), row.container) << row.what;
    EXPECT_EQ(report.value("confidential", ""), row.confidential) << row.what;
    EXPECT_EQ(report.value("host.arch", ""), row.arch) << row.what;
}

const std::vector<std::pair<std::string, std::string>> kGce = {  // gce-1.txt
    {"sys/class/dmi/id/sys_vendor", "Google\n"}, {"sys/class/dmi/id/product_name", "Google Compute Engine\n"}};

TEST(Evidence, ReplayedDirectoriesGiveTheirMachinesReport) {
    const Row rows[] = {
        {"Hyper-V alone", "x86_64", kHvBit + "\n" + Leaf(0x40000000, 0, "Microsoft Hv"),
         {{"sys/class/dmi/id/sys_vendor", "Microsoft Corporation\n"}}, "microsoft", "none", "", "amd64"},
        {"initial PID namespace", "x86_64", "", {}, "none", "none", "", "amd64"},
        {"docker marker before the namespace", "x86_64", "", {{"root/.dockerenv", ""}, {"ns", "pid 4026532200\n"}},
         "none", "docker", "", "amd64"},
        {"ARM KVM", "aarch64", "", {{"proc/device-tree/hypervisor/compatible", std::string("linux,kvm\0", 10)}},
         "kvm", "none", "", "arm64"},
        {"ARM Xen", "aarch64", "", {{"proc/device-tree/hypervisor/compatible", "xen,xen-4.16"}}, "xen", "none", "", "arm64"},
        {"ARM QEMU by fw-cfg", "aarch64", "", {{"proc/device-tree/fw-cfg@9020000/", ""}}, "qemu", "none", "", "arm64"},
        {"ARM ignores x86 CPUID", "aarch64", kHvBit + "\n" + Leaf(0x40000000, 0, "KVMKVMKVM"), {}, "none", "none", "", "arm64"},
        {"Arm CCA device", "aarch64", "", {{"sys/devices/platform/arm-cca-dev/", ""}}, "none", "none", "cca", "arm64"},
        {"Arm CCA realm flag", "aarch64", "", {{"sys/firmware/cca/realm_guest", "1\n"}}, "none", "none", "cca", "arm64"},
        {"PowerVM", "ppc64le", "", {{"proc/device-tree/ibm,partition-name", "lpar1"}, {"proc/device-tree/hmc-managed?", ""}},
         "powervm", "none", "", "ppc64"},
        {"QEMU pseries, no hypervisor node", "ppc64le", "", {{"proc/device-tree/compatible", std::string("qemu,pseries\0", 13)}},
         "qemu", "none", "", "ppc64"},
        {"QEMU pseries under KVM", "ppc64le", "", {{"proc/device-tree/compatible", std::string("qemu,pseries\0", 13)},
         {"proc/device-tree/hypervisor/compatible", std::string("linux,kvm\0", 10)}}, "kvm", "none", "", "ppc64"},
        {"z/VM", "s390x", "", {{"proc/sysinfo", "LPAR Name: X\nVM00 Control Program: z/VM    7.2.0\n"}}, "zvm", "none", "", "s390x"},
        {"s390 Secure Execution", "s390x", "", {{"proc/sysinfo", "VM00 Control Program: KVM/Linux\n"},
         {"sys/firmware/uv/prot_virt_guest", "1\n"}}, "kvm", "none", "protvirt", "s390x"},
        {"s390 without Secure Execution", "s390x", "", {{"sys/firmware/uv/prot_virt_guest", "0\n"}}, "none", "none", "", "s390x"},
        {"machine without rules", "mips64", kHvBit + "\n" + Leaf(0x40000000, 0, "KVMKVMKVM"), {}, "none", "none", "", "mips64"},
        // Confidential guests.
        {"SEV-SNP by the MSR", "x86_64", kHvBit + "\n" + kAmd + "\n" + kKvm + "\n" + kSevLeaves, {{"msr", "0xc0010131 0x0000000000000007\n"}},
         "kvm", "none", "sev-snp", "amd64"},
        {"SEV-ES by the MSR", "x86_64", kHvBit + "\n" + kAmd + "\n" + kKvm + "\n" + kSevLeaves, {{"msr", "0xc0010131 0x0000000000000003\n"}},
         "kvm", "none", "sev-es", "amd64"},
        {"SEV by the MSR", "x86_64", kHvBit + "\n" + kAmd + "\n" + kKvm + "\n" + kSevLeaves, {{"msr", "0xc0010131 0x0000000000000001\n"}},
         "kvm", "none", "sev", "amd64"},
        {"SEV offered, MSR says none", "x86_64", kHvBit + "\n" + kAmd + "\n" + kKvm + "\n" + kSevLeaves, {{"msr", "0xc0010131 0x0000000000000000\n"}},
         "kvm", "none", "", "amd64"},
        {"SEV-SNP by the MSR, vmpl too", "x86_64", kHvBit + "\n" + kAmd + "\n" + kKvm + "\n" + kSevLeaves,
         {{"msr", "0xc0010131 0x0000000000000007\n"}, {"sys/devices/system/cpu/sev/vmpl", "0\n"}}, "kvm", "none", "sev-snp", "amd64"},
        {"SEV-SNP without the MSR, by vmpl", "x86_64", kHvBit + "\n" + kAmd + "\n" + kKvm + "\n" + kSevLeaves,
         {{"sys/devices/system/cpu/sev/vmpl", "0\n"}}, "kvm", "none", "sev-snp", "amd64"},
        {"SEV-SNP without the MSR, by the guest device", "x86_64", kHvBit + "\n" + kAmd + "\n" + kKvm + "\n" + kSevLeaves,
         {{"sys/devices/platform/sev-guest/", ""}}, "kvm", "none", "sev-snp", "amd64"},
        {"SEV without the MSR or a mark", "x86_64", kHvBit + "\n" + kAmd + "\n" + kKvm + "\n" + kSevLeaves, {}, "kvm", "none", "sev", "amd64"},
        {"Azure SEV-SNP", "x86_64", kHvBit + "\n" + kAmd + "\n" + HyperVIsolation(2), {}, "microsoft", "none", "sev-snp", "amd64"},
        {"Azure TDX", "x86_64", kHvBit + "\n" + kIntel + "\n" + HyperVIsolation(3), {}, "microsoft", "none", "tdx", "amd64"},
        {"Azure VBS isolation", "x86_64", kHvBit + "\n" + kAmd + "\n" + HyperVIsolation(1), {}, "microsoft", "none", "", "amd64"},
        {"TDX", "x86_64", kHvBit + "\n" + kIntel + "\n" + Leaf(0x21, 0, "IntelTDX    ") + "\n" + Leaf(0x40000000, 0, "KVMKVMKVM"),
         {}, "kvm", "none", "tdx", "amd64"},
        {"bare-metal AMD offering SEV", "x86_64", kAmd + "\n" + kSevLeaves, {}, "none", "none", "", "amd64"},
        // Bad input: taken as absent, never followed or waited on.
        {"unparsable CPUID line", "x86_64", "0x00000001 0x0 zz\n" + Leaf(0x40000000, 0, "KVMKVMKVM"), {}, "none", "none", "", "amd64"},
        {"link out of the directory", "x86_64", "", {{"sys/class/dmi/id/product_name", "->/proc/self/cmdline"}},
         "none", "none", "", "amd64"},
        {"link within the directory", "x86_64", "", {{"sys/class/dmi/id/product_name", "->../../../../kvm"}, {"kvm", "KVM\n"}},
         "kvm", "none", "", "amd64"},
        {"FIFO for a marker", "x86_64", "", {{"root/run/systemd/container", "|"}}, "none", "none", "", "amd64"},
    };
    for (const Row& row : rows) ExpectReplay(row);
    // Collected on a real x86 KVM guest in a Docker container: any build replays it.
    const auto real = ReportOf(testsupport::DataPath("evidence/kvm-docker-x86_64-1"));
    EXPECT_EQ(real.value("hypervisor", "") + " " + real.value("container", "") + " " + real.value("host.arch", ""),
              "kvm docker amd64");
    // The other forms of one replayed confidential guest.
    const TempDir dir;
    WriteEvidence(dir.path(), *std::find_if(std::begin(rows), std::end(rows),
                                            [](const Row& r) { return r.what == std::string("Azure TDX"); }));
    const std::string forms[][2] = {
        {"--cvm", "tdx\nrc=0"}, {"--cvm -q", "rc=0"},
        {"--otel", "vmdetect.hypervisor=microsoft,vmdetect.container=none,vmdetect.confidential=tdx,host.arch=amd64,os.type=linux\nrc=0"},
    };
    for (const auto& [args, out] : forms) EXPECT_EQ(Cli("--evidence " + dir.path() + " " + args), out) << args;
    EXPECT_NE(Cli("--evidence " + dir.path() + " --prometheus").find("confidential=\"tdx\""), std::string::npos);
}

// Where systemd-detect-virt 252 (Debian 12) is plainly wrong and the report
// follows upstream: the README shows the same table.
TEST(Evidence, KnownDifferencesFromSystemd252) {
    const Row rows[] = {
        {"gce-1 without a hypervisor (Google bare metal)", "x86_64", "", kGce, "none", "none", "", "amd64", "google",
         "258: DMI names Google's guests only beside KVM's signature"},
        {"gce-1 over bhyve", "x86_64", kHvBit + "\n" + Leaf(0x40000000, 0, "bhyve bhyve "), kGce, "bhyve", "none", "", "amd64",
         "google", "258: as above"},
        {"gce-1 over Hyper-V", "x86_64", kHvBit + "\n" + Leaf(0x40000000, 0, "Microsoft Hv"), kGce, "microsoft", "none", "",
         "amd64", "google", "258: as above"},
        {"gce-1 over KVM", "x86_64", kHvBit + "\n" + kKvm, kGce, "google", "none", "", "amd64", "google", "none: agrees"},
        {"QEMU with Hyper-V enlightenments", "x86_64", kHvBit + "\n" + Leaf(0x40000000, 0, "Microsoft Hv"),
         {{"sys/class/dmi/id/sys_vendor", "QEMU\n"}}, "qemu", "none", "", "amd64", "microsoft",
         "256: Hyper-V's signature waits for DMI, /sys/hypervisor, device tree and z/VM"},
        {"OpenStack KVM with enlightenments", "x86_64", kHvBit + "\n" + Leaf(0x40000000, 0, "Microsoft Hv"),
         {{"sys/class/dmi/id/product_name", "OpenStack Compute\n"}}, "kvm", "none", "", "amd64", "microsoft", "256: as above"},
        {"PID namespace", "x86_64", "", {{"ns", "pid 4026532200\n"}}, "none", "container-other", "", "amd64", "none",
         "257: a PID namespace other than the initial one is a container"},
        {"nested cgroup alone", "x86_64", "", {{"sys/fs/cgroup/cgroup.events", ""}, {"sys/fs/cgroup/cgroup.type", ""}},
         "none", "none", "", "amd64", "container-other", "258: the cgroup-namespace guess is dropped"},
        {"crosvm, QEMU virt without fw-cfg", "aarch64", "", {{"proc/device-tree/compatible", std::string("linux,dummy-virt\0", 17)}},
         "vm-other", "none", "", "arm64", "none", "258: linux,dummy-virt is a virtual board"},
        {"Oracle's own server", "x86_64", "", {{"sys/class/dmi/id/sys_vendor", "Oracle Corporation\n"}},
         "none", "none", "", "amd64", "oracle", "not upstream: VirtualBox shows the hypervisor bit, Oracle's servers do not"},
        {"Oracle's server over a hypervisor", "x86_64", kHvBit + "\n" + kKvm, {{"sys/class/dmi/id/sys_vendor", "Oracle Corporation\n"}},
         "oracle", "none", "", "amd64", "oracle", "none: agrees"},
        {"VirtualBox by its board vendor", "x86_64", kHvBit + "\n" + Leaf(0x40000000, 0, "VBoxVBoxVBox"),
         {{"sys/class/dmi/id/board_vendor", "Oracle Corporation\n"}}, "oracle", "none", "", "amd64", "oracle", "none: agrees"},
    };
    for (const Row& row : rows) {
        ASSERT_NE(row.mended, nullptr) << row.what;
        ExpectReplay(row);
        // The live comparisons accept exactly the x86 hypervisor differences,
        // from what the processor alone names, whichever hypervisor it is.
        const TempDir processor;
        WriteEvidence(processor.path(), Row{"", row.machine, row.cpuid, {}, "", "", "", ""});
        const std::string cpu = ReportOf(processor.path()).value("hypervisor", "?");
        const std::string systemd = row.systemd252;
        const bool vmDifference = row.machine == std::string("x86_64") && systemd != row.hypervisor &&
                                  systemd.rfind("container", 0) != 0;
        EXPECT_EQ(testsupport::KnownHypervisorDifference(row.hypervisor, systemd, cpu), vmDifference) << row.what;
    }
}

TEST(Evidence, DirectoriesWithoutTheFormatAreRefused) {
    for (const char* format : {"", "vmdetect-evidence 2\n", "-"}) {
        const TempDir dir;
        WriteEvidence(dir.path(), Row{"", "x86_64", "", {}, "", "", "", ""});
        if (*format == '-') fs::remove(dir.file("format")); else WriteFile(dir.file("format"), format);
        const std::string out = Cli("--evidence " + dir.path() + " --otel");
        EXPECT_EQ(out, "vmdetect: " + dir.path() + " is not a vmdetect evidence directory (no format line "
                       "'vmdetect-evidence 1')\nrc=1") << format;
    }
}

// Collected here and replayed, the report is the one of this machine; a
// made-up machine keeps its private files and PID 1's secrets to itself.
TEST(Evidence, CollectedReportEqualsTheLiveOne) {
    const TempDir dir;
    const std::string live = Cli("--report --no-network");
    EXPECT_EQ(Cli("--collect " + dir.file("here")), live);
    EXPECT_EQ(Cli("--evidence " + dir.file("here") + " --report"), live);
    WriteFile(dir.file("here/kept"), "x");
    EXPECT_EQ(Cli("--collect " + dir.file("here")),
              "vmdetect: cannot collect into " + dir.file("here") + ": it exists and is not empty\nrc=1");
    EXPECT_EQ(testsupport::ReadFile(dir.file("here/kept")), "x");

    const std::string m = dir.file("machine");
    for (const auto& [path, content] : std::vector<std::pair<std::string, std::string>>{
             {"sys/class/dmi/id/sys_vendor", "QEMU\n"}, {"sys/class/dmi/id/product_uuid", "0b1e-uuid\n"},
             {"sys/class/dmi/id/product_serial", "SN-1\n"},
             {"proc/1/environ", std::string("TOKEN=secret\0container=lxc\0", 28)}}) {
        fs::create_directories(fs::path(m + "/" + path).parent_path());
        WriteFile(m + "/" + path, content);
    }
    const std::string roots = "HOST_SYS=" + m + "/sys HOST_PROC=" + m + "/proc HOST_ROOT=" + m + " ";
    for (const bool withPrivate : {false, true}) {
        const std::string out = dir.file(withPrivate ? "private" : "public");
        const std::string printed = Shell(roots + testsupport::LaunchCommand(VMDETECT_CLI_PATH) + " --collect " + out +
                                          (withPrivate ? " --private" : ""));
        const auto report = nlohmann::json::parse(printed, nullptr, false);
        EXPECT_EQ(report.value("firmware.vendor", "") + " " + report.value("container", ""), "QEMU lxc") << printed;
        EXPECT_EQ(report.contains("firmware.uuid"), withPrivate) << printed;
        EXPECT_EQ(fs::exists(out + "/sys/class/dmi/id/product_serial"), withPrivate);
        EXPECT_EQ(testsupport::ReadFile(out + "/proc/1/environ"), std::string("container=lxc\0", 14));
    }
}

}  // namespace
