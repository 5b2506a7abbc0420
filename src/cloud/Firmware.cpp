// Which cloud the world-readable firmware files name. Files readable by root
// only (product_serial, product_uuid) are never asked: the answer must be
// the same for every user.
#include <strings.h>

#include <cstring>

#include "cloud/Providers.h"

namespace vmdetect::cloud {
namespace {

enum class Compare { kEqual, kPrefix, kContains };  // contains: case-blind

struct Mark {
    const char* file;  // under /sys/class/dmi/id
    Compare compare;
    const char* value;
    const Provider* provider;
};

// The first row that matches names the cloud. Marks of different clouds do
// not overlap on real firmware; where a cloud carries another's mark (the
// OpenStack clouds below their own asset tags carry KVM's and QEMU's, which
// no row names), the more specific row comes first. No row matches
// on-premises Hyper-V: Azure's asset tag is the one mark it lacks.
const Mark kMarks[] = {
    {"sys_vendor", Compare::kEqual, "Amazon EC2", &kAws},                  // ec2-nitro-1.txt
    {"product_version", Compare::kContains, "amazon", &kAws},              // ec2-xen-1.txt
    {"bios_version", Compare::kContains, "amazon", &kAws},                 // ec2-xen-1.txt
    {"sys_vendor", Compare::kEqual, "Google", &kGcp},                      // gce-1.txt
    {"product_name", Compare::kEqual, "Google Compute Engine", &kGcp},     // gce-1.txt
    {"chassis_asset_tag", Compare::kEqual, "7783-7084-3265-9085-8269-3286-77", &kAzure},  // azure-1-spaces.txt
    // No published capture; cloud-init's Oracle datasource names this tag.
    {"chassis_asset_tag", Compare::kEqual, "OracleCloud.com", &kOracle},
    {"sys_vendor", Compare::kEqual, "Alibaba Cloud", &kAlibaba},           // alibaba-1.txt
};

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\n");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t\n") - first + 1);
}

bool Matches(const Mark& mark, const std::string& value) {
    switch (mark.compare) {
        case Compare::kEqual: return value == mark.value;
        case Compare::kPrefix: return value.rfind(mark.value, 0) == 0;
        case Compare::kContains: return strcasestr(value.c_str(), mark.value) != nullptr;
    }
    return false;
}

}  // namespace

const Provider* NamedBy(const report::DmiFields& dmi, std::string* named) {
    for (const Mark& mark : kMarks) {
        const auto found = dmi.find(mark.file);
        if (found != dmi.end() && Matches(mark, Trimmed(found->second))) {
            if (named != nullptr) {
                *named = std::string(mark.file) + " [" + mark.value + "]";
            }
            return mark.provider;
        }
    }
    return nullptr;
}

std::string FirmwareId(const Provider& provider, const report::DmiFields& dmi) {
    if (provider.idInFirmware == nullptr) {
        return "";
    }
    const auto found = dmi.find(provider.idInFirmware);
    const std::string id = found == dmi.end() ? "" : Trimmed(found->second);
    return Fits(provider.idShape, id) ? id : "";
}

}  // namespace vmdetect::cloud
