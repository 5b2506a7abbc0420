// Which cloud the world-readable firmware files name. Files readable by root
// only (product_serial, product_uuid) are never asked: the answer must be
// the same for every user.
#include <algorithm>
#include <cctype>
#include <string_view>

#include "cloud/Providers.h"

namespace vmdetect::cloud {
namespace {

enum class Compare { kEqual, kPrefix, kSuffix, kContains };  // contains: case-blind

// Clouds known from the firmware alone: no metadata service is asked. One
// rule names every cloud, here and in the providers' files: OpenTelemetry's
// semantic conventions where they define a value (aws, gcp, azure,
// oracle_cloud, alibaba_cloud, ibm_cloud, tencent_cloud), else the
// OpenTelemetry Collector's (openstack, digitalocean, hetzner, vultr,
// akamai_cloud, scaleway_cloud, upcloud), else cloud-init's cloud-id.
constexpr Provider Named(const char* provider, const char* platform = nullptr) {
    return {provider, platform, nullptr, nullptr, nullptr, nullptr, Shape::kText};
}
const Provider kNwcs = Named("nwcs");
const Provider kExoscale = Named("exoscale");
const Provider kCloudStack = Named("cloudstack");
const Provider kCloudSigma = Named("cloudsigma");
const Provider kCloudCix = Named("cloudcix");
const Provider kJoyent = Named("joyent");
const Provider kZStack = Named("zstack");
const Provider kE24Cloud = Named("e24cloud");
const Provider kOutscale = Named("outscale");

// What else a mark needs before it names a cloud. Most marks are a cloud's
// own, and its bare-metal instances carry them too (Amazon EC2 on .metal,
// OracleCloud.com, Google Compute Engine), so they need nothing. A few are a
// maker's name that the maker also puts on physical computers it sells
// (Google's Chromebooks, Hetzner's dedicated servers): those count only
// where x86's processor says this is a guest, or where a row of the cloud's
// own product name or asset tag, tried first, names it anyway.
enum class Needs { kNothing, kGuest };

struct Mark {
    const char* file;  // under /sys/class/dmi/id
    const char* value;
    const Provider* provider;
    Compare compare;
    Needs needs = Needs::kNothing;
    // A second file that must hold exactly this value too, where one mark
    // alone is too loose (nullptr: none).
    const char* alsoFile = nullptr;
    const char* alsoValue = nullptr;
};

// The first row that matches names the cloud. A cloud built on another
// platform may carry that platform's marks too (Open Telekom Cloud and
// Huawei Cloud are OpenStack with asset tags of their own; Exoscale runs
// CloudStack), so the rows go from the most specific to the most generic:
// first the asset tags an operator sets, then the cloud's own product names
// that its vendor row would otherwise need a second mark for, then the
// vendors, then product names, and last the names of the platforms clouds
// are built on and the loose "amazon" in Xen-era version strings. No row
// matches on-premises Hyper-V: Azure's asset tag is the one mark it lacks.
// Rows without a capture rest on cloud-init's ds-identify, which names the
// same values; every row is also checked against 3,000 physical computers
// (tests/data/physical).
const Mark kMarks[] = {
    {"chassis_asset_tag", "7783-7084-3265-9085-8269-3286-77", &kAzure, Compare::kEqual},  // azure-1-spaces.txt
    {"chassis_asset_tag", "4860-8370-5222-2345-9626-0897-77", &kAzure, Compare::kEqual},  // Azure Stack
    {"chassis_asset_tag", "OracleCloud.com", &kOracle, Compare::kEqual},  // bare-metal shapes too
    {"chassis_asset_tag", "OpenTelekomCloud", &kOpenStack, Compare::kEqual},
    {"chassis_asset_tag", "SAP CCloud VM", &kOpenStack, Compare::kEqual},
    {"chassis_asset_tag", "HUAWEICLOUD", &kOpenStack, Compare::kEqual},
    {"chassis_asset_tag", "Samsung Cloud Platform", &kOpenStack, Compare::kEqual},
    {"chassis_asset_tag", "OpenStack Nova", &kOpenStack, Compare::kEqual},
    {"chassis_asset_tag", "OpenStack Compute", &kOpenStack, Compare::kEqual},
    {"chassis_asset_tag", ".zstack.io", &kZStack, Compare::kSuffix},
    // Google's bare-metal instances are named like its guests; Chromebooks
    // are not, and have no hypervisor bit.
    {"product_name", "Google Compute Engine", &kGcp, Compare::kEqual},  // gce-1.txt
    {"sys_vendor", "Google", &kGcp, Compare::kEqual, Needs::kGuest},    // gce-1.txt; physical: Chromebooks
    // Hetzner Cloud's servers are vServers; its dedicated servers carry
    // Hetzner's name on a blank product and no hypervisor bit.
    {"product_name", "vServer", &kHetzner, Compare::kEqual, Needs::kNothing, "sys_vendor", "Hetzner"},
    {"sys_vendor", "Hetzner", &kHetzner, Compare::kEqual, Needs::kGuest},  // physical: dedicated servers
    {"sys_vendor", "Amazon EC2", &kAws, Compare::kEqual},              // ec2-nitro-1.txt; ec2-metal-1.txt is an instance too
    {"sys_vendor", "Alibaba Cloud", &kAlibaba, Compare::kEqual},       // alibaba-1.txt
    {"sys_vendor", "DigitalOcean", &kDigitalOcean, Compare::kEqual},
    {"sys_vendor", "Tencent Cloud", &kTencent, Compare::kEqual},  // systemd's metadata vendor table
    {"chassis_vendor", "IBM:Cloud Compute Server", &kIbmCloud, Compare::kPrefix},  // VPC; classic has no such mark
    {"sys_vendor", "Scaleway", &kScaleway, Compare::kEqual},
    {"sys_vendor", "UpCloud", &kUpCloud, Compare::kEqual},             // upcloud-1.txt
    {"sys_vendor", "Vultr", &kVultr, Compare::kEqual},
    {"sys_vendor", "Akamai", &kAkamai, Compare::kEqual},
    {"sys_vendor", "Linode", &kAkamai, Compare::kEqual},               // Akamai's former name
    {"sys_vendor", "NWCS", &kNwcs, Compare::kEqual},
    {"sys_vendor", "e24cloud", &kE24Cloud, Compare::kEqual},
    {"product_name", "Alibaba Cloud ECS", &kAlibaba, Compare::kEqual},
    // ds-identify names Outscale only when both marks agree.
    {"product_name", "3DS Outscale VM", &kOutscale, Compare::kEqual, Needs::kNothing, "sys_vendor", "3DS Outscale"},
    {"product_name", "Exoscale", &kExoscale, Compare::kPrefix},
    {"product_name", "CloudSigma", &kCloudSigma, Compare::kEqual},
    {"product_name", "CloudCIX", &kCloudCix, Compare::kEqual},
    {"product_name", "SmartDC", &kJoyent, Compare::kPrefix},
    {"product_name", "OpenStack Nova", &kOpenStack, Compare::kEqual},   // openstack-1.txt
    {"product_name", "OpenStack Compute", &kOpenStack, Compare::kEqual},
    {"product_name", "CloudStack", &kCloudStack, Compare::kPrefix},
    // Any maker may write "amazon" into a version string; EC2's Xen guests
    // all had the hypervisor bit.
    {"product_version", "amazon", &kAws, Compare::kContains, Needs::kGuest},  // ec2-xen-1.txt
    {"bios_version", "amazon", &kAws, Compare::kContains, Needs::kGuest},     // ec2-xen-1.txt
};

// Without the blanks around it; a view, since this runs on every networked
// report.
std::string_view Trimmed(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t\n");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\n") - first + 1);
}

bool Matches(const Mark& mark, std::string_view value) {
    const std::string_view wanted(mark.value);
    switch (mark.compare) {
        case Compare::kEqual: return value == wanted;
        case Compare::kPrefix: return value.substr(0, wanted.size()) == wanted;
        case Compare::kSuffix:
            return value.size() > wanted.size() &&
                   value.substr(value.size() - wanted.size()) == wanted;
        case Compare::kContains: {
            // As a C string: what follows a NUL is not looked at.
            value = value.substr(0, value.find('\0'));
            const auto blind = [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) ==
                       std::tolower(static_cast<unsigned char>(b));
            };
            return std::search(value.begin(), value.end(), wanted.begin(), wanted.end(), blind) !=
                   value.end();
        }
    }
    return false;
}

bool AlsoMatches(const Mark& mark, const report::DmiFields& dmi) {
    if (mark.alsoFile == nullptr) {
        return true;
    }
    const auto found = dmi.find(mark.alsoFile);
    return found != dmi.end() && Trimmed(found->second) == mark.alsoValue;
}

}  // namespace

const Provider* NamedBy(const Machine& machine, std::string* named) {
    for (const Mark& mark : kMarks) {
        const auto found = machine.dmi.find(mark.file);
        if (found != machine.dmi.end() && Matches(mark, Trimmed(found->second)) &&
            AlsoMatches(mark, machine.dmi) && (mark.needs == Needs::kNothing || machine.guest)) {
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
    const std::string id(found == dmi.end() ? std::string_view() : Trimmed(found->second));
    return Fits(provider.idShape, id) ? id : "";
}

}  // namespace vmdetect::cloud
