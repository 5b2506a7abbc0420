// Cloud instance metadata: Amazon EC2, Google Cloud and Oracle Cloud.
#include "ZTVMDetect.h"

bool ZTVMDetect::_IsOracleCloudInfrastructureVM() { return false; }
void ZTVMDetect::GetLocalVMUUIDFromOCI(std::string&) {}
void ZTVMDetect::GetLocalVMUUIDFromAmazon(std::string&) {}
void ZTVMDetect::GetLocalVMHostNameFromAmazon(std::string&) {}
void ZTVMDetect::GetLocalVMDataCenterNameFromAmazon(std::string&) {}
void ZTVMDetect::GetLocalVMUUIDFromGoogleCloud(std::string&) {}
void ZTVMDetect::GetLocalVMProjectIdFromGoogleCloud(std::string&) {}
void ZTVMDetect::GetLocalVMHostNameFromGoogleCloud(std::string&) {}
void ZTVMDetect::GetLocalVMDataCenterNameFromGoogleCloud(std::string&) {}
