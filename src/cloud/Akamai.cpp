// Akamai (Linode): a token the service demands, then the instance document.
#include "Constants.h"
#include "cloud/Providers.h"

namespace vmdetect::cloud {
namespace {

// The service gives the token bare, or as a JSON array of that one string
// when JSON is asked for; a JSON object is an error document.
std::string TokenOf(const std::string& body) {
    if (body.empty() || body[0] == '{') {
        return "";
    }
    if (body[0] != '[') {
        return OneLine(body);
    }
    const mValue answer = mValue::parse(body, nullptr, false);
    return answer.is_array() && answer.size() == 1 && answer[0].is_string()
               ? answer[0].get<std::string>()
               : "";
}

void Fetch(Session& session) {
    static constexpr Field kFields[] = {
        {"host.id", "id", Shape::kDigits},  // a JSON integer
        {"host.name", "label", Shape::kLabel},
        {"host.type", "type", Shape::kName},
        {"cloud.region", "region", Shape::kSlug},
        {"cloud.account.id", "account_euuid", Shape::kName},
        {"host.image.id", "image.id", Shape::kText},  // "linode/ubuntu22.04"
        {"host.image.name", "image.label", Shape::kLabel},
    };
    metadata::Request put = Get(session.base() + kAkamaiTokenPath);
    put.put = true;
    put.headers.push_back({kAkamaiTokenTtlHeader, "Failed to set session token TTL header"});
    std::string token = DemandedToken(session, put, &TokenOf, 256);
    if (token.empty()) {
        return;  // the service answers nothing without one
    }
    metadata::Request get = Get(session.base() + kAkamaiInstancePath, "application/json");
    AddTokenHeader(get, kAkamaiTokenHeaderName, token);
    metadata::Wipe(token);
    mObject document;
    if (GetObject(session, get, document)) {
        AddFromObject(session, document, kFields);
    }
}

constexpr const char* kAlways[] = {"cloud.region", "cloud.account.id", "host.id", "host.name",
                                   "host.type", nullptr};

}  // namespace

const Provider kAkamai = {"akamai_cloud", "akamai_cloud.compute", &endpoints::Akamai, &Fetch,
                          kAlways, nullptr, Shape::kText};

}  // namespace vmdetect::cloud
