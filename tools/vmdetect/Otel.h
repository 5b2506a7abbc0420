// The report as OpenTelemetry resource attributes: one line of
// key=value pairs joined by commas, ready for OTEL_RESOURCE_ATTRIBUTES.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace vmdetect_cli {

// Percent-encodes what the attribute list's syntax or a shell would trip
// on: the separators, '%' itself, white space and every byte outside
// printable ASCII (UTF-8 goes byte by byte).
inline std::string OtelEncoded(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7f || c == ',' || c == '=' || c == ';' || c == '%') {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0f];
        } else {
            out += c;
        }
    }
    return out;
}

// The report's keys in its order, each with its text value; `sources` and
// anything that is not a string, number or boolean are left out. False,
// with `line` untouched, when `report` is not a JSON object.
inline bool OtelLine(const std::string& report, std::string& line) {
    const auto parsed = nlohmann::ordered_json::parse(report, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        return false;
    }
    std::string out;
    for (const auto& [key, value] : parsed.items()) {
        std::string text;
        if (key == "sources" || value.is_null() || value.is_structured()) {
            continue;
        }
        text = value.is_string() ? value.get<std::string>() : value.dump();
        if (text.empty()) {
            continue;
        }
        out += (out.empty() ? "" : ",") + OtelEncoded(key) + "=" + OtelEncoded(text);
    }
    line = out;
    return true;
}

}  // namespace vmdetect_cli
