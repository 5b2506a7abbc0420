// Host-role probes: a running Docker daemon and a Xen control domain.
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Constants.h"
#include "HostProc.h"
#include "ZTVMDetect.h"
#include "adapters/FXErrorUtil.h"
#include "adapters/FXString.h"
#include "adapters/FileSystem.h"
#include "adapters/ZtProcess.h"

namespace {

constexpr unsigned int kCmdlineReadSize = 4096;

// The entry name's leading decimal digits as a 32-bit int; 0 when none.
int LeadingPid(const char* name) {
    long long value = 0;
    for (; *name >= '0' && *name <= '9'; ++name) {
        value = value * 10 + (*name - '0');
        if (value > INT_MAX) {
            return INT_MAX;
        }
    }
    return static_cast<int>(value);
}

// The daemon as it runs since 2016: a first argument whose last path
// component is exactly "dockerd" (systemd's /usr/bin/dockerd, rootless
// plain dockerd).
bool IsDockerd(const char* firstArgument) {
    const char* slash = std::strrchr(firstArgument, '/');
    const char* base = slash == nullptr ? firstArgument : slash + 1;
    return std::strcmp(base, "dockerd") == 0;
}

// The classic forms: a program path ending in "docker" followed by a
// "daemon" argument, or "docker-daemon". The byte after "docker" is skipped
// (the NUL between the two arguments, or the dash), then "daemon" is sought
// up to the next NUL. `buffer` holds `count` bytes and a NUL after them.
bool IsClassicDockerDaemon(const char* buffer, unsigned int count) {
    const char* docker = std::strstr(buffer, "docker");
    if (docker == nullptr) {
        return false;
    }
    const size_t start = static_cast<size_t>(docker - buffer) + 7;
    return start < count && std::strstr(buffer + start, "daemon") != nullptr;
}

bool IsDockerDaemon(const char* buffer, unsigned int count) {
    // Only the first argument is searched: the string functions stop at its NUL.
    return IsDockerd(buffer) || IsClassicDockerDaemon(buffer, count);
}

}  // namespace

bool ZTVMDetect::DetectHypervisor_Host(unsigned int& flags) {
    if (IsDockerHost()) {
        flags |= HV_DOCKER_HOST;
    }
    if (IsXenDom0()) {
        flags |= HV_XEN_HOST;
    }
    return true;
}

bool ZTVMDetect::IsDockerHost() {
    static constexpr const char* kFunction = "bool ZTVMDetect::IsDockerHost()";
    bool found = false;
    const std::string root = vmdetect::ProcRoot() + "/";
    const CYbError result = CYbDirectory::Walk(root.c_str(), &found, 0, true, DockerProcWalker);
    if (found) {
        DebugLvl(kFunction, 2, "Docker daemon running as pid %d",
                 result.GetErrorCode());
    }
    return found;
}

CYbError ZTVMDetect::DockerProcWalker(const char* directory, const char* name, bool isDirectory,
                                      void* context) {
    if (!isDirectory) {
        return CYbError::Success();
    }
    // directory + "/" + name + "/cmdline", in a fixed buffer: this runs once
    // per process on every call.
    char path[PATH_MAX];
    const int length =
        std::snprintf(path, sizeof path, "%s/%s%s", directory, name, vmdetect::kCmdline);
    if (length < 0 || static_cast<size_t>(length) >= sizeof path) {
        return CYbError::Success();
    }
    struct stat info {};
    if (::stat(path, &info) != 0) {
        return CYbError::Success();
    }
    CYbFile file;
    if (file.Open(path, 0, 256).IsError()) {
        return CYbError::Success();
    }
    char buffer[kCmdlineReadSize + 1];
    unsigned int count = 0;
    if (file.Read(buffer, kCmdlineReadSize, &count).IsError()) {
        return CYbError::Success();
    }
    buffer[count] = '\0';
    if (!IsDockerDaemon(buffer, count)) {
        return CYbError::Success();
    }
    *static_cast<bool*>(context) = true;
    const int pid = LeadingPid(name);
    if (pid == 0) {
        return CYbError::Success();
    }
    const FXCodeLocation where{
        "ZTVMDetect", "static CYbError ZTVMDetect::DockerProcWalker(const char*, const char*, bool, void*)",
        910};
    return FXErrorUtil::ErrorErrNo(where, pid, "Found docker daemon pid %s", name);
}

bool ZTVMDetect::IsXenDom0() {
    const std::string path = vmdetect::ProcRoot() + vmdetect::kXenCapabilities;
    Debug("bool ZTVMDetect::IsXenDom0()", "Checking for %s", path.c_str());
    if (!FXPath::DoesPathExist(path)) {
        return false;
    }
    std::string command;
    std::string output;
    std::string errorOutput;
    // A relative root that begins with a dash would reach grep as an option.
    const std::string operand = path[0] == '-' ? "./" + path : path;
    FXString::Format(command, vmdetect::kXenCommandFormat, vmdetect::ShellQuote(operand).c_str());
    return ZtProcess::system(command.c_str(), &output, &errorOutput, 0, false) == 0;
}

bool ZTVMDetect::IsHyperVRoleInstalled(const std::string& /*a*/, const std::string& /*b*/,
                                       const std::string& /*c*/, bool& /*installed*/,
                                       std::string& /*detail*/) {
    return false;
}
