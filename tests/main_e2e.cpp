// Harness of the end-to-end tests: the same safe defaults as the unit
// tests, set before the library is ever loaded.
#include <gmock/gmock.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    ::setenv("AWS_EC2_METADATA_SERVICE_ENDPOINT", "http://127.0.0.1:9", 1);
    ::setenv("GCE_METADATA_HOST", "127.0.0.1:9", 1);
    ::setenv("VMDETECT_OCI_METADATA_ENDPOINT", "http://127.0.0.1:9", 1);
    ::unsetenv("AWS_EC2_METADATA_DISABLED");
    ::setenv("VMDETECT_CONFIG", "/nonexistent/vmdetect-test.conf", 1);
    ::setenv("VMDETECT_LOG", "/dev/null", 1);
    ::setenv("VMDETECT_LOG_LEVEL", "0", 1);
    ::testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
