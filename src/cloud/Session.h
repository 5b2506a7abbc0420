// What every cloud's fetch is built of: one session of requests under one
// deadline, the keys it keeps (each checked against its shape), and the
// small readers of the services' answers.
#pragma once

#include <chrono>
#include <string>

#include "EvDebug.h"
#include "ReportTypes.h"
#include "adapters/ZtJson.h"
#include "cloud/Shapes.h"
#include "net/MetadataRequest.h"

namespace vmdetect::cloud {

using Clock = std::chrono::steady_clock;

// The function text of every log line of the cloud identity.
extern const char* const kFnIdentify;

// One cloud's requests under one deadline, and the keys they gave.
class Session {
public:
    Session(const EvDebug& log, std::string base, Clock::time_point end)
        : m_log(log), m_base(std::move(base)), m_end(end) {}

    const std::string& base() const { return m_base; }
    const EvDebug& log() const { return m_log; }
    report::Attributes& attributes() { return m_attributes; }

    // Sends with what is left of the deadline (at most limitMs when > 0).
    metadata::Response Send(metadata::Request& request, long limitMs = 0);

    // Keeps the value when it has the key's shape and the key has none yet;
    // names only the key otherwise, for the value may be anything a proxy
    // said. "" is no answer, and says nothing.
    void Add(const char* key, const std::string& value, Shape shape);

    bool Has(const char* key) const { return !Value(key).empty(); }
    // The answer came in an older form that lacks a key a fuller one gives:
    // it is served, but not kept for the process.
    void MarkOlderForm() { m_olderForm = true; }
    bool olderForm() const { return m_olderForm; }
    // The machine is a Kubernetes pod (Machine::kubernetesPod).
    void SetKubernetesPod(bool pod) { m_kubernetesPod = pod; }
    bool kubernetesPod() const { return m_kubernetesPod; }
    // The kept value of `key`, "" when none.
    const std::string& Value(const char* key) const;

private:
    const EvDebug& m_log;
    std::string m_base;
    Clock::time_point m_end;
    report::Attributes m_attributes;
    bool m_olderForm = false;
    bool m_kubernetesPod = false;
};

// One key of a cloud's answer: where it is, and the shape it must have.
struct Field {
    const char* key;   // ours
    const char* name;  // the document's member ("a.b": b of a), or the item's path
    Shape shape;
};

metadata::Request Get(const std::string& url, const char* accept = "text/plain");

// The token for the GETs that follow, or "" when the service gave none in
// time: the GETs then go without one. Never logged.
std::string SessionToken(Session& session, const char* path, const char* ttlHeader);
void AddTokenHeader(metadata::Request& request, const char* name, const std::string& token,
                    const char* prefix = "");

// The token a service demands before any answer: `put` sent with what is
// left of the deadline, `read` takes the token out of the answer's body.
// "" when none came, or the answer holds no token of at most `maxBytes`
// visible bytes: the cloud then gives no identity. Never logged.
std::string DemandedToken(Session& session, metadata::Request& put,
                          std::string (*read)(const std::string& body), size_t maxBytes);

// The JSON object a GET answered; false (and a debug line for an answer
// that is no object) otherwise. With `keep`, only the `count` top-level
// members it names are built.
bool GetObject(Session& session, metadata::Request& get, mObject& document,
               const char* const* keep = nullptr, size_t count = 0);

// A zone's region: the zone without its last "-N" ("eu-es-2": "eu-es"); ""
// for a zone without one ("par1").
std::string RegionOfZone(const std::string& zone);

// A GET under the session's token ("" for none); its text without a final
// line end, "" when it failed.
std::string TextItem(Session& session, const std::string& url, const char* tokenHeader = nullptr,
                     const std::string& token = "");

// A text answer without the line end a service may put after it.
std::string OneLine(std::string text);

// What follows the last '/' ("projects/1/zones/europe-west3-c").
std::string LastSegment(const std::string& path);

// The member at `path` as text: a string as it is, an integer as its decimal
// digits (never through a floating-point value); "" otherwise.
std::string Member(const mObject& document, const char* path);

// Adds each field found in `document`; where two fields fill one key, the
// first one present and of its shape wins.
void AddFromObject(Session& session, const mObject& document, const Field* fields, size_t count);
template <size_t N>
void AddFromObject(Session& session, const mObject& document, const Field (&fields)[N]) {
    AddFromObject(session, document, fields, N);
}

// Adds each field found in the JSON object `text`; where two fields fill one
// key, the first one present and of its shape wins.
void AddFromDocument(Session& session, const std::string& text, const Field* fields, size_t count);
template <size_t N>
void AddFromDocument(Session& session, const std::string& text, const Field (&fields)[N]) {
    AddFromDocument(session, text, fields, N);
}

}  // namespace vmdetect::cloud
