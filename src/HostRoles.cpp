// Host-role probes: Docker daemon and Xen control domain.
#include "ZTVMDetect.h"

bool ZTVMDetect::DetectHypervisor_Host(unsigned int&) { return true; }
bool ZTVMDetect::IsDockerHost() { return false; }
bool ZTVMDetect::IsXenDom0() { return false; }
bool ZTVMDetect::IsHyperVRoleInstalled(const std::string&, const std::string&, const std::string&,
                                       bool&, std::string&) {
    return false;
}
CYbError ZTVMDetect::DockerProcWalker(const char*, const char*, bool, void*) {
    return CYbError::Success();
}
