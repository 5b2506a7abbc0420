// Harness of the end-to-end tests: the same safe defaults as the unit
// tests, set before the library is ever loaded.
#include <gmock/gmock.h>
#include <stdlib.h>

#include "TestSupport.h"

int main(int argc, char** argv) {
    testsupport::SetSafeDefaults();
    ::testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
