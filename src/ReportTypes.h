// What the platform report is made of: evidence read from the machine and the
// keys it becomes.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace vmdetect::report {

// The DMI files under <sys>/class/dmi/id by their file names ("sys_vendor",
// "product_name", ...). A file this process could not read is absent.
using DmiFields = std::map<std::string, std::string>;

// One key of the report (OpenTelemetry's name where it has one), its value,
// and the kind of evidence it came from ("dmi", "cpuid", "imds", ...).
struct Attribute {
    std::string key;
    std::string value;
    std::string source;
};
using Attributes = std::vector<Attribute>;

}  // namespace vmdetect::report
