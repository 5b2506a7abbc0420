// The report as node-feature-discovery "local" features: name=value lines
// that it turns into node labels feature.node.kubernetes.io/<name>.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>

#include "Otel.h"

namespace vmdetect_cli {

// Only what a scheduler selects on, and few values each. Never ids or names
// (host.id, host.name, cloud.resource_id, cloud.account.id): a label per
// machine is what Kubernetes warns against. "confidential" comes with the
// report's confidential-VM key.
constexpr const char* kNfdKeys[] = {
    "hypervisor",     "container",      "confidential",
    "cloud.provider", "cloud.platform", "cloud.region",
    "cloud.availability_zone", "host.type", "host.arch",
};
constexpr const char* kNfdPrefix = "vmdetect.";
constexpr std::size_t kNfdMaxValue = 63;

inline bool NfdAlphanumeric(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// A Kubernetes label value: at most 63 characters, alphanumerics with '-',
// '_' and '.' inside, beginning and ending alphanumeric.
inline bool NfdLabelValue(const std::string& value) {
    if (value.empty() || value.size() > kNfdMaxValue || !NfdAlphanumeric(value.front()) ||
        !NfdAlphanumeric(value.back())) {
        return false;
    }
    return std::all_of(value.begin(), value.end(), [](char c) {
        return NfdAlphanumeric(c) || c == '-' || c == '_' || c == '.';
    });
}

// One line per key of kNfdKeys that the report holds, in that order. A value
// that is no label value is left out with a note, never changed into another
// value. False, with `text` untouched, when `report` is not a JSON object.
inline bool NfdLines(const std::string& report, std::string& text, Notes* notes = nullptr) {
    ReportItems items;
    if (!ParseReportItems(report, items)) {
        return false;
    }
    std::string out;
    for (const char* key : kNfdKeys) {
        const auto item = std::find_if(items.begin(), items.end(),
                                       [key](const auto& pair) { return pair.first == key; });
        if (item == items.end()) {
            continue;
        }
        if (!NfdLabelValue(item->second)) {
            if (notes != nullptr) {
                notes->push_back(std::string("--nfd leaves out ") + key +
                                 ": its value is not a Kubernetes label value");
            }
            continue;
        }
        out += kNfdPrefix + item->first + "=" + item->second + "\n";
    }
    text = out;
    return true;
}

}  // namespace vmdetect_cli
