// Opt-in reuse of slow probe answers for the five entry points. With
// [VirtualServer] nProbeCacheSeconds absent or 0 nothing is kept and every
// call probes; with N > 0 an answer is reused for N seconds, process-wide.
#pragma once

#include <chrono>
#include <new>

#include "adapters/ForkSafeMutex.h"

namespace vmdetect {
namespace probecache {

// The reuse time in seconds, as the last firmware fill read it from the
// configuration (the fill reads the configuration anyway, and every
// classification starts with it); 0 until then.
unsigned long Seconds();
void SetSeconds(unsigned long seconds);

// Changes with every ForgetAll(); answers kept before are no longer served.
unsigned int Generation();
// Drops every kept answer; tests and benchmarks only.
void ForgetAll();

// One kept answer, safe to share between threads.
template <typename T>
class Remembered {
public:
    // True, with `value` set, while an answer younger than the reuse time is
    // kept.
    bool Get(T& value) const {
        const unsigned long seconds = Seconds();
        const adapters::ForkSafeGuard lock(m_mutex, [this] { Abandon(); });
        if (seconds == 0 || !m_held || m_generation != Generation() ||
            Clock::now() - m_at >= Lifetime(seconds)) {
            return false;
        }
        value = m_value;
        return true;
    }

    // Keeps `value` from now on, when reuse is on.
    void Put(const T& value) {
        if (Seconds() == 0) {
            return;
        }
        const adapters::ForkSafeGuard lock(m_mutex, [this] { Abandon(); });
        m_value = value;
        m_held = true;
        m_generation = Generation();
        m_at = Clock::now();
    }

private:
    using Clock = std::chrono::steady_clock;

    // Bounded so that the conversion to the clock's nanoseconds cannot
    // overflow: 2^31 s is 68 years.
    static Clock::duration Lifetime(unsigned long seconds) {
        constexpr unsigned long kMaxSeconds = 1UL << 31;
        return std::chrono::seconds(static_cast<long long>(seconds < kMaxSeconds ? seconds : kMaxSeconds));
    }

    // A fork that caught another thread storing leaves the value to no one.
    void Abandon() const {
        new (&m_value) T();
        m_held = false;
    }

    mutable adapters::ForkSafeMutex m_mutex;
    mutable T m_value{};
    mutable bool m_held = false;
    unsigned int m_generation = 0;
    Clock::time_point m_at{};
};

}  // namespace probecache
}  // namespace vmdetect
