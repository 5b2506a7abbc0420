// Helpers of the metadata tests: the three services on one loopback
// stand-in, a client step made to fail, and the one Error line expected.
#pragma once

#include <string>
#include <vector>

#include "TestSupport.h"
#include "adapters/ZTLibCurl.h"
#include "fakes/MetadataServer.h"

namespace testsupport {

// One loopback stand-in for all three services, with the endpoint variables
// pointing at it for its lifetime. On destruction it checks what every
// request looked like: only known paths, GET (PUT only for the EC2 token),
// and the Google header on Google requests alone.
class FakeCloud {
public:
    FakeCloud();
    ~FakeCloud();
    FakeCloud(const FakeCloud&) = delete;
    FakeCloud& operator=(const FakeCloud&) = delete;

    MetadataServer server;

private:
    ScopedEnv m_ec2;
    ScopedEnv m_gce;
    ScopedEnv m_oci;
    ScopedEnv m_disabled;
};

// Makes one step of every HTTP client fail for its lifetime.
class FaultGuard {
public:
    explicit FaultGuard(ZTLibCurlFault fault) { ZTLibCurl::InjectFaultForTesting(fault); }
    ~FaultGuard() { ZTLibCurl::InjectFaultForTesting(ZTLibCurlFault::None); }
    FaultGuard(const FaultGuard&) = delete;
    FaultGuard& operator=(const FaultGuard&) = delete;
};

std::vector<std::string> Errors(const LogCapture& log);

// Exactly one Error line, and it is `message` under `function`.
void ExpectOneError(const LogCapture& log, const std::string& function, const std::string& message,
                    const std::string& context);

}  // namespace testsupport
