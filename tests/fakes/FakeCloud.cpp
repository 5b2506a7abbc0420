#include "fakes/FakeCloud.h"

#include <gtest/gtest.h>

namespace testsupport {

FakeCloud::FakeCloud()
    : m_ec2("AWS_EC2_METADATA_SERVICE_ENDPOINT", server.url().c_str()),
      m_gce("GCE_METADATA_HOST", server.hostPort().c_str()),
      m_oci("VMDETECT_OCI_METADATA_ENDPOINT", server.url().c_str()),
      m_disabled("AWS_EC2_METADATA_DISABLED", nullptr) {}

FakeCloud::~FakeCloud() {
    for (const auto& request : server.unexpected()) {
        ADD_FAILURE() << "unexpected request " << request.method << " " << request.path;
    }
    for (const auto& request : server.requests()) {
        const bool google = request.path.rfind("/computeMetadata/", 0) == 0;
        EXPECT_EQ(request.has("Metadata-Flavor"), google) << request.path;
        if (google) {
            EXPECT_EQ(request.header("Metadata-Flavor"), "Google");
        }
        const bool token = request.path == "/latest/api/token";
        EXPECT_EQ(request.method, token ? "PUT" : "GET") << request.path;
    }
}

std::vector<std::string> Errors(const LogCapture& log) { return log.matching(" ERROR "); }

void ExpectOneError(const LogCapture& log, const std::string& function, const std::string& message,
                    const std::string& context) {
    const auto errors = Errors(log);
    ASSERT_EQ(errors.size(), 1u) << context;
    const std::string tail = " ERROR " + function + ": " + message;
    EXPECT_TRUE(errors[0].size() >= tail.size() &&
                errors[0].compare(errors[0].size() - tail.size(), tail.size(), tail) == 0)
        << context << ": " << errors[0];
}

}  // namespace testsupport
