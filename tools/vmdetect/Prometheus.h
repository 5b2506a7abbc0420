// The report as a Prometheus info metric in the text exposition format:
// one vmdetect_info sample whose labels are the report's keys.
#pragma once

#include <set>
#include <string>

#include "Otel.h"

namespace vmdetect_cli {

// A label name from a report key: every byte outside [A-Za-z0-9_] becomes
// '_' ("cloud.region" -> "cloud_region"); a leading digit gets a '_' before
// it. Empty for names the format reserves ("__...").
inline std::string PrometheusLabel(const std::string& key) {
    std::string name;
    for (const char c : key) {
        const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '_';
        name += word ? c : '_';
    }
    if (!name.empty() && name[0] >= '0' && name[0] <= '9') {
        name.insert(0, "_");
    }
    return name.rfind("__", 0) == 0 ? std::string() : name;
}

// A label value: the format escapes only backslash, double quote and line
// feed; the report's values are UTF-8 already.
inline std::string PrometheusValue(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

// A container's and a pod's keys would make one series per container: the
// info metric describes the machine, and leaves them out.
inline bool PerWorkloadKey(const std::string& key) {
    return key.rfind("container.", 0) == 0 || key.rfind("k8s.", 0) == 0;
}

// The whole exposition, ending in a line feed. Keys that map to a label
// already taken ("a.b" after "a_b") keep the first. False, with `text`
// untouched, when `report` is not a JSON object.
inline bool PrometheusText(const std::string& report, std::string& text) {
    ReportItems items;
    if (!ParseReportItems(report, items)) {
        return false;
    }
    std::set<std::string> taken;
    std::string labels;
    for (const auto& [key, value] : items) {
        const std::string name = PerWorkloadKey(key) ? std::string() : PrometheusLabel(key);
        if (name.empty() || !taken.insert(name).second) {
            continue;
        }
        labels += (labels.empty() ? "" : ",") + name + "=\"" + PrometheusValue(value) + "\"";
    }
    text = "# HELP vmdetect_info What this machine is: hypervisor, container and cloud, "
           "from vmdetect's platform report.\n"
           "# TYPE vmdetect_info gauge\n"
           "vmdetect_info{" + labels + "} 1\n";
    return true;
}

}  // namespace vmdetect_cli
