// Hetzner Cloud: a flat YAML mapping, read by a small strict line reader.
#include <algorithm>
#include <map>
#include <string_view>

#include "Constants.h"
#include "cloud/Providers.h"

namespace vmdetect::cloud {
namespace {

bool IsKeyChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

// A scalar as written after "key: ": plain (up to a " #" comment) or quoted
// without escapes; "" for anything else (blocks, collections, anchors,
// tags), which is skipped rather than guessed at.
std::string Scalar(std::string_view text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    if (text.empty() || std::string_view("|>[{&*!%@`#").find(text[0]) != std::string_view::npos) {
        return "";
    }
    if (text[0] == '"' || text[0] == '\'') {
        // Up to the first closing quote, then nothing but a comment: an
        // escape of either kind ends up not understood.
        const size_t close = text.find(text[0], 1);
        if (close == std::string_view::npos) {
            return "";
        }
        const std::string_view inner = text.substr(1, close - 1);
        std::string_view rest = text.substr(close + 1);
        rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
        const bool plain = inner.find('\\') == std::string_view::npos;
        return plain && (rest.empty() || rest[0] == '#') ? std::string(inner) : "";
    }
    return std::string(text.substr(0, text.find(" #")));
}

// The top-level "key: scalar" lines of a YAML mapping; a key seen twice
// keeps its first value.
std::map<std::string, std::string> TopLevelScalars(std::string_view text) {
    std::map<std::string, std::string> found;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        size_t colon = 0;
        while (colon < line.size() && IsKeyChar(line[colon])) {
            ++colon;
        }
        if (colon == 0 || colon + 1 >= line.size() || line[colon] != ':' || line[colon + 1] != ' ') {
            continue;  // indented, a comment, a list item, a document marker
        }
        const std::string value = Scalar(line.substr(colon + 2));
        if (!value.empty()) {
            found.emplace(std::string(line.substr(0, colon)), value);
        }
    }
    return found;
}

void Fetch(Session& session) {
    static constexpr Field kFields[] = {
        {"host.id", "instance-id", Shape::kDigits},  // a YAML integer
        {"host.name", "hostname", Shape::kHostName},
        // Absent from older answers.
        {"cloud.region", "region", Shape::kSlug},
        {"cloud.availability_zone", "availability-zone", Shape::kSlug},
    };
    const auto scalars = TopLevelScalars(TextItem(session, session.base() + kHetznerMetaDataPath));
    for (const Field& field : kFields) {
        const auto value = scalars.find(field.name);
        if (value != scalars.end()) {
            session.Add(field.key, value->second, field.shape);
        }
    }
}

constexpr const char* kAlways[] = {"host.id", "host.name", nullptr};

}  // namespace

const Provider kHetzner = {"hetzner", "hetzner.cloud_server", &endpoints::Hetzner, &Fetch, kAlways, nullptr,
                           Shape::kText};

}  // namespace vmdetect::cloud
