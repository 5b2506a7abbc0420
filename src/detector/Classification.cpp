// Guest classification from the firmware strings, and the service probe
// that tells Azure from plain Hyper-V.
#include <cstring>

#include "Constants.h"
#include "HostProc.h"
#include "detector/ProbeCache.h"
#include "ZTVMDetect.h"
#include "adapters/FXString.h"
#include "adapters/ZtProcess.h"

namespace {

using Probe = bool (ZTVMDetect::*)();

// One rule of the chain. It holds when the manufacturer contains any of
// `names` (and, when `versionNeedle` is set, the version contains it), or
// else when the manufacturer contains `orElse`. A rule with a probe sets
// `bit` when the probe says yes and `bitOtherwise` when it says no.
struct GuestRule {
    const char* names[5];
    const char* versionNeedle;
    const char* orElse;
    Probe probe;
    unsigned int bit;
    unsigned int bitOtherwise;
};

// The order matters: the first rule that holds decides, even when it sets
// no bit (QEMU outside Oracle Cloud never reaches the Alibaba rule).
// Each row names the captures under tests/data/dmi that back it; strings no
// capture shows are marked as taken from the rules alone.
const GuestRule kGuestRules[] = {
    // vmware-1, vmware-2
    {{"VMware"}, nullptr, nullptr, nullptr, HV_VMWARE_VM, 0},
    // hyperv-1, azure-1-spaces; "MicrosoftCorporation": from the rules alone
    {{"Microsoft Corporation", "MicrosoftCorporation"}, nullptr, nullptr, &ZTVMDetect::_IsAzureVM,
     HV_AZURE_VM, HV_HYPERV_VM},
    // ec2-xen-1 (Xen, version 4.2.amazon), ec2-nitro-1 and ec2-metal-1 (Amazon EC2);
    // "xen": from the rules alone
    {{"Xen", "xen"}, "amazon", "Amazon EC2", nullptr, HV_AMAZON_VM, 0},
    // xen-hvm-aliyun-quiet-1
    {{"Xen"}, nullptr, nullptr, nullptr, HV_XEN_VM, 0},
    // rhev-1, kvm-redhat-masked-2, xen-hvm-redhat-1 (Red Hat), ovirt-1-reindented-head,
    // nutanix-1; "RedHat", "Mission Critical Cloud": from the rules alone
    {{"RedHat", "Red Hat", "Mission Critical Cloud", "oVirt", "Nutanix"}, nullptr, nullptr, nullptr,
     HV_KVM_VM, 0},
    // gce-1
    {{"Google"}, nullptr, nullptr, nullptr, HV_GOOGLECLOUD_VM, 0},
    // qemu-1; the Oracle probe: metadata/oci-opc-v1-instance-ashburn-2017.json
    {{"QEMU"}, nullptr, nullptr, &ZTVMDetect::_IsOracleCloudInfrastructureVM, HV_OCI_VM, 0},
    // alibaba-1
    {{"Alibaba"}, nullptr, nullptr, nullptr, HV_ALIBABA_VM, 0},
};

// The two probe answers reused under nProbeCacheSeconds: on a QEMU guest
// whose metadata address swallows requests the Oracle check then waits out
// its time-out once per period instead of on every call.
vmdetect::probecache::Remembered<bool> g_azureAnswer;
vmdetect::probecache::Remembered<bool> g_oracleAnswer;

bool AskProbe(ZTVMDetect& detector, Probe probe) {
    vmdetect::probecache::Remembered<bool>& kept =
        probe == &ZTVMDetect::_IsAzureVM ? g_azureAnswer : g_oracleAnswer;
    bool answer = false;
    if (!kept.Get(answer)) {
        answer = (detector.*probe)();
        kept.Put(answer);
    }
    return answer;
}

bool Contains(const std::string& text, const char* needle) {
    return text.find(needle) != std::string::npos;
}

bool Holds(const GuestRule& rule, const std::string& manufacturer, const std::string& version) {
    for (const char* name : rule.names) {
        if (name != nullptr && Contains(manufacturer, name)) {
            if (rule.versionNeedle == nullptr || Contains(version, rule.versionNeedle)) {
                return true;
            }
            break;
        }
    }
    return rule.orElse != nullptr && Contains(manufacturer, rule.orElse);
}

}  // namespace

bool ZTVMDetect::DetectHypervisor_VM(unsigned int& flags) {
    static constexpr const char* kFunction = "bool ZTVMDetect::DetectHypervisor_VM(unsigned int&)";
    std::string manufacturer;
    std::string serialNumber;
    std::string uuid;
    std::string version;
    if (!GetBiosInfo(manufacturer, serialNumber, uuid, version)) {
        Debug(kFunction, "Failed to get BiosInfo");
        return false;
    }
    for (const GuestRule& rule : kGuestRules) {
        if (!Holds(rule, manufacturer, version)) {
            continue;
        }
        const bool yes = rule.probe == nullptr || AskProbe(*this, rule.probe);
        flags |= yes ? rule.bit : rule.bitOtherwise;
        break;
    }
    DebugLvl(kFunction, 4, "Manufacturer of VM is [%s], HypervisorProp [%d]", manufacturer.c_str(),
             static_cast<int>(flags));
    return true;
}

bool ZTVMDetect::_IsAzureVM() {
    static constexpr const char* kFunction = "bool ZTVMDetect::_IsAzureVM()";
    bool found = false;
    DebugLvl(kFunction, 4, "Checking if the VM is running inside Azure...");
    if (!_DoesUnixServiceExist(vmdetect::kAzureAgentService, found)) {
        return false;
    }
    return found;
}

bool ZTVMDetect::_DoesUnixServiceExist(const std::string& serviceName, bool& exists) {
    static constexpr const char* kFunction =
        "bool ZTVMDetect::_DoesUnixServiceExist(const string&, bool&)";
    DebugLvl(kFunction, 4, "Checking for Service [%s]", serviceName.c_str());
    std::string command;
    std::string output;
    std::string errorOutput;
    FXString::Format(command, vmdetect::kServiceCommandFormat,
                     vmdetect::EscapeSingleQuotes(serviceName).c_str());
    const int result = ZtProcess::system(command.c_str(), &output, &errorOutput, 0, false);
    if (result != 0) {
        DebugLvl(kFunction, 2,
                 "Failed to check existence of service [%s] . Rc [%d]. Out : [%s], Err: [%s]",
                 serviceName.c_str(), result, output.c_str(), errorOutput.c_str());
        return false;
    }
    if (output.find(serviceName) != std::string::npos) {
        DebugLvl(kFunction, 1, "Service [%s] is present", serviceName.c_str());
        exists = true;
    }
    return true;
}

bool ZTVMDetect::_DoesWindowsServiceExist(const std::string& /*serviceName*/, bool& /*exists*/) {
    return true;
}
