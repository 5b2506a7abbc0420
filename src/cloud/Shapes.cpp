#include "cloud/Shapes.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "JsonText.h"

namespace vmdetect::cloud {
namespace {

constexpr std::size_t kMaxBytes = 256;

bool Visible(char c) { return c > 0x20 && c < 0x7f; }
bool Digit(char c) { return c >= '0' && c <= '9'; }
bool Lower(char c) { return c >= 'a' && c <= 'z'; }
bool Letter(char c) { return Lower(c) || (c >= 'A' && c <= 'Z'); }
bool Hex(char c) { return Digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

template <typename Pred>
bool All(std::string_view text, Pred pred) {
    return !text.empty() && std::all_of(text.begin(), text.end(), pred);
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Words of `word` characters joined by single `separator`s.
template <typename Pred>
bool Joined(std::string_view text, char separator, Pred word) {
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(separator, start);
        if (!All(text.substr(start, end - start), word)) {
            return false;
        }
        if (end == std::string_view::npos) {
            return true;
        }
        start = end + 1;
    }
}

bool IsUuid(std::string_view text) {
    static constexpr std::size_t kGroups[] = {8, 4, 4, 4, 12};
    std::size_t at = 0;
    for (std::size_t group : kGroups) {
        if (at > 0 && (at >= text.size() || text[at++] != '-')) {
            return false;
        }
        if (text.size() < at + group || !All(text.substr(at, group), Hex)) {
            return false;
        }
        at += group;
    }
    return at == text.size();
}

bool IsOcid(std::string_view text, std::string_view prefix) {
    return StartsWith(text, prefix) && text.size() > prefix.size() &&
           All(text, [](char c) { return Letter(c) || Digit(c) || std::strchr("._-:", c); });
}

// Valid UTF-8 without C0 or C1 control characters or DEL.
bool IsLabel(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = text::Utf8SequenceLength(text, i);
        const auto lead = static_cast<unsigned char>(text[i]);
        const bool control = length == 1 ? lead < 0x20 || lead == 0x7f
                                         : length == 2 && lead == 0xc2 &&
                                               static_cast<unsigned char>(text[i + 1]) < 0xa0;
        if (length == 0 || control) {
            return false;
        }
        i += length;
    }
    return true;
}

// "crn:version:cname:ctype:service-name:location:scope:service-instance:
// resource-type:resource", the resource may hold ':' itself.
bool IsCrn(std::string_view text) {
    return StartsWith(text, "crn:") && std::count(text.begin(), text.end(), ':') >= 9 &&
           All(text, [](char c) { return Visible(c) && c != '<' && c != '>'; });
}

}  // namespace

bool Fits(Shape shape, const std::string& value) {
    const std::string_view v(value);
    if (v.empty() || v.size() > kMaxBytes) {
        return false;
    }
    switch (shape) {
        case Shape::kText:
            return All(v, [](char c) { return Visible(c) && c != '<' && c != '>'; });
        case Shape::kName:
            return All(v, [](char c) { return Letter(c) || Digit(c) || std::strchr("._:-", c); });
        case Shape::kSlug:
            return Joined(v, '-', [](char c) { return Lower(c) || Digit(c); });
        case Shape::kDigits:
            return All(v, Digit);
        case Shape::kAwsAccount:
            return v.size() == 12 && All(v, Digit);
        case Shape::kUuid:
            return IsUuid(v);
        case Shape::kEc2Instance:
            return StartsWith(v, "i-") && v.size() >= 10 && All(v.substr(2), Hex);
        case Shape::kAliInstance:
            return StartsWith(v, "i-") && All(v.substr(2), [](char c) { return Lower(c) || Digit(c); });
        case Shape::kOcid:
            return IsOcid(v, "ocid1.");
        case Shape::kOcidInstance:
            return IsOcid(v, "ocid1.instance.");
        case Shape::kHostName:
            return Joined(v, '.', [](char c) { return Letter(c) || Digit(c) || c == '-' || c == '_'; });
        case Shape::kLabel:
            return IsLabel(value);
        case Shape::kIbmInstance:
            return IsUuid(v) || (v.size() > 5 && v[4] == '_' &&
                                 All(v.substr(0, 4), [](char c) { return Lower(c) || Digit(c); }) &&
                                 IsUuid(v.substr(5)));
        case Shape::kTencentInstance:
            return StartsWith(v, "ins-") &&
                   All(v.substr(4), [](char c) { return Lower(c) || Digit(c); });
        case Shape::kCrn:
            return IsCrn(v);
    }
    return false;
}

bool IsToken(const std::string& value, std::size_t maxBytes) {
    return !value.empty() && value.size() <= maxBytes && All(value, Visible);
}

}  // namespace vmdetect::cloud
