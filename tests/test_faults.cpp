// Faults from outside, each with one clear outcome: tools that are missing,
// hang, flood or write binary; configuration files that are missing,
// unreadable, malformed or huge; process entries that vanish under the walk;
// a host that ignores SIGCHLD or holds a thousand descriptors; sixteen
// threads making every call at once; and the shell boundary.
#include <alloca.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "detector/FirmwareCache.h"
#include "TestSupport.h"
#include "adapters/ZTPlatformInfo.h"
#include "ZTVMDetect.h"
#include "adapters/ZtProcess.h"

using testsupport::FakeTools;
using testsupport::LogCapture;
using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

using Clock = std::chrono::steady_clock;

using testsupport::SecondsSince;

// The runner's deadline in seconds, and the slack a loaded CI machine gets.
const double kDeadlineSeconds =
    std::chrono::duration<double>(ZtProcess::kDeadline).count();
constexpr double kSlackSeconds = 5.0;

// The byte-swapped UUID of the vmware-1 capture, as every call reports it.
constexpr const char* kVmwareUuid = "2CBC4D56-C90F-2A1F-BDD6-7E67436B3541";

// A directory for PATH: links to chosen system tools and scripts of a test.
class ToolBox {
public:
    ToolBox() { ::mkdir(path().c_str(), 0755); }
    std::string path() const { return m_dir.file("bin"); }
    void Link(const std::string& tool) {
        for (const char* dir : {"/usr/bin/", "/bin/", "/usr/sbin/", "/sbin/"}) {
            const std::string target = dir + tool;
            if (::access(target.c_str(), X_OK) == 0) {
                ASSERT_EQ(::symlink(target.c_str(), (path() + "/" + tool).c_str()), 0) << tool;
                return;
            }
        }
        FAIL() << "no " << tool << " on this machine";
    }
    // The fake dmidecode of tests/fakes and what it needs.
    void FakeDmidecode() {
        for (const char* tool : {"grep", "awk", "tr", "cat", "sleep"}) {
            Link(tool);
        }
        const std::string fake = std::string(VMDETECT_TEST_FAKES) + "/dmidecode";
        ASSERT_EQ(::symlink(fake.c_str(), (path() + "/dmidecode").c_str()), 0);
    }
    void Script(const std::string& name, const std::string& body) {
        const std::string file = path() + "/" + name;
        testsupport::WriteFile(file, "#!/bin/sh\n" + body);
        ASSERT_EQ(::chmod(file.c_str(), 0755), 0);
    }

private:
    TempDir m_dir;
};

// Whether any process runs with exactly these arguments.
bool ProcessListed(const std::string& args) {
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) {
        return false;
    }
    bool found = false;
    while (const struct dirent* entry = ::readdir(proc)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') {
            continue;
        }
        if (testsupport::ReadFile(std::string("/proc/") + entry->d_name + "/cmdline") == args) {
            found = true;
            break;
        }
    }
    ::closedir(proc);
    return found;
}

// A killed process may take a moment to leave the table on a loaded
// machine; one that still runs after two seconds was not killed.
bool ProcessRuns(const std::string& args) {
    for (int i = 0; i < 200; ++i) {
        if (!ProcessListed(args)) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

using testsupport::Args;

// ---------------------------------------------------------------- tools

TEST(FaultTools, MissingToolsEndInTheirFailureOutcome) {
    struct Case {
        const char* name;
        bool dmidecode;  // the fake dmidecode is on PATH
        const char* dmi;
        unsigned int flags;
        const char* logged;  // a line that must be logged, or nullptr
    };
    const Case cases[] = {
        // The pipeline's status is awk's: every field comes back empty, so
        // there is no guest bit and the identity outputs stay untouched.
        {"no dmidecode", false, "vmware-1.system.txt", 0u, nullptr},
        // grep finds nothing in an empty listing: Hyper-V, not Azure.
        {"no systemctl", true, "hyperv-1.system.txt", HV_HYPERV_VM,
         "Failed to check existence of service [Azure Linux Agent] . Rc [1]. Out : [], Err: ["},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeTools fakes;
        fakes.UseDmi(c.dmi);
        ToolBox box;
        if (c.dmidecode) {
            box.FakeDmidecode();
        } else {
            box.Link("grep");
            box.Link("awk");
        }
        ScopedEnv path("PATH", box.path().c_str());
        LogCapture log(4);
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(::DetectHypervisor(), c.flags);
        std::string uuid = "untouched";
        ::GetLocalVMUUID(uuid);
        // No bit: untouched. Hyper-V: the firmware UUID.
        EXPECT_EQ(uuid == "untouched", c.flags == 0) << uuid;
        EXPECT_LT(SecondsSince(start), kDeadlineSeconds);
        if (c.logged != nullptr) {
            EXPECT_TRUE(log.contains(c.logged));
            EXPECT_TRUE(log.contains("not found")) << "the shell's complaint is in the log";
        }
    }
}

// The two slow tests: each waits out the runner's deadline once.
TEST(FaultTools, HangingDmidecodeIsEndedByTheDeadline) {
    FakeTools fakes;
    fakes.UseDmi("vmware-1.system.txt");
    // A duration of this process's own, so that another run's sleeper is not taken for ours.
    const std::string duration = "61." + std::to_string(::getpid());
    ScopedEnv sleep("VMDETECT_FAKE_DMI_SLEEP", duration.c_str());
    LogCapture log(1);
    const Clock::time_point start = Clock::now();
    const unsigned int flags = ::DetectHypervisor();
    const double elapsed = SecondsSince(start);
    std::printf("hanging dmidecode: DetectHypervisor returned after %.2f s\n", elapsed);
    // The first query failed, which ends the read: no guest bit.
    EXPECT_EQ(flags, 0u);
    EXPECT_LT(elapsed, kDeadlineSeconds + kSlackSeconds);
    EXPECT_TRUE(log.contains("Failed to run the command Error"));
    // The whole pipeline was killed, the sleeping tool included.
    EXPECT_FALSE(ProcessRuns(Args({"sleep", duration})));
    // Nothing half-read was cached: once the tool answers, the read succeeds.
    ::unsetenv("VMDETECT_FAKE_DMI_SLEEP");
    EXPECT_EQ(::DetectHypervisor(), HV_VMWARE_VM);
}

TEST(FaultTools, HangingSystemctlIsEndedByTheDeadline) {
    FakeTools fakes;
    fakes.UseDmi("hyperv-1.system.txt");
    ::DetectHypervisor();  // fills the firmware cache: only the probe is timed
    ToolBox box;
    const std::string duration = "62." + std::to_string(::getpid());
    box.Script("systemctl", "exec sleep " + duration + "\n");
    const std::string path = box.path() + ":" + ::getenv("PATH");
    ScopedEnv env("PATH", path.c_str());
    LogCapture log(2);
    const Clock::time_point start = Clock::now();
    const unsigned int flags = ::DetectHypervisor();
    const double elapsed = SecondsSince(start);
    std::printf("hanging systemctl: DetectHypervisor returned after %.2f s\n", elapsed);
    EXPECT_EQ(flags, HV_HYPERV_VM);
    EXPECT_LT(elapsed, kDeadlineSeconds + kSlackSeconds);
    EXPECT_TRUE(log.contains("Failed to check existence of service [Azure Linux Agent] . Rc [-1]"));
    EXPECT_FALSE(ProcessRuns(Args({"sleep", duration})));
}

TEST(FaultTools, FloodingAndBinaryToolsGiveDataNeverGarbage) {
    struct Case {
        const char* name;
        std::string script;
        unsigned int flags;
        std::string manufacturer;
    };
    const std::string capture = "cat \"$VMDETECT_FAKE_DMI\"\n";
    const Case cases[] = {
        // 10 MiB on each stream before the record: both pipes are drained
        // together, so neither side blocks, and the record is read whole.
        {"10 MiB on stdout and stderr",
         "head -c 10485760 /dev/zero | tr '\\000' x\necho\n"
         "head -c 10485760 /dev/zero | tr '\\000' y >&2\n" + capture,
         HV_VMWARE_VM, "VMware, Inc."},
        // Far more than is kept: the rest is read and dropped, in time.
        {"64 MiB on stderr", "head -c 67108864 /dev/zero >&2\n" + capture, HV_VMWARE_VM,
         "VMware, Inc."},
        // grep takes input with NUL bytes for binary and prints no line:
        // every field is empty, so no bit and nothing cached.
        {"binary with NUL bytes", "printf 'junk\\000\\377\\033[2J\\n'\n" + capture, 0u, ""},
        // Without NUL bytes (C locale) the line is text; its bytes are kept as
        // they came, never interpreted.
        {"control and high bytes on the line",
         "printf '\\tManufacturer: \\377\\033[2J$(id)VMware\\n'\n", HV_VMWARE_VM,
         "\377\033[2J$(id)VMware"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeTools fakes;
        fakes.UseDmi("vmware-1.system.txt");
        ToolBox box;
        for (const char* tool : {"grep", "awk", "tr", "cat", "head"}) {
            box.Link(tool);
        }
        box.Script("dmidecode", c.script);
        ScopedEnv path("PATH", box.path().c_str());
        ScopedEnv locale("LC_ALL", "C");
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(::DetectHypervisor(), c.flags);
        EXPECT_LT(SecondsSince(start), kDeadlineSeconds);
        EXPECT_EQ(ZTVMDetect::c_sManufacturer, c.manufacturer);
    }
}

// ---------------------------------------------------------------- configuration

TEST(FaultConfig, BadFilesNeverReplaceTheUuid) {
    struct Case {
        const char* name;
        std::string content;  // written to the file; see `kind`
        enum Kind { File, Missing, Directory, Unreadable } kind;
        bool errorLogged;
    };
    std::string huge;
    for (int i = 0; i < 200000; ++i) {
        huge += "; padding line that nobody reads, only the size matters\n";
    }
    huge += "[VirtualServer]\nsProxyVMUUID = huge-file-uuid\n";
    // Only a missing file is silent; every other bad file is named in one
    // error line and gives no keys at all.
    const Case cases[] = {
        {"missing", "", Case::Missing, false},
        {"a directory", "", Case::Directory, true},
        {"unreadable", "[VirtualServer]\nsProxyVMUUID = secret\n", Case::Unreadable, true},
        {"malformed", "[VirtualServer\nsProxyVMUUID = half\n", Case::File, true},
        {"NUL byte", std::string("[VirtualServer]\nsProxyVMUUID = a\0b\n", 35), Case::File, true},
        {"huge (11 MiB)", huge, Case::File, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.kind == Case::Unreadable && ::geteuid() == 0) {
            continue;  // root reads any file; the directory case stands in
        }
        FakeTools fakes;
        fakes.UseDmi("vmware-1.system.txt");
        const std::string file = fakes.dir().file("vmdetect.conf");
        if (c.kind == Case::File || c.kind == Case::Unreadable) {
            testsupport::WriteFile(file, c.content);
        }
        if (c.kind == Case::Unreadable) {
            ::chmod(file.c_str(), 0);
        }
        if (c.kind == Case::Directory) {
            ::mkdir(file.c_str(), 0755);
        }
        ScopedEnv config("VMDETECT_CONFIG", file.c_str());
        LogCapture log(0);
        const Clock::time_point start = Clock::now();
        std::string uuid;
        ::GetLocalVMUUID(uuid);
        EXPECT_LT(SecondsSince(start), kDeadlineSeconds);
        EXPECT_EQ(uuid, kVmwareUuid);
        const std::vector<std::string> errors = log.matching(" ERROR ");
        if (c.errorLogged) {
            ASSERT_EQ(errors.size(), 1u);
            EXPECT_NE(errors[0].find("[" + file + "]"), std::string::npos) << errors[0];
        } else {
            EXPECT_TRUE(errors.empty());
        }
        EXPECT_FALSE(log.contains("secret"));
    }
}

TEST(FaultConfig, NumbersThatDoNotFitKeepTheDefault) {
    struct Case {
        const char* text;
        int found;
        unsigned int value;  // the caller's variable afterwards
    };
    const Case cases[] = {
        {"5", 1, 5u},
        {"0", 1, 0u},
        {"4294967295", 1, 4294967295u},
        {"4294967296", 1, 0u},  // fits 64 bits: its low 32 bits are stored
        {"4294967297", 1, 1u},
        {"18446744073709551615", 1, 4294967295u},
        {"18446744073709551616", 0, 1u},  // overflows 64 bits: not a number
        {"99999999999999999999999999999", 0, 1u},
        {"-1", 0, 1u},
        {"12abc", 0, 1u},
        {"", 0, 1u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        TempDir dir;
        testsupport::WriteFile(dir.file("vmdetect.conf"),
                               std::string("[VirtualServer]\nnOCIMetadataServiceTimeout = ") +
                                   c.text + "\n");
        ScopedEnv config("VMDETECT_CONFIG", dir.file("vmdetect.conf").c_str());
        ZTPlatformInfo info;
        unsigned int timeout = 1;
        EXPECT_EQ(info.getNumber("VirtualServer", "nOCIMetadataServiceTimeout", &timeout) != 0,
                  c.found != 0);
        EXPECT_EQ(timeout, c.value);
    }
}

// ---------------------------------------------------------------- process file system

TEST(FaultProc, EntriesVanishingMidWalkAreSkipped) {
    TempDir root;
    // A matching entry whose name reads as 0 sets the flag without ending
    // the walk, so every walk crosses all the entries that come and go.
    ::mkdir(root.file("docker-host").c_str(), 0755);
    testsupport::WriteFile(root.file("docker-host/cmdline"), Args({"/usr/bin/docker", "daemon"}));
    constexpr int kEntries = 1000;
    auto make = [&root](int i) {
        const std::string dir = root.file(std::to_string(10000 + i));
        ::mkdir(dir.c_str(), 0755);
        testsupport::WriteFile(dir + "/cmdline", Args({"/bin/sleep", "1000"}));
    };
    auto remove = [&root](int i) {
        const std::string dir = root.file(std::to_string(10000 + i));
        ::unlink((dir + "/cmdline").c_str());
        ::rmdir(dir.c_str());
    };
    for (int i = 0; i < kEntries; ++i) {
        make(i);
    }
    ScopedEnv proc("HOST_PROC", root.path().c_str());
    std::atomic<bool> stop{false};
    std::atomic<long> churned{0};
    std::thread churn([&] {
        while (!stop.load()) {
            for (int i = 0; i < kEntries && !stop.load(); ++i) {
                remove(i);
                make(i);
                churned.fetch_add(1);
            }
        }
    });
    int walks = 0;
    int wrong = 0;
    const Clock::time_point start = Clock::now();
    while (walks < 20 || (churned.load() < kEntries && SecondsSince(start) < 20)) {
        ZTVMDetect detector;
        if (!detector.IsDockerHost()) {
            ++wrong;
        }
        ++walks;
    }
    stop.store(true);
    churn.join();
    EXPECT_EQ(wrong, 0) << "of " << walks << " walks";
    EXPECT_GT(churned.load(), 0);
}

// ---------------------------------------------------------------- host process

// Sets a SIGCHLD disposition for its lifetime.
class ScopedSigchld {
public:
    explicit ScopedSigchld(void (*handler)(int)) {
        struct sigaction action {};
        action.sa_handler = handler;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(SIGCHLD, &action, &m_old);
    }
    ~ScopedSigchld() { ::sigaction(SIGCHLD, &m_old, nullptr); }
    ScopedSigchld(const ScopedSigchld&) = delete;
    ScopedSigchld& operator=(const ScopedSigchld&) = delete;

private:
    struct sigaction m_old {};
};

// A host that reaps every child itself, as some daemons do.
void ReapEverything(int) {
    const int saved = errno;
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    errno = saved;
}

TEST(FaultHost, ChildReapingHostsNeverHangTheRunner) {
    struct Case {
        const char* name;
        void (*handler)(int);
    };
    const Case cases[] = {{"SIGCHLD ignored", SIG_IGN}, {"SIGCHLD reaps every child", ReapEverything}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedSigchld disposition(c.handler);
        for (const int status : {0, 3, 42}) {
            const Clock::time_point start = Clock::now();
            std::string out;
            const int result = ZtProcess::run(("echo hi; exit " + std::to_string(status)).c_str(),
                                              &out, nullptr, std::chrono::seconds(5));
            EXPECT_LT(SecondsSince(start), 5.0 + kSlackSeconds);
            EXPECT_EQ(result, status);
            EXPECT_EQ(out, "hi\n");
        }
        FakeTools fakes;
        fakes.UseDmi("vmware-1.system.txt");
        const Clock::time_point start = Clock::now();
        const unsigned int flags = ::DetectHypervisor();
        EXPECT_EQ(flags, HV_VMWARE_VM);
        EXPECT_LT(SecondsSince(start), kDeadlineSeconds);
    }
}

TEST(FaultHost, ThousandOpenDescriptorsStayOutOfChildren) {
    struct rlimit limit {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur < 1100 && limit.rlim_max >= 1100) {
        limit.rlim_cur = 1100;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    std::vector<int> open;
    for (int i = 0; i < 1000; ++i) {
        const int fd = ::open("/dev/null", O_RDONLY);  // inheritable on purpose
        ASSERT_GE(fd, 0) << "after " << i;
        open.push_back(fd);
    }
    LogCapture log(4);  // the log's own descriptor is open as well
    std::string out;
    // ls lists its own descriptors: the three standard ones and the one it
    // reads the listing through, the lowest free number.
    const int result = ZtProcess::run("exec ls /proc/self/fd", &out, nullptr, std::chrono::seconds(5));
    for (const int fd : open) {
        ::close(fd);
    }
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "0\n1\n2\n3\n");
}

// ---------------------------------------------------------------- threads

TEST(FaultThreads, SixteenThreadsMakingAllFiveCallsAgree) {
    // Rounds per thread; the default is the full figure.
    const char* configured = ::getenv("VMDETECT_THREAD_ROUNDS");
    const int rounds = configured != nullptr ? std::atoi(configured) : 1000;
    FakeTools fakes;
    fakes.UseDmi("vmware-1.system.txt");
    const std::string daemon = fakes.dir().file("proc/4242");
    ::mkdir(daemon.c_str(), 0755);
    testsupport::WriteFile(daemon + "/cmdline", Args({"/usr/bin/docker", "daemon"}));

    constexpr int kThreads = 16;
    std::atomic<int> ready{0};
    std::atomic<long> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) {
                std::this_thread::yield();
            }
            // The cache starts empty: the first calls race to fill it.
            for (int i = 0; i < rounds; ++i) {
                std::string uuid, zone, region, project = "project";
                const unsigned int flags = ::DetectHypervisor();
                ::GetLocalVMUUID(uuid);
                ::GetLocalVMHostName(zone);
                ::GetLocalVMDataCenterName(region);
                ::GetLocalProjectId(project);
                if (flags != (HV_VMWARE_VM | HV_DOCKER_HOST) || uuid != kVmwareUuid ||
                    !zone.empty() || !region.empty() || !project.empty()) {
                    wrong.fetch_add(1);
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0) << "of " << kThreads * rounds << " rounds";
    // One fill for all of them: five command lines in all.
    EXPECT_EQ(fakes.Calls().size(), 5u);
}

// Runs `call` on a thread with only `bytes` of stack left to it; false when
// such a thread cannot be made. Overflowing that stack crashes the test.
// Where glibc refuses a stack that small (PTHREAD_STACK_MIN is 128 KiB on
// aarch64) the thread gets the minimum and spends the difference first.
bool RunOnStackOf(size_t bytes, const std::function<void()>& call) {
    struct Job {
        const std::function<void()>* call;
        size_t pad;
    } job{&call, 0};
    const size_t minimum = PTHREAD_STACK_MIN;
    if (bytes < minimum) {
        job.pad = minimum - bytes;
        bytes = minimum;
    }
    pthread_attr_t attributes;
    if (::pthread_attr_init(&attributes) != 0) {
        return false;
    }
    pthread_t thread;
    const bool made =
        ::pthread_attr_setstacksize(&attributes, bytes) == 0 &&
        ::pthread_create(&thread, &attributes, [](void* arg) -> void* {
            const Job& job = *static_cast<const Job*>(arg);
            volatile char* pad = job.pad > 0 ? static_cast<char*>(::alloca(job.pad)) : nullptr;
            if (pad != nullptr) {
                pad[0] = 0;  // touched, so the compiler keeps it
            }
            (*job.call)();
            return nullptr;
        }, &job) == 0;
    ::pthread_attr_destroy(&attributes);
    return made && ::pthread_join(thread, nullptr) == 0;
}

TEST(FaultThreads, HostThreadsWithSmallStacksAreEnough) {
    // musl gives a thread 128 KiB; the library keeps each path under 16 KiB,
    // so a 64 KiB thread has room to spare for the host's own frames.
    FakeTools fakes;
    fakes.UseDmi("vmware-1.system.txt");
    const std::string config = fakes.dir().file("vmdetect.conf");
    testsupport::WriteFile(config, "[VirtualServer]\nnOCIMetadataServiceTimeout = 1\n");
    ScopedEnv file("VMDETECT_CONFIG", config.c_str());
    std::string text;
    unsigned int flags = 0;
    struct Case {
        const char* name;
        std::function<void()> call;
        std::string text;
    } const cases[] = {
        {"runner", [&] { ZtProcess::system("echo hi", &text, nullptr, 0, false); }, "hi\n"},
        {"DetectHypervisor", [&] { flags = ::DetectHypervisor(); }, ""},
        {"GetLocalVMUUID", [&] { ::GetLocalVMUUID(text); }, kVmwareUuid},
    };
    for (const Case& c : cases) {
        text.clear();
        FakeTools::s_resetCache();
        ASSERT_TRUE(RunOnStackOf(64 * 1024, c.call)) << c.name;
        EXPECT_EQ(text, c.text) << c.name;
    }
    EXPECT_EQ(flags & HV_VMWARE_VM, HV_VMWARE_VM);
}

// ---------------------------------------------------------------- shell boundary

// Runs `body` with the working directory set to `dir`.
template <typename Body>
void InDirectory(const std::string& dir, Body body) {
    char old[4096];
    ASSERT_NE(::getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(::chdir(dir.c_str()), 0);
    body();
    ASSERT_EQ(::chdir(old), 0);
}

TEST(ShellBoundary, ProcRootsThatLookLikeOptionsOrHoldLineEndsAreStillPaths) {
    const char* const roots[] = {"-rproc", "-e x", "--file=proc", "line\nend", "tab\there", "*"};
    for (const char* name : roots) {
        SCOPED_TRACE(name);
        TempDir base;
        const std::string root = base.path() + "/" + name;
        ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
        ASSERT_EQ(::mkdir((root + "/xen").c_str(), 0755), 0);
        testsupport::WriteFile(root + "/xen/capabilities", "control_d\n");
        // Relative, so that the path given to grep begins with the name.
        ScopedEnv proc("HOST_PROC", name);
        InDirectory(base.path(), [] {
            ZTVMDetect detector;
            EXPECT_TRUE(detector.IsXenDom0());
        });
    }
}

TEST(ShellBoundary, NoInputByteReachesACommandLine) {
    // Hostile bytes from every source at once: the firmware record, the
    // configuration, and the environment the library reads.
    FakeTools fakes;
    const std::string payload = "'\"$(touch pwned)`touch pwned`;touch pwned|touch pwned";
    testsupport::WriteFile(fakes.dir().file("record"),
                           "\tManufacturer: Microsoft Corporation " + payload + "\n"
                           "\tSerial Number: " + payload + "\n\tUUID: " + payload +
                           "\n\tVersion: " + payload + "\n\tSMBIOS " + payload + "\n");
    fakes.UseDmi(fakes.dir().file("record"));
    testsupport::WriteFile(fakes.dir().file("vmdetect.conf"),
                           "[VirtualServer]\nsProxyVMUUID = " + payload +
                               "\nnOCIMetadataServiceTimeout = " + payload + "\n");
    ScopedEnv config("VMDETECT_CONFIG", fakes.dir().file("vmdetect.conf").c_str());
    ScopedEnv level("VMDETECT_LOG_LEVEL", payload.c_str());
    ScopedEnv gce("GCE_METADATA_HOST", payload.c_str());
    ScopedEnv ec2("AWS_EC2_METADATA_SERVICE_ENDPOINT", payload.c_str());
    ScopedEnv oci("VMDETECT_OCI_METADATA_ENDPOINT", payload.c_str());
    InDirectory(fakes.dir().path(), [&] {
        std::string a, b, c, d;
        ::DetectHypervisor();
        ::GetLocalVMUUID(a);
        ::GetLocalVMHostName(b);
        ::GetLocalVMDataCenterName(c);
        ::GetLocalProjectId(d);
    });
    EXPECT_NE(::access(fakes.dir().file("pwned").c_str(), F_OK), 0);
    // Only the fixed lines ran: the five queries once, then the service
    // probe for every call on Microsoft firmware.
    const std::string dmi = "/bin/sh -c dmidecode --type system | grep -i '";
    std::vector<std::string> expected = {
        dmi + "Manufacturer' | awk -F':' {'print $2'}", dmi + "Serial Number' | awk -F':' {'print $2'}",
        dmi + "UUID' | awk -F':' {'print $2'}", dmi + "SMBIOS' | awk -F' ' {'print $2'}",
        dmi + "Version' | awk -F':' {'print $2'}"};
    for (int i = 0; i < 5; ++i) {
        expected.push_back("systemctl");
    }
    EXPECT_EQ(fakes.Calls(), expected);
}

TEST(ShellBoundary, CallersQuotesStayInsideTheirWord) {
    // Texts a caller passes to the two public probes: each must reach the
    // command as one literal word, so no marker is made and nothing the
    // injected commands print reaches the value.
    struct Case {
        const char* name;
        std::string key;  // empty: the service probe with `service`
        std::string separator;
        std::string service;
    };
    const std::string run = "touch pwned; echo INJECTED";
    const Case cases[] = {
        {"key ending the quote", "x' /dev/null; " + run + "; echo '", ":", ""},
        {"key with a subshell", "'$(" + run + ")'", ":", ""},
        {"key of quotes only", "'''", ":", ""},
        {"separator ending the quote", "Manufacturer", ":' {'print $2'}; " + run + "; echo '", ""},
        {"service name ending the quote", "", "", "x' /dev/null; " + run + "; echo '"},
        {"service name with backquotes", "", "", "'`" + run + "`'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeTools fakes;
        fakes.UseDmi("vmware-1.system.txt");
        fakes.UseSystemctl("azure-ubuntu2204-list-units-type-service-active-grep-1.txt");
        InDirectory(fakes.dir().path(), [&] {
            ZTVMDetect detector;
            std::string value = "untouched";
            bool exists = false;
            if (!c.key.empty()) {
                detector.DMIDecode(c.key, value, c.separator);
            } else {
                detector._DoesUnixServiceExist(c.service, exists);
                EXPECT_FALSE(exists);
            }
            EXPECT_EQ(value.find("INJECTED"), std::string::npos) << value;
        });
        EXPECT_NE(::access(fakes.dir().file("pwned").c_str(), F_OK), 0);
    }
}

}  // namespace
