#include "cloud/Session.h"

#include <algorithm>
#include <string_view>
#include <utility>

namespace vmdetect::cloud {
namespace {

// The JSON object `text`; false, with a debug line, for anything else.
bool ParseObject(Session& session, const std::string& text, mObject& document,
                 const char* const* keep = nullptr, size_t count = 0) {
    if (ZtJson::Unserialize(text, document, keep, count)) {
        return true;
    }
    session.log().DebugLvl(kFnIdentify, 2, "Refused an answer that is not a JSON object");
    return false;
}

// Less than this is no time for a request: a time-out that ends a hair
// before the deadline must not start one more.
constexpr long kMinRequestMs = 10;
// Inside a container the token PUT's answer may be dropped by the hop
// limit; past this the GETs go without a token.
constexpr long kTokenLimitMs = 300;
constexpr const char* kSource = "imds";

}  // namespace

const char* const kFnIdentify =
    "std::shared_ptr<const vmdetect::report::Attributes> "
    "vmdetect::cloud::Identify(const vmdetect::report::DmiFields&)";

metadata::Response Session::Send(metadata::Request& request, long limitMs) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(m_end - Clock::now()).count();
    if (left < kMinRequestMs) {
        m_log.DebugLvl(kFnIdentify, 2, "No time left for [%s]", request.url.c_str());
        return {};
    }
    request.timeoutMs = limitMs > 0 ? std::min<long>(left, limitMs) : static_cast<long>(left);
    metadata::Response response = metadata::Send(m_log, kFnIdentify, request);
    if (response.ready && !response.ok) {
        m_log.DebugLvl(kFnIdentify, 2, "Request [%s] failed, HTTP status %ld", request.url.c_str(),
                       response.status);
    }
    return response;
}

void Session::Add(const char* key, const std::string& value, Shape shape) {
    if (value.empty() || Has(key)) {
        return;
    }
    if (!Fits(shape, value)) {
        m_log.DebugLvl(kFnIdentify, 2, "Refused the answer for %s: not of its shape", key);
        return;
    }
    m_attributes.push_back({key, value, kSource});
}

const std::string& Session::Value(const char* key) const {
    static const std::string kNone;
    const report::Attribute* found = report::Find(m_attributes, key);
    return found == nullptr ? kNone : found->value;
}

metadata::Request Get(const std::string& url, const char* accept) {
    metadata::Request request;
    request.url = url;
    request.accept = accept;
    return request;
}

std::string SessionToken(Session& session, const char* path, const char* ttlHeader) {
    metadata::Request put = Get(session.base() + path);
    put.put = true;
    put.headers.push_back({ttlHeader, "Failed to set session token TTL header"});
    metadata::Response answer = session.Send(put, kTokenLimitMs);
    std::string token;
    if (answer.ok && IsToken(answer.body)) {
        token = std::move(answer.body);
    } else if (answer.ok) {
        session.log().DebugLvl(kFnIdentify, 2,
                               "Refused the session token from [%s]: not a token: asking without one",
                               put.url.c_str());
    } else {
        session.log().DebugLvl(kFnIdentify, 2,
                               "No session token from [%s] (HTTP status %ld): asking without one",
                               put.url.c_str(), answer.status);
    }
    metadata::Wipe(answer.body);
    return token;
}

void AddTokenHeader(metadata::Request& request, const char* name, const std::string& token,
                    const char* prefix) {
    if (name != nullptr && !token.empty()) {
        request.headers.push_back(
            {std::string(name) + ": " + prefix + token, "Failed to set session token header"});
    }
}

std::string DemandedToken(Session& session, metadata::Request& put,
                          std::string (*read)(const std::string& body), size_t maxBytes) {
    metadata::Response answer = session.Send(put);
    std::string token;
    if (answer.ok) {
        token = read(answer.body);
        if (!IsToken(token, maxBytes)) {
            metadata::Wipe(token);
            session.log().DebugLvl(kFnIdentify, 2,
                                   "Refused the session token from [%s]: not a token: no identity",
                                   put.url.c_str());
        }
    } else if (answer.ready) {
        session.log().DebugLvl(kFnIdentify, 2, "No session token from [%s] (HTTP status %ld)",
                               put.url.c_str(), answer.status);
    }
    metadata::Wipe(answer.body);
    return token;
}

bool GetObject(Session& session, metadata::Request& get, mObject& document, const char* const* keep,
               size_t count) {
    const metadata::Response answer = session.Send(get);
    return answer.ok && ParseObject(session, answer.body, document, keep, count);
}

std::string RegionOfZone(const std::string& zone) {
    const size_t dash = zone.rfind('-');
    if (dash == std::string::npos || dash == 0 || dash + 1 == zone.size()) {
        return "";
    }
    const bool number = std::all_of(zone.begin() + static_cast<std::ptrdiff_t>(dash) + 1, zone.end(),
                                    [](char c) { return c >= '0' && c <= '9'; });
    return number ? zone.substr(0, dash) : "";
}

std::string TextItem(Session& session, const std::string& url, const char* tokenHeader,
                     const std::string& token) {
    metadata::Request get = Get(url);
    AddTokenHeader(get, tokenHeader, token);
    const metadata::Response answer = session.Send(get);
    return answer.ok ? OneLine(answer.body) : "";
}

std::string OneLine(std::string text) {
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
        if (!text.empty() && text.back() == '\r') {
            text.pop_back();
        }
    }
    return text;
}

std::string LastSegment(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Member(const mObject& document, const char* path) {
    const mObject* object = &document;
    std::string_view rest(path);
    while (true) {
        const size_t dot = rest.find('.');
        const auto found = object->find(std::string(rest.substr(0, dot)));
        if (found == object->end()) {
            return "";
        }
        const mValue& value = found->second;
        if (dot != std::string_view::npos) {
            if (!value.is_object()) {
                return "";
            }
            object = value.get_ptr<const mObject*>();
            rest.remove_prefix(dot + 1);
            continue;
        }
        if (value.is_string()) {
            return value.get<std::string>();
        }
        if (value.is_number_unsigned()) {
            return std::to_string(value.get<unsigned long long>());
        }
        return value.is_number_integer() ? std::to_string(value.get<long long>()) : "";
    }
}

void AddFromDocument(Session& session, const std::string& text, const Field* fields, size_t count) {
    mObject document;
    if (ParseObject(session, text, document)) {
        AddFromObject(session, document, fields, count);
    }
}

void AddFromObject(Session& session, const mObject& document, const Field* fields, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        session.Add(fields[i].key, Member(document, fields[i].name), fields[i].shape);
    }
}

}  // namespace vmdetect::cloud
