// The flag word's display text.
#include <gtest/gtest.h>

#include "ZTVMDetect.h"

namespace {

struct DisplayCase {
    unsigned int flags;
    const char* text;
};

TEST(DisplayText, NamesSetBitsInTableOrder) {
    const DisplayCase cases[] = {
        {0, ""},
        {0x1, "VMware VM"},
        {0x20001, "VMware VM, Docker Host"},
        {0x40001, "VMware VM, XEN Host"},
        {0x70000, "Hyper-V Host, Docker Host, XEN Host"},
        {0x200, ""},
        {0x80000, ""},
        {0x1FF, "VMware VM, Hyper-V VM, XEN VM, KVM VM, Amazon VM, Azure VM, GoogleCloud VM, "
                "Oracle Cloud Infrastructure VM, Alibaba Cloud VM"},
        {0xFFFFFFFF, "VMware VM, Hyper-V VM, XEN VM, KVM VM, Amazon VM, Azure VM, GoogleCloud VM, "
                     "Oracle Cloud Infrastructure VM, Alibaba Cloud VM, Hyper-V Host, Docker "
                     "Host, XEN Host"},
    };
    ZTVMDetect detector;
    for (const DisplayCase& c : cases) {
        EXPECT_EQ(detector.GetHypervisorString(c.flags), c.text) << std::hex << c.flags;
    }
}

TEST(DisplayText, AppendSeparatesWithComma) {
    ZTVMDetect detector;
    std::string text;
    detector.AppendToHypervisorString(text, "A");
    EXPECT_EQ(text, "A");
    detector.AppendToHypervisorString(text, "B");
    EXPECT_EQ(text, "A, B");
}

}  // namespace
