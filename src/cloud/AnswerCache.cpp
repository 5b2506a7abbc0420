#include "cloud/AnswerCache.h"

#include <new>
#include <utility>

namespace vmdetect::cloud {

bool HasAll(const char* const* keys, const report::Attributes& found) {
    for (const char* const* key = keys; *key != nullptr; ++key) {
        if (report::Find(found, *key) == nullptr) {
            return false;
        }
    }
    return true;
}

const AnswerCache::Answer& AnswerCache::None() {
    static const auto* none = new Answer(std::make_shared<const report::Attributes>());
    return *none;
}

AnswerCache::Answer AnswerCache::Get(const void* service, const std::function<Asked()>& ask, bool silenceIsFinal) {
    const adapters::ForkSafeGuard lock(m_mutex, [this] { Abandon(); });
    Entry& entry = m_entries[service];
    if (entry.complete || (entry.asked && Clock::now() - entry.askedAt < kRetryAfter)) {
        return entry.answer ? entry.answer : None();
    }
    Asked asked = ask();
    entry.asked = true;
    entry.askedAt = Clock::now();
    entry.complete = silenceIsFinal && asked.found.empty() && !entry.answer;
    if (!asked.found.empty() && (!entry.answer || asked.found.size() >= entry.answer->size())) {
        entry.complete = asked.complete;
        entry.answer = std::make_shared<const report::Attributes>(std::move(asked.found));
    }
    return entry.answer ? entry.answer : None();
}

void AnswerCache::ResetForTests() {
    const adapters::ForkSafeGuard lock(m_mutex, [this] { Abandon(); });
    m_entries.clear();
}

void AnswerCache::AgeForTests() {
    const adapters::ForkSafeGuard lock(m_mutex, [this] { Abandon(); });
    for (auto& [service, entry] : m_entries) {
        entry.askedAt -= kRetryAfter;
    }
}

}  // namespace vmdetect::cloud
