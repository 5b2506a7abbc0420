// The metadata services' answers, kept for the process: a complete answer
// for good, a partial one or a failure for the retry interval (60 s), after
// which the service is asked again. The clouds and the workload platforms
// keep theirs here, one cache each.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>

#include "ReportTypes.h"
#include "adapters/ForkSafeMutex.h"

namespace vmdetect::cloud {

// Whether `found` holds every key of the nullptr-ended `keys`.
bool HasAll(const char* const* keys, const report::Attributes& found);

class AnswerCache {
public:
    using Answer = std::shared_ptr<const report::Attributes>;
    struct Asked {
        report::Attributes found;  // empty: the service gave nothing
        bool complete = false;     // kept for the process
    };
    static constexpr std::chrono::seconds kRetryAfter{60};

    // The answer kept for `service`, or `ask`'s; an empty list when there is
    // none. One lock for all: a cold call holds it while it asks, so that
    // concurrent first calls wait for one set of requests instead of sending
    // their own; a child forked meanwhile gets a lock of its own and asks
    // afresh. A later answer that gives less (its service slower this time)
    // does not replace a fuller one. `silenceIsFinal`: a service that gave
    // nothing is not asked again in the process.
    Answer Get(const void* service, const std::function<Asked()>& ask, bool silenceIsFinal = false);

    static const Answer& None();
    void ResetForTests();
    void AgeForTests();

private:
    using Clock = std::chrono::steady_clock;
    struct Entry {
        Answer answer;  // the fullest answer so far
        bool complete = false;
        bool asked = false;
        Clock::time_point askedAt;
    };
    // The answers a fork may have caught half-written are dropped unread.
    void Abandon() { new (&m_entries) std::map<const void*, Entry>(); }

    adapters::ForkSafeMutex m_mutex;
    std::map<const void*, Entry> m_entries;
};

}  // namespace vmdetect::cloud
