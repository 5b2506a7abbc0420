// A mutex for process-wide state that a child of fork() may still use.
//
// fork() copies a lock that another thread of the parent held, and the child
// has no thread to release it: a plain mutex would block the child for ever.
// This one notices the fork (through a pthread_atfork hook) and gives the
// child a fresh lock; the lock left behind is never used again.
#pragma once

#include <atomic>
#include <mutex>

namespace vmdetect::adapters {

class ForkSafeMutex {
public:
    ForkSafeMutex() = default;
    ForkSafeMutex(const ForkSafeMutex&) = delete;
    ForkSafeMutex& operator=(const ForkSafeMutex&) = delete;

    void lock();
    void unlock() { m_held->mutex.unlock(); }

    // With the lock held: true, once, when a fork caught another thread
    // inside, so that what the lock guards may be half-written; the caller
    // then starts that state afresh without touching it.
    bool TakeInterrupted();

private:
    struct Slot {
        std::mutex mutex;
        unsigned generation = 0;
        bool interrupted = false;
    };
    Slot m_first;  // the only one unless the process forks
    std::atomic<Slot*> m_slot{&m_first};
    Slot* m_held = nullptr;  // written and read by the holder only
};

// How many forks lie between the first process and this one.
unsigned ForkGeneration();

}  // namespace vmdetect::adapters

namespace vmdetect::adapters {

// Holds a ForkSafeMutex for its scope. When a fork interrupted the last
// holder it first calls `abandon`, which must start the guarded state
// afresh without reading or destroying it (placement new over it).
class ForkSafeGuard {
public:
    template <typename Abandon>
    ForkSafeGuard(ForkSafeMutex& mutex, Abandon&& abandon) : m_mutex(mutex) {
        m_mutex.lock();
        if (m_mutex.TakeInterrupted()) {
            abandon();
        }
    }
    ~ForkSafeGuard() { m_mutex.unlock(); }
    ForkSafeGuard(const ForkSafeGuard&) = delete;
    ForkSafeGuard& operator=(const ForkSafeGuard&) = delete;

private:
    ForkSafeMutex& m_mutex;
};

}  // namespace vmdetect::adapters
