// A downstream program: the public header, two C entry points and the class.
#include <ZTVMDetect.h>

#include <cstdio>
#include <string>

int main() {
    const unsigned int flags = DetectHypervisor();
    std::string uuid = "unset";  // stays so when nothing is detected
    GetLocalVMUUID(uuid);
    ZTVMDetect detector;
    std::printf("flags=0x%x platform=[%s] uuid=[%s]\n", flags,
                detector.GetHypervisorString(flags).c_str(), uuid.c_str());
    return 0;
}
