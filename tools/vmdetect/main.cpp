// vmdetect: prints the platform this machine runs on.
#include <ZTVMDetect.h>

#include <cstdio>

int main() {
    const unsigned int flags = DetectHypervisor();
    std::printf("flags 0x%x\n", flags);
    return 0;
}
