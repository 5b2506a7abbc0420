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

void ZTVMDetect::GetLocalVMUUID(std::string& /*uuid*/) {}
void ZTVMDetect::GetLocalVMHostName(std::string& /*hostName*/) {}
void ZTVMDetect::GetLocalVMDataCenterName(std::string& /*dataCenter*/) {}
void ZTVMDetect::GetLocalProjectId(std::string& /*projectId*/) {}

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
