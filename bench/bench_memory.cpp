// Resident memory that the library adds to a process: measured before the
// library is loaded, after loading it, and after 10,000 warm calls of
// DetectHypervisor over a process table of 100 entries (a VMware guest:
// no metadata request, so libcurl is never loaded). Then libcurl is loaded
// as the first metadata request would, to show what that adds.
// Prints JSON.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include "BenchSupport.h"

int main() {
    bench::UseFakeEnvironment(VMDETECT_BENCH_FAKES, VMDETECT_BENCH_DATA);
    bench::ProcTree tree(100);
    ::setenv("HOST_PROC", tree.path().c_str(), 1);

    const long before = bench::ResidentKiB();
    void* library = ::dlopen(VMDETECT_BENCH_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "dlopen: %s\n", ::dlerror());
        return 1;
    }
    using Detect = unsigned int (*)();
    auto detect = reinterpret_cast<Detect>(::dlsym(library, "DetectHypervisor"));
    if (detect == nullptr) {
        std::fprintf(stderr, "dlsym: %s\n", ::dlerror());
        return 1;
    }
    const long loaded = bench::ResidentKiB();
    unsigned int flags = 0;
    for (int i = 0; i < 10000; ++i) {
        flags |= detect();
    }
    const long after = bench::ResidentKiB();
    void* curl = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
    const long curlLoaded = bench::ResidentKiB();
    std::printf("{\"rss_before_kib\": %ld, \"rss_curl_kib\": %ld, \"rss_loaded_kib\": %ld, "
                "\"rss_after_kib\": %ld, \"flags\": %u}\n",
                before, curl != nullptr ? curlLoaded : -1, loaded, after, flags);
    return flags == 0x1 ? 0 : 1;
}
