// The simulated machine: its environment, the library loaded by name and
// the command run on the same evidence.
#include "E2E.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "EndpointVariables.h"

using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace e2e {

Library::Library() {
    m_handle = ::dlopen(VMDETECT_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        return;
    }
    detectHypervisor = reinterpret_cast<unsigned int (*)()>(::dlsym(m_handle, "DetectHypervisor"));
    getUUID = reinterpret_cast<StringFunction>(::dlsym(m_handle, "GetLocalVMUUID"));
    getHostName = reinterpret_cast<StringFunction>(::dlsym(m_handle, "GetLocalVMHostName"));
    getDataCenter = reinterpret_cast<StringFunction>(::dlsym(m_handle, "GetLocalVMDataCenterName"));
    getProjectId = reinterpret_cast<StringFunction>(::dlsym(m_handle, "GetLocalProjectId"));
}

Library::~Library() {
    if (m_handle != nullptr) {
        ::dlclose(m_handle);
    }
}

bool Library::ok() const {
    return m_handle != nullptr && detectHypervisor && getUUID && getHostName && getDataCenter &&
           getProjectId;
}

Machine::Machine() {
    ::mkdir(m_dir.file("proc").c_str(), 0755);
    const char* path = ::getenv("PATH");
    m_path = std::string(VMDETECT_TEST_FAKES) + ":" + (path != nullptr ? path : "/usr/bin:/bin");
}

void Machine::DockerDaemon(int pid) {
    const std::string dir = m_dir.file("proc/" + std::to_string(pid));
    ::mkdir(dir.c_str(), 0755);
    testsupport::WriteFile(dir + "/cmdline", std::string("/usr/bin/docker\0daemon\0", 23));
}

void Machine::XenControlDomain() {
    ::mkdir(m_dir.file("proc/xen").c_str(), 0755);
    testsupport::WriteFile(m_dir.file("proc/xen/capabilities"), "control_d\n");
}

void Machine::Config(const std::string& text) {
    testsupport::WriteFile(m_dir.file("vmdetect.conf"), text);
}

std::vector<std::unique_ptr<ScopedEnv>> Machine::Environment() {
    std::vector<std::unique_ptr<ScopedEnv>> env;
    auto set = [&env](const char* name, const std::string& value) {
        env.push_back(std::make_unique<ScopedEnv>(name, value.c_str()));
    };
    set("PATH", m_path);
    set("HOST_PROC", m_dir.file("proc"));
    set("VMDETECT_CONFIG", m_dir.file("vmdetect.conf"));
    set("VMDETECT_LOG", m_dir.file("log"));
    set("VMDETECT_LOG_LEVEL", "4");
    if (!dmi.empty()) {
        set("VMDETECT_FAKE_DMI", dmi[0] == '/' ? dmi : testsupport::DataPath("dmi/" + dmi));
    }
    if (!systemctl.empty()) {
        set("VMDETECT_FAKE_SYSTEMCTL", testsupport::DataPath("systemctl/" + systemctl));
    }
    for (const auto& variable : vmdetect_endpoints::kVariables) {
        if (variable.loopback != nullptr) {
            const bool url = std::string(variable.loopback).rfind("http://", 0) == 0;
            set(variable.name, url ? metadata.url() : metadata.hostPort());
        }
    }
    for (const auto& pair : extraEnv) {
        set(pair.first.c_str(), pair.second);
    }
    return env;
}

Answers Machine::AskCli() {
    const auto env = Environment();
    Answers answers;
    const std::string command = testsupport::LaunchCommand(VMDETECT_CLI_PATH) + " --json";
    FILE* pipe = ::popen(command.c_str(), "r");
    EXPECT_NE(pipe, nullptr);
    if (pipe == nullptr) {
        return answers;
    }
    std::string text;
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        text.append(buffer, got);
    }
    EXPECT_EQ(::pclose(pipe), 0);
    const nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
    EXPECT_TRUE(json.is_object()) << text;
    if (!json.is_object()) {
        return answers;
    }
    answers.flags = json.value("flags", 0u);
    answers.uuid = json.value("uuid", "");
    answers.zone = json.value("zone", "");
    answers.region = json.value("region", "");
    answers.projectId = json.value("project_id", "");
    return answers;
}

Answers Machine::Ask() {
    const auto env = Environment();
    Answers answers;
    Library library;
    EXPECT_TRUE(library.ok()) << ::dlerror();
    if (!library.ok()) {
        return answers;
    }
    answers.uuid = answers.zone = answers.region = answers.projectId = kSentinel;
    answers.flags = library.detectHypervisor();
    library.getUUID(answers.uuid);
    library.getHostName(answers.zone);
    library.getDataCenter(answers.region);
    library.getProjectId(answers.projectId);
    std::istringstream log(testsupport::ReadFile(m_dir.file("log")));
    for (std::string line; std::getline(log, line);) {
        answers.log.push_back(line);
    }
    return answers;
}

bool Answers::Logged(const std::string& needle) const {
    for (const std::string& line : log) {
        if (line.find(needle) != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace e2e
