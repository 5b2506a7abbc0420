// Test harness: safe defaults (closed loopback endpoints, no configuration,
// no log) are in place before any test runs.
#include <gmock/gmock.h>
#include <stdlib.h>
#include <unistd.h>

#include "adapters/LogSink.h"
#include "TestSupport.h"

int main(int argc, char** argv) {
    // Started by a host-role test under another argument vector, to be
    // found in the real process table: only sleep.
    if (::getenv("VMDETECT_TEST_SLEEPER") != nullptr) {
        ::sleep(30);
        return 0;
    }
    testsupport::SetSafeDefaults();
    vmdetect::log::Reconfigure();
    ::testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
