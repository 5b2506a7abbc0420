// A simulated machine for the end-to-end tests: fake tools, a process tree,
// a configuration file, and the library loaded by name.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "MetadataServer.h"
#include "TestSupport.h"

namespace e2e {

constexpr const char* kSentinel = "sentinel-value";

struct Library {
    using StringFunction = void (*)(std::string&);
    Library();
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    bool ok() const;

    unsigned int (*detectHypervisor)() = nullptr;
    StringFunction getUUID = nullptr;
    StringFunction getHostName = nullptr;
    StringFunction getDataCenter = nullptr;
    StringFunction getProjectId = nullptr;

private:
    void* m_handle = nullptr;
};

// The five answers, the outputs having been passed in holding kSentinel.
struct Answers {
    unsigned int flags = 0;
    std::string uuid, zone, region, projectId;
    std::vector<std::string> log;
    bool Logged(const std::string& needle) const;
};

class Machine {
public:
    Machine();
    std::string dmi;        // capture under tests/data/dmi, or an absolute path
    std::string systemctl;  // rows under tests/data/systemctl
    std::map<std::string, std::string> extraEnv;
    // Answers the EC2, Google and Oracle requests; every endpoint points here.
    testsupport::MetadataServer metadata;
    void DockerDaemon(int pid);
    void XenControlDomain();
    void Config(const std::string& text);
    const testsupport::TempDir& dir() const { return m_dir; }
    // Loads the library, calls DetectHypervisor and the four identity functions.
    Answers Ask();
    // Runs `vmdetect --json` on the same machine; the outputs start empty.
    Answers AskCli();

private:
    std::vector<std::unique_ptr<testsupport::ScopedEnv>> Environment();
    testsupport::TempDir m_dir;
    std::string m_path;
};

}  // namespace e2e
