// Resource hygiene: warm calls neither keep descriptors nor grow memory.
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "TestSupport.h"
#include "ZTVMDetect.h"

using testsupport::FakeTools;
using testsupport::kSanitized;
using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

long ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * ::sysconf(_SC_PAGESIZE);
}

TEST(Hygiene, WarmCallsKeepDescriptorsAndMemoryFlat) {
    // Calls of each function; VMDETECT_HYGIENE_CALLS raises it for a long run.
    const char* configured = ::getenv("VMDETECT_HYGIENE_CALLS");
    const long calls = configured != nullptr ? std::atol(configured) : 20000;
    FakeTools fakes;
    fakes.UseDmi("vmware-1.system.txt");
    // A small process table, walked by every DetectHypervisor call.
    for (const char* pid : {"1", "2", "300", "4000"}) {
        const std::string dir = fakes.dir().file(std::string("proc/") + pid);
        ::mkdir(dir.c_str(), 0755);
        testsupport::WriteFile(dir + "/cmdline", std::string("/usr/sbin/sshd\0-D\0", 18));
    }
    std::string uuid;
    for (int i = 0; i < 1000; ++i) {  // warm: cache filled, allocator settled
        ::DetectHypervisor();
        uuid.clear();
        ::GetLocalVMUUID(uuid);
    }
    const int fdsBefore = testsupport::CountOpenFds();
    const long rssBefore = ResidentBytes();
    unsigned int flags = 0;
    for (long i = 0; i < calls; ++i) {
        flags |= ::DetectHypervisor();
        uuid.clear();
        ::GetLocalVMUUID(uuid);
    }
    const int fdsAfter = testsupport::CountOpenFds();
    const long rssAfter = ResidentBytes();
    std::printf("%ld calls each: descriptors %d -> %d, resident %ld KiB -> %ld KiB (%+ld KiB)\n",
                calls, fdsBefore, fdsAfter, rssBefore / 1024, rssAfter / 1024,
                (rssAfter - rssBefore) / 1024);
    EXPECT_EQ(flags, static_cast<unsigned int>(HV_VMWARE_VM));
    EXPECT_FALSE(uuid.empty());
    EXPECT_EQ(fdsAfter, fdsBefore);
    if (!kSanitized) {
        EXPECT_LT(rssAfter - rssBefore, 1024 * 1024);
    }
}

// A host that loads and unloads the library keeps nothing of it: the log
// file is closed and the log's state was never on the heap (under
// AddressSanitizer a leak would fail this binary at exit).
TEST(Hygiene, UnloadingTheLibraryGivesItsLogFileBack) {
    FakeTools fakes;
    fakes.UseDmi("vmware-1.system.txt");
    TempDir dir;
    ScopedEnv log("VMDETECT_LOG", dir.file("log").c_str());
    ScopedEnv level("VMDETECT_LOG_LEVEL", "1");
    const int before = testsupport::CountOpenFds();
    for (int round = 0; round < 3; ++round) {
        void* library = ::dlopen(VMDETECT_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << ::dlerror();
        auto detect = reinterpret_cast<unsigned int (*)()>(::dlsym(library, "DetectHypervisor"));
        ASSERT_NE(detect, nullptr);
        EXPECT_EQ(detect(), static_cast<unsigned int>(HV_VMWARE_VM));
        EXPECT_EQ(testsupport::CountOpenFds(), before + 1) << "the log file is open";
        ::dlclose(library);
        EXPECT_EQ(testsupport::CountOpenFds(), before) << "round " << round;
    }
    EXPECT_NE(testsupport::ReadFile(dir.file("log")).find("Local Hypervisor type: [VMware VM]"),
              std::string::npos);
}

}  // namespace
