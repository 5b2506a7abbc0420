#include "adapters/ForkSafeMutex.h"

#include <pthread.h>

namespace vmdetect::adapters {
namespace {

std::atomic<unsigned> g_generation{0};

// Runs in the child, on its only thread, before fork() returns there.
void CountFork() { g_generation.fetch_add(1, std::memory_order_relaxed); }

// glibc drops the hook again when the library is unloaded.
[[maybe_unused]] const int g_hooked = ::pthread_atfork(nullptr, nullptr, &CountFork);

}  // namespace

unsigned ForkGeneration() { return g_generation.load(std::memory_order_relaxed); }

void ForkSafeMutex::lock() {
    const unsigned now = ForkGeneration();
    Slot* slot = m_slot.load(std::memory_order_acquire);
    while (slot->generation != now) {
        // A slot of an older process: no thread of this one can hold it
        // unless a thread of the parent did at the fork. Left locked, and
        // leaked: it may be locked by a thread that is gone.
        auto* fresh = new Slot;
        fresh->generation = now;
        fresh->interrupted = !slot->mutex.try_lock();
        if (m_slot.compare_exchange_strong(slot, fresh, std::memory_order_acq_rel)) {
            slot = fresh;
        } else {
            delete fresh;  // another thread of this process renewed it first
        }
    }
    slot->mutex.lock();
    m_held = slot;
}

bool ForkSafeMutex::TakeInterrupted() {
    const bool interrupted = m_held->interrupted;
    m_held->interrupted = false;
    return interrupted;
}

}  // namespace vmdetect::adapters
