// What the platform report is made of: evidence read from the machine and the
// keys it becomes.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vmdetect::report {

// The DMI files under <sys>/class/dmi/id by their file names ("sys_vendor",
// "product_name", ...). A file this process could not read is absent. Looked
// up by a literal name without making a string of it.
using DmiFields = std::map<std::string, std::string, std::less<>>;

// One key of the report (OpenTelemetry's name where it has one), its value,
// and the kind of evidence it came from ("dmi", "cpuid", "imds", ...).
// A list value (aws.log.group.names) holds its items one a line, and is a
// JSON array in the report.
struct Attribute {
    std::string key;
    std::string value;
    std::string source;
    bool list = false;
};
using Attributes = std::vector<Attribute>;

// The attribute named `key`, nullptr when there is none.
inline const Attribute* Find(const Attributes& attributes, std::string_view key) {
    for (const Attribute& attribute : attributes) {
        if (attribute.key == key) {
            return &attribute;
        }
    }
    return nullptr;
}
inline Attribute* Find(Attributes& attributes, std::string_view key) {
    return const_cast<Attribute*>(Find(static_cast<const Attributes&>(attributes), key));
}

// `attribute` in place of the one of its key, or added where there is none.
inline void Put(Attributes& attributes, Attribute attribute) {
    Attribute* same = Find(attributes, attribute.key);
    if (same != nullptr) {
        *same = std::move(attribute);
    } else {
        attributes.push_back(std::move(attribute));
    }
}

}  // namespace vmdetect::report
