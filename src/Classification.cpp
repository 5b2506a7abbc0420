// Guest classification and the service probe.
#include "ZTVMDetect.h"

bool ZTVMDetect::DetectHypervisor_VM(unsigned int&) { return false; }
bool ZTVMDetect::_IsAzureVM() { return false; }
bool ZTVMDetect::_DoesUnixServiceExist(const std::string&, bool&) { return false; }
bool ZTVMDetect::_DoesWindowsServiceExist(const std::string&, bool&) { return true; }
