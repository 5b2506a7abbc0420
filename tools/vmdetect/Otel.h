// The report as OpenTelemetry resource attributes: one line of
// key=value pairs joined by commas, ready for OTEL_RESOURCE_ATTRIBUTES.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace vmdetect_cli {

using ReportItems = std::vector<std::pair<std::string, std::string>>;
// What a form left out and why, one debug line each for the log.
using Notes = std::vector<std::string>;

// OpenTelemetry's JS SDK refuses the whole OTEL_RESOURCE_ATTRIBUTES when one
// encoded key or value is longer than this, and every attribute is lost.
constexpr std::size_t kOtelMaxEncoded = 255;

// The report's top-level keys in its order, each with its text value;
// `sources`, empty values and anything that is not a string, number or
// boolean are left out. False, with `items` untouched, when `report` is not
// a JSON object.
inline bool ParseReportItems(const std::string& report, ReportItems& items) {
    const auto parsed = nlohmann::ordered_json::parse(report, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        return false;
    }
    ReportItems out;
    for (const auto& [key, value] : parsed.items()) {
        if (key == "sources" || value.is_null() || value.is_structured()) {
            continue;
        }
        std::string text = value.is_string() ? value.get<std::string>() : value.dump();
        if (!text.empty()) {
            out.emplace_back(key, std::move(text));
        }
    }
    items = std::move(out);
    return true;
}

// W3C baggage octets pass; every other byte, and '%' itself (the escape) and
// '=' (the pair separator, which some SDKs split values on), is
// percent-encoded. UTF-8 goes byte by byte.
inline std::string OtelEncoded(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool baggage = byte >= 0x21 && byte <= 0x7e && byte != '"' && byte != ',' &&
                             byte != ';' && byte != '\\';
        if (baggage && c != '%' && c != '=') {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0f];
        }
    }
    return out;
}

// "hypervisor", "container" and "confidential" are not OpenTelemetry
// attributes, and a bare "container" sits in OpenTelemetry's own container.*
// namespace: all three go under this project's name.
inline std::string OtelKey(const std::string& key) {
    return key == "hypervisor" || key == "container" || key == "confidential" ? "vmdetect." + key : key;
}

// False, with `line` untouched, when `report` is not a JSON object. A pair
// whose encoded key or value is over kOtelMaxEncoded is left out, with a note
// naming the key: one long value must not cost every other attribute.
inline bool OtelLine(const std::string& report, std::string& line, Notes* notes = nullptr) {
    ReportItems items;
    if (!ParseReportItems(report, items)) {
        return false;
    }
    std::string out;
    for (const auto& [key, text] : items) {
        const std::string name = OtelEncoded(OtelKey(key));
        const std::string value = OtelEncoded(text);
        const std::size_t longest = std::max(name.size(), value.size());
        if (longest > kOtelMaxEncoded) {
            if (notes != nullptr) {
                notes->push_back("--otel leaves out " + name.substr(0, 64) + ": " +
                                 std::to_string(longest) + " characters encoded, over " +
                                 std::to_string(kOtelMaxEncoded));
            }
            continue;
        }
        out += (out.empty() ? "" : ",") + name + "=" + value;
    }
    line = out;
    return true;
}

}  // namespace vmdetect_cli
