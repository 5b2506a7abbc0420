// The error value and its detail.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "CYbError.h"
#include "adapters/FXErrorUtil.h"

namespace {

TEST(Error, CodesAndDetail) {
    const CYbError success = CYbError::Success();
    EXPECT_EQ(success.GetErrorCode(), 0);
    EXPECT_FALSE(success.IsError());
    EXPECT_EQ(success.GetDetail(), nullptr);

    const FXCodeLocation where{"ZTVMDetect",
                               "static CYbError ZTVMDetect::DockerProcWalker(const char*, const "
                               "char*, bool, void*)",
                               910};
    const std::string longName(1000, 'n');
    CYbError found = FXErrorUtil::ErrorErrNo(where, 1234, "Found docker daemon pid %s",
                                             longName.c_str());
    EXPECT_EQ(found.GetErrorCode(), 1234);
    EXPECT_FALSE(found.IsError());  // positive: not an error, yet not success
    ASSERT_NE(found.GetDetail(), nullptr);
    EXPECT_EQ(found.GetDetail()->message, "Found docker daemon pid " + longName);
    EXPECT_EQ(found.GetDetail()->where.line, 910);
    EXPECT_STREQ(found.GetDetail()->where.file, "ZTVMDetect");

    const CYbError failed = FXErrorUtil::ErrorErrNo(where, -2, "open");
    EXPECT_TRUE(failed.IsError());
    EXPECT_EQ(failed.GetErrorCode(), -2);
    EXPECT_TRUE(CYbError(static_cast<int32_t>(0x80000000u), nullptr).IsError());
    EXPECT_FALSE(CYbError(0x7FFFFFFF, nullptr).IsError());

    // Copy assignment shares the detail.
    CYbError copy = CYbError::Success();
    copy = found;
    EXPECT_EQ(copy.GetErrorCode(), 1234);
    EXPECT_EQ(copy.GetDetail(), found.GetDetail());
}

}  // namespace
