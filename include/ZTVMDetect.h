// vmdetect: on which virtualisation or cloud platform does this machine run,
// and what is its identity there.
#pragma once

#include <string>

#include "CYbError.h"
#include "EvDebug.h"

#define VMDETECT_API __attribute__((visibility("default")))

// Guest bits (at most one per classification) and host-role bits.
enum HypervisorProp : unsigned int {
    HV_VMWARE_VM = 0x1,
    HV_HYPERV_VM = 0x2,
    HV_XEN_VM = 0x4,
    HV_KVM_VM = 0x8,
    HV_AMAZON_VM = 0x10,
    HV_AZURE_VM = 0x20,
    HV_GOOGLECLOUD_VM = 0x40,
    HV_OCI_VM = 0x80,
    HV_ALIBABA_VM = 0x100,
    HV_HYPERV_HOST = 0x10000,
    HV_DOCKER_HOST = 0x20000,
    HV_XEN_HOST = 0x40000,
};

class VMDETECT_API ZTVMDetect : public EvDebug {
public:
    ZTVMDetect();
    ~ZTVMDetect();

    // Identity queries.
    void GetLocalVMUUID(std::string& uuid);
    void GetLocalVMDataCenterName(std::string& dataCenter);
    void GetLocalVMHostName(std::string& hostName);
    void GetLocalProjectId(std::string& projectId);

    // Platform flags.
    unsigned int DetectHypervisor();
    std::string GetHypervisorString(unsigned int flags);
    void AppendToHypervisorString(std::string& text, const char* name);

    // Guest classification and host roles.
    bool DetectHypervisor_VM(unsigned int& flags);
    bool DetectHypervisor_Host(unsigned int& flags);
    bool IsDockerHost();
    bool IsXenDom0();
    bool IsHyperVRoleInstalled(const std::string& a, const std::string& b, const std::string& c,
                               bool& installed, std::string& detail);
    static CYbError DockerProcWalker(const char* directory, const char* name, bool isDirectory,
                                     void* context);
    bool _IsAzureVM();
    bool _DoesUnixServiceExist(const std::string& serviceName, bool& exists);
    bool _DoesWindowsServiceExist(const std::string& serviceName, bool& exists);

    // Firmware identity.
    bool GetBiosInfo(std::string& manufacturer, std::string& serialNumber, std::string& uuid,
                     std::string& version);
    bool GetBiosInfo_Unix(std::string& manufacturer, std::string& serialNumber, std::string& uuid,
                          std::string& version);
    bool GetBiosInfo_Windows(std::string& manufacturer, std::string& serialNumber,
                             std::string& uuid, std::string& version);
    bool DMIDecode(const std::string& key, std::string& value, const std::string& separator);
    bool GetSMBIOSVersion(int& version);
    bool CheckAndReformatBIOSUUID_Unix(const std::string& manufacturer, int smbiosVersion,
                                       std::string& uuid);
    bool CheckAndReformatBIOSUUID_Windows(const std::string& manufacturer, int smbiosVersion,
                                          std::string& uuid);
    void ReformatBIOSUUID(std::string& uuid);
    void ByteSwapUUID(std::string& uuid);

    // Cloud instance metadata.
    bool _IsOracleCloudInfrastructureVM();
    void GetLocalVMUUIDFromOCI(std::string& uuid);
    void GetLocalVMUUIDFromAmazon(std::string& uuid);
    void GetLocalVMHostNameFromAmazon(std::string& hostName);
    void GetLocalVMDataCenterNameFromAmazon(std::string& dataCenter);
    void GetLocalVMUUIDFromGoogleCloud(std::string& uuid);
    void GetLocalVMProjectIdFromGoogleCloud(std::string& projectId);
    void GetLocalVMHostNameFromGoogleCloud(std::string& hostName);
    void GetLocalVMDataCenterNameFromGoogleCloud(std::string& dataCenter);

    // Process-wide firmware cache, filled on first use and never cleared.
    static std::string c_sManufacturer;
    static std::string c_sSerialNumber;
    static std::string c_sBiosUUID;
    static std::string c_sVersion;
};

extern "C" {
VMDETECT_API void GetLocalVMUUID(std::string& uuid);
VMDETECT_API unsigned int DetectHypervisor();
VMDETECT_API void GetLocalVMDataCenterName(std::string& dataCenter);
VMDETECT_API void GetLocalVMHostName(std::string& hostName);
VMDETECT_API void GetLocalProjectId(std::string& projectId);
}
