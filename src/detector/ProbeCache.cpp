// Process-wide settings of the probe-answer reuse.
#include "detector/ProbeCache.h"

#include <atomic>

namespace vmdetect {
namespace probecache {

namespace {
std::atomic<unsigned long> g_seconds{0};
std::atomic<unsigned int> g_generation{0};
}  // namespace

unsigned long Seconds() { return g_seconds.load(std::memory_order_relaxed); }

void SetSeconds(unsigned long seconds) { g_seconds.store(seconds, std::memory_order_relaxed); }

unsigned int Generation() { return g_generation.load(std::memory_order_relaxed); }

void ForgetAll() {
    g_seconds.store(0, std::memory_order_relaxed);
    g_generation.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace probecache
}  // namespace vmdetect
