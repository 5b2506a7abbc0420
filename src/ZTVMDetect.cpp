// The detector's frame: construction, the exported entry points, the flag
// word and its display text, and the identity queries.
#include "ZTVMDetect.h"

#include <cstddef>

#include "FirmwareCache.h"

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
    unsigned int flags = 0;
    DetectHypervisor_Host(flags);
    DetectHypervisor_VM(flags);
    if (flags != 0) {
        const std::string text = GetHypervisorString(flags);
        Debug("unsigned int ZTVMDetect::DetectHypervisor()", "Local Hypervisor type: [%s]",
              text.c_str());
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
        Debug("void ZTVMDetect::GetLocalVMUUID(std::string&)", "Local VM UUID: [%s]", uuid.c_str());
    }
}

void ZTVMDetect::GetLocalVMHostName(std::string& hostName) {
    static constexpr const char* kFunction = "void ZTVMDetect::GetLocalVMHostName(std::string&)";
    unsigned int flags = 0;
    DetectHypervisor_VM(flags);
    if (flags == 0) {
        return;
    }
    if (flags == HV_AMAZON_VM) {
        GetLocalVMHostNameFromAmazon(hostName);
    } else if (flags == HV_GOOGLECLOUD_VM) {
        GetLocalVMHostNameFromGoogleCloud(hostName);
    }
    if (hostName.empty()) {
        DebugLvl(kFunction, 2, "Hostname is empty");
    } else {
        Debug(kFunction, "Local Hostname: [%s]", hostName.c_str());
    }
}

void ZTVMDetect::GetLocalVMDataCenterName(std::string& dataCenter) {
    static constexpr const char* kFunction =
        "void ZTVMDetect::GetLocalVMDataCenterName(std::string&)";
    unsigned int flags = 0;
    DetectHypervisor_VM(flags);
    if (flags == 0) {
        return;
    }
    if (flags == HV_AMAZON_VM) {
        GetLocalVMDataCenterNameFromAmazon(dataCenter);
    } else if (flags == HV_GOOGLECLOUD_VM) {
        GetLocalVMDataCenterNameFromGoogleCloud(dataCenter);
    }
    if (dataCenter.empty()) {
        DebugLvl(kFunction, 2, "Datacenter is empty");
    } else {
        Debug(kFunction, "Local Datacenter: [%s]", dataCenter.c_str());
    }
}

void ZTVMDetect::GetLocalProjectId(std::string& projectId) {
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
        Debug("void ZTVMDetect::GetLocalProjectId(std::string&)", "Local VM Project Id: [%s]",
              projectId.c_str());
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
