// Host roles: the Docker daemon walk over built process trees and the real
// process table, and the Xen control-domain check.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "ZTVMDetect.h"

using testsupport::FakeTools;
using testsupport::LogCapture;
using testsupport::ScopedEnv;
using testsupport::TempDir;

extern char** environ;

namespace {

using testsupport::Args;

struct Process {
    std::string name;
    std::string cmdline;  // "-" for no cmdline file
};

void Build(const std::string& root, const std::vector<Process>& processes) {
    for (const Process& p : processes) {
        const std::string dir = root + "/" + p.name;
        ::mkdir(dir.c_str(), 0755);
        if (p.cmdline != "-") {
            testsupport::WriteFile(dir + "/cmdline", p.cmdline);
        }
    }
}

std::string Fixture(const char* name) { return testsupport::ReadFile(testsupport::DataPath(std::string("cmdline/") + name)); }

TEST(DockerWalk, FindsTheDaemonByItsFirstArgument) {
    struct Case {
        const char* name;
        std::string cmdline;
        bool found;
    };
    const Case cases[] = {
        {"legacy docker daemon", Fixture("docker-legacy-daemon-subcommand.cmdline"), true},
        {"dockerd under systemd", Fixture("dockerd-18.09-plus.cmdline"), true},
        {"rootless dockerd", Args({"dockerd"}), true},
        {"rootless wrapper script", Args({"/home/u/bin/dockerd-rootless.sh"}), false},
        {"dockerd only in a later argument", Args({"/usr/bin/rootlesskit", "dockerd"}), false},
        {"docker-proxy", Args({"/usr/bin/docker-proxy", "-proto", "tcp", "-host-port", "8080"}), false},
        {"containerd", Args({"/usr/bin/containerd"}), false},
        {"containerd-shim", Args({"/usr/bin/containerd-shim-runc-v2", "-namespace", "moby"}), false},
        {"containerd child", Fixture("negative-docker-containerd-child.cmdline"), false},
        {"docker-daemon", Args({"/usr/bin/docker-daemon", "--debug"}), true},
        {"only docker", Args({"docker"}), false},
        {"words in later arguments", Args({"/bin/sh", "/opt/docker", "daemon"}), false},
        {"empty cmdline", "", false},
        {"no NUL at all", "/usr/bin/docker daemon", true},
        {"docker near the read limit", std::string(4089, 'x') + "docker" + std::string(1, '\0') + "daemon", false},
        {"daemon past the read limit", "/usr/bin/docker" + std::string(1, '\0') + std::string(4090, 'y') + "daemon", false},
        {"long line that matches early", Args({"/usr/bin/docker", "daemon", std::string(8000, 'z')}), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir root;
        Build(root.path(), {{"1", Args({"/sbin/init"})}, {"4321", c.cmdline}, {"77", "-"}});
        testsupport::WriteFile(root.file("uptime"), "1.0 2.0\n");
        ScopedEnv proc("HOST_PROC", root.path().c_str());
        ZTVMDetect detector;
        LogCapture log(2);
        EXPECT_EQ(detector.IsDockerHost(), c.found);
        EXPECT_EQ(log.contains("DEBUG2 bool ZTVMDetect::IsDockerHost(): Docker daemon running as pid 4321"), c.found);
    }
}

TEST(DockerWalk, FoundPidTravelsAsTheErrorCode) {
    TempDir root;
    Build(root.path(), {{"1234", Args({"/usr/bin/docker", "daemon"})}});
    bool found = false;
    const CYbError result = ZTVMDetect::DockerProcWalker((root.path() + "/").c_str(), "1234", true, &found);
    EXPECT_TRUE(found);
    EXPECT_EQ(result.GetErrorCode(), 1234);
    EXPECT_FALSE(result.IsError());
    ASSERT_NE(result.GetDetail(), nullptr);
    EXPECT_EQ(result.GetDetail()->where.line, 910);
    EXPECT_STREQ(result.GetDetail()->where.function,
                 "static CYbError ZTVMDetect::DockerProcWalker(const char*, const char*, bool, void*)");
    EXPECT_EQ(result.GetDetail()->message, "Found docker daemon pid 1234");

    // Not a directory: skipped whatever it holds.
    found = false;
    EXPECT_EQ(ZTVMDetect::DockerProcWalker((root.path() + "/").c_str(), "1234", false, &found).GetErrorCode(), 0);
    EXPECT_FALSE(found);
}

TEST(DockerWalk, NameReadingAsZeroSetsTheFlagAndWalksOn) {
    TempDir root;
    Build(root.path(), {{"self", Args({"/usr/bin/docker", "daemon"})}, {"12", Args({"/bin/bash"})}});
    ScopedEnv proc("HOST_PROC", root.path().c_str());
    ZTVMDetect detector;
    LogCapture log(2);
    EXPECT_TRUE(detector.IsDockerHost());
    // The walk ended with success: code 0 is logged.
    EXPECT_TRUE(log.contains("Docker daemon running as pid 0"));
}

TEST(DockerWalk, TwoDaemonsReportOne) {
    TempDir root;
    Build(root.path(), {{"100", Args({"/usr/bin/docker", "daemon"})}, {"200", Args({"/usr/bin/docker", "daemon"})}});
    ScopedEnv proc("HOST_PROC", root.path().c_str());
    ZTVMDetect detector;
    LogCapture log(2);
    EXPECT_TRUE(detector.IsDockerHost());
    const std::vector<std::string> lines = log.matching("Docker daemon running as pid");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].find("pid 100") != std::string::npos || lines[0].find("pid 200") != std::string::npos);
}

TEST(DockerWalk, UnreadableRootIsNoDockerHostAndSilent) {
    ScopedEnv proc("HOST_PROC", "/nonexistent/vmdetect-proc");
    ZTVMDetect detector;
    LogCapture log(4);
    EXPECT_FALSE(detector.IsDockerHost());
    EXPECT_TRUE(log.matching("Docker").empty());
}

TEST(DockerWalk, FindsARealProcessInTheRealTable) {
    ScopedEnv proc("HOST_PROC", nullptr);
    ScopedEnv sleeper("VMDETECT_TEST_SLEEPER", "1");
    std::vector<std::string> words = {"/usr/local/bin/docker", "daemon"};
    std::string path = "/proc/self/exe";
    if (testsupport::UnderEmulator()) {
        // The table shows the emulator's own argument vector: its first word
        // is ours to name the daemon with, this program follows.
        words = testsupport::Launcher();
        path = words[0];
        words[0] = "/usr/local/bin/dockerd";
        char self[4096] = {};
        ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
        words.push_back(self);
    }
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(&word[0]);
    }
    argv.push_back(nullptr);
    pid_t child = -1;
    ASSERT_EQ(::posix_spawnp(&child, path.c_str(), nullptr, nullptr, argv.data(), environ), 0);
    // Wait until the child has exec'd and shows its new argument vector.
    const std::string cmdlinePath = "/proc/" + std::to_string(child) + "/cmdline";
    for (int i = 0; i < 500 && testsupport::ReadFile(cmdlinePath).find("docker") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ZTVMDetect detector;
    LogCapture log(2);
    const bool found = detector.IsDockerHost();
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(found);
    EXPECT_TRUE(log.contains("Docker daemon running as pid " + std::to_string(child)));
}

TEST(XenDom0, CapabilitiesDecide) {
    struct Case {
        const char* name;
        const char* capabilities;  // nullptr: no file
        bool dom0;
    };
    const Case cases[] = {
        {"control domain", "control_d\n", true},
        {"guest", "\n", false},
        {"empty", "", false},
        {"no file", nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir root;
        if (c.capabilities != nullptr) {
            ::mkdir(root.file("xen").c_str(), 0755);
            testsupport::WriteFile(root.file("xen/capabilities"), c.capabilities);
        }
        ScopedEnv proc("HOST_PROC", root.path().c_str());
        ZTVMDetect detector;
        LogCapture log(1);
        EXPECT_EQ(detector.IsXenDom0(), c.dom0);
        EXPECT_TRUE(log.contains("DEBUG bool ZTVMDetect::IsXenDom0(): Checking for " + root.path() + "/xen/capabilities"));
    }
}

TEST(XenDom0, OddProcRootsAreQuotedNeverRun) {
    const char* const names[] = {"a b", "it's", "$(touch pwned)", "`touch pwned`", "x;touch pwned", "q\"uote"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        TempDir base;
        const std::string root = base.path() + "/" + name;
        ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
        ::mkdir((root + "/xen").c_str(), 0755);
        testsupport::WriteFile(root + "/xen/capabilities", "control_d\n");
        ScopedEnv proc("HOST_PROC", root.c_str());
        ScopedEnv cwd("PWD", base.path().c_str());
        ZTVMDetect detector;
        EXPECT_TRUE(detector.IsXenDom0());
        EXPECT_NE(::access((base.path() + "/pwned").c_str(), F_OK), 0);
        EXPECT_NE(::access("pwned", F_OK), 0);
    }
}

TEST(HostRoles, DetectHypervisorCombinesRolesWithTheGuestBit) {
    struct Case {
        bool docker;
        bool xen;
        unsigned int flags;
        const char* text;
    };
    const Case cases[] = {
        {false, false, 0x1, "VMware VM"},
        {true, false, 0x20001, "VMware VM, Docker Host"},
        {false, true, 0x40001, "VMware VM, XEN Host"},
        {true, true, 0x60001, "VMware VM, Docker Host, XEN Host"},
    };
    for (const Case& c : cases) {
        FakeTools fakes;
        fakes.UseDmi("vmware-1.system.txt");
        const std::string root = fakes.dir().file("proc");
        if (c.docker) {
            Build(root, {{"555", Args({"/usr/bin/docker", "daemon"})}});
        }
        if (c.xen) {
            ::mkdir((root + "/xen").c_str(), 0755);
            testsupport::WriteFile(root + "/xen/capabilities", "control_d\n");
        }
        ZTVMDetect detector;
        LogCapture log(1);
        EXPECT_EQ(detector.DetectHypervisor(), c.flags);
        EXPECT_TRUE(log.contains(std::string("DEBUG unsigned int ZTVMDetect::DetectHypervisor(): Local Hypervisor type: [") + c.text + "]"));
    }
}

TEST(HostRoles, NothingFoundLogsNothingAtTheTop) {
    FakeTools fakes;  // no DMI record: every field comes back empty
    ZTVMDetect detector;
    LogCapture log(4);
    EXPECT_EQ(detector.DetectHypervisor(), 0u);
    EXPECT_FALSE(log.contains("Local Hypervisor type"));
    std::string a, b;
    bool installed = false;
    EXPECT_FALSE(detector.IsHyperVRoleInstalled("x", "y", "z", installed, a));
    EXPECT_FALSE(installed);
    EXPECT_EQ(a, "");
    (void)b;
}

}  // namespace
