// Test harness. Before any test runs, every metadata endpoint points at a
// closed loopback port, the configuration at a file that does not exist and
// the log at nothing, so that a test that forgets an override fails instead
// of reaching a real service or the machine's own settings.
#include <gmock/gmock.h>
#include <stdlib.h>
#include <unistd.h>

#include "LogSink.h"

int main(int argc, char** argv) {
    // Started by a host-role test under another argument vector, to be
    // found in the real process table: only sleep.
    if (::getenv("VMDETECT_TEST_SLEEPER") != nullptr) {
        ::sleep(30);
        return 0;
    }
    ::setenv("AWS_EC2_METADATA_SERVICE_ENDPOINT", "http://127.0.0.1:9", 1);
    ::setenv("GCE_METADATA_HOST", "127.0.0.1:9", 1);
    ::setenv("VMDETECT_OCI_METADATA_ENDPOINT", "http://127.0.0.1:9", 1);
    ::unsetenv("AWS_EC2_METADATA_DISABLED");
    ::setenv("VMDETECT_CONFIG", "/nonexistent/vmdetect-test.conf", 1);
    ::setenv("VMDETECT_LOG", "/dev/null", 1);
    ::setenv("VMDETECT_LOG_LEVEL", "0", 1);
    vmdetect::log::Reconfigure();
    ::testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
