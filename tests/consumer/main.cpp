// A downstream program: the public header, two C entry points, the class and
// the logging it inherits.
#include <ZTVMDetect.h>

#include <cstdio>
#include <string>

int main() {
    const unsigned int flags = DetectHypervisor();
    std::string uuid = "unset";  // stays so when nothing is detected
    GetLocalVMUUID(uuid);
    ZTVMDetect detector;
    detector.Debug("int main()", "consumer built against %s", "the installed package");
    detector.DebugLvl("int main()", 1, "flags 0x%x", flags);
    detector.Error("int main()", "%s", "an error line goes to the log, not to stdout");
    std::printf("flags=0x%x platform=[%s] uuid=[%s]\n", flags,
                detector.GetHypervisorString(flags).c_str(), uuid.c_str());
    return 0;
}
