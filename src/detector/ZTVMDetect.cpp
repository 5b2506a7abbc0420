// The detector's frame: construction, the exported entry points, the flag
// word and its display text, and the identity queries.
#include "ZTVMDetect.h"

#include <cstddef>

#include "detector/FirmwareCache.h"

namespace {

struct FlagName {
    unsigned int bit;
    const char* name;
};

// In display order.
constexpr FlagName kFlagNames[] = {
    {HV_VMWARE_VM, "VMware VM"},
    {HV_HYPERV_VM, "Hyper-V VM"},
    {HV_XEN_VM, "XEN VM"},
    {HV_KVM_VM, "KVM VM"},
    {HV_AMAZON_VM, "Amazon VM"},
    {HV_AZURE_VM, "Azure VM"},
    {HV_GOOGLECLOUD_VM, "GoogleCloud VM"},
    {HV_OCI_VM, "Oracle Cloud Infrastructure VM"},
    {HV_ALIBABA_VM, "Alibaba Cloud VM"},
    {HV_HYPERV_HOST, "Hyper-V Host"},
    {HV_DOCKER_HOST, "Docker Host"},
    {HV_XEN_HOST, "XEN Host"},
};

}  // namespace

ZTVMDetect::ZTVMDetect() : EvDebug(nullptr) {}

ZTVMDetect::~ZTVMDetect() = default;

unsigned int ZTVMDetect::DetectHypervisor() {
    static constexpr const char* kFunction = "unsigned int ZTVMDetect::DetectHypervisor()";
    unsigned int flags = 0;
    DetectHypervisor_Host(flags);
    DetectHypervisor_VM(flags);
    if (flags != 0) {
        const std::string text = GetHypervisorString(flags);
        Debug(kFunction, "Local Hypervisor type: [%s]", text.c_str());
    }
    return flags;
}

std::string ZTVMDetect::GetHypervisorString(unsigned int flags) {
    std::string text;
    for (const FlagName& entry : kFlagNames) {
        if ((flags & entry.bit) != 0) {
            AppendToHypervisorString(text, entry.name);
        }
    }
    return text;
}

void ZTVMDetect::AppendToHypervisorString(std::string& text, const char* name) {
    if (!text.empty()) {
        text += ", ";
    }
    text += name;
}

// The identity queries classify on a fresh word without the host roles, so
// the word holds at most one guest bit and is compared whole.
void ZTVMDetect::GetLocalVMUUID(std::string& uuid) {
    static constexpr const char* kFunction = "void ZTVMDetect::GetLocalVMUUID(std::string&)";
    unsigned int flags = 0;
    DetectHypervisor_VM(flags);
    switch (flags) {
        case 0:
            return;
        case HV_AMAZON_VM:
            GetLocalVMUUIDFromAmazon(uuid);
            break;
        case HV_GOOGLECLOUD_VM:
            GetLocalVMUUIDFromGoogleCloud(uuid);
            break;
        case HV_OCI_VM:
            GetLocalVMUUIDFromOCI(uuid);
            break;
        default:
            uuid = vmdetect::firmware::CachedBiosUUID();
            break;
    }
    if (!uuid.empty()) {
        Debug(kFunction, "Local VM UUID: [%s]", uuid.c_str());
    }
}

namespace {

// Zone and region have one shape: fetched on Amazon and Google only, then
// logged whether fetched or not.
struct ZoneQuery {
    void (ZTVMDetect::*fromAmazon)(std::string&);
    void (ZTVMDetect::*fromGoogle)(std::string&);
    const char* function;
    const char* emptyMessage;
    const char* format;
};

const ZoneQuery kHostNameQuery = {&ZTVMDetect::GetLocalVMHostNameFromAmazon,
                                  &ZTVMDetect::GetLocalVMHostNameFromGoogleCloud,
                                  "void ZTVMDetect::GetLocalVMHostName(std::string&)",
                                  "Hostname is empty", "Local Hostname: [%s]"};
const ZoneQuery kDataCenterQuery = {&ZTVMDetect::GetLocalVMDataCenterNameFromAmazon,
                                    &ZTVMDetect::GetLocalVMDataCenterNameFromGoogleCloud,
                                    "void ZTVMDetect::GetLocalVMDataCenterName(std::string&)",
                                    "Datacenter is empty", "Local Datacenter: [%s]"};

void AnswerZone(ZTVMDetect& detector, const ZoneQuery& query, std::string& output) {
    unsigned int flags = 0;
    detector.DetectHypervisor_VM(flags);
    if (flags == 0) {
        return;
    }
    if (flags == HV_AMAZON_VM) {
        (detector.*query.fromAmazon)(output);
    } else if (flags == HV_GOOGLECLOUD_VM) {
        (detector.*query.fromGoogle)(output);
    }
    if (output.empty()) {
        detector.DebugLvl(query.function, 2, "%s", query.emptyMessage);
    } else {
        detector.Debug(query.function, query.format, output.c_str());
    }
}

}  // namespace

void ZTVMDetect::GetLocalVMHostName(std::string& hostName) {
    AnswerZone(*this, kHostNameQuery, hostName);
}

void ZTVMDetect::GetLocalVMDataCenterName(std::string& dataCenter) {
    AnswerZone(*this, kDataCenterQuery, dataCenter);
}

void ZTVMDetect::GetLocalProjectId(std::string& projectId) {
    static constexpr const char* kFunction = "void ZTVMDetect::GetLocalProjectId(std::string&)";
    unsigned int flags = 0;
    DetectHypervisor_VM(flags);
    if (flags == 0) {
        return;
    }
    if (flags == HV_GOOGLECLOUD_VM) {
        GetLocalVMProjectIdFromGoogleCloud(projectId);
    } else {
        projectId = "";
    }
    if (!projectId.empty()) {
        Debug(kFunction, "Local VM Project Id: [%s]", projectId.c_str());
    }
}

extern "C" {

void GetLocalVMUUID(std::string& uuid) {
    ZTVMDetect detector;
    detector.GetLocalVMUUID(uuid);
}

unsigned int DetectHypervisor() {
    ZTVMDetect detector;
    return detector.DetectHypervisor();
}

void GetLocalVMDataCenterName(std::string& dataCenter) {
    ZTVMDetect detector;
    detector.GetLocalVMDataCenterName(dataCenter);
}

void GetLocalVMHostName(std::string& hostName) {
    ZTVMDetect detector;
    detector.GetLocalVMHostName(hostName);
}

void GetLocalProjectId(std::string& projectId) {
    ZTVMDetect detector;
    detector.GetLocalProjectId(projectId);
}

}  // extern "C"
