#include "TestSupport.h"

#include "EndpointVariables.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>


namespace testsupport {

std::string DataPath(const std::string& name) { return std::string(VMDETECT_TEST_DATA) + "/" + name; }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string Args(std::initializer_list<std::string> args) {
    std::string text;
    for (const std::string& arg : args) {
        text += arg;
        text += '\0';
    }
    return text;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int CountOpenFds() {
    int count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    while (const dirent* entry = ::readdir(dir)) {
        count += entry->d_name[0] != '.' ? 1 : 0;
    }
    ::closedir(dir);
    return count - 1;  // the listing's own descriptor
}

std::vector<std::string> Launcher() {
    std::vector<std::string> words;
    std::istringstream in(VMDETECT_TEST_LAUNCHER);
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

std::string LaunchCommand(const std::string& path) {
    std::string command;
    for (const std::string& word : Launcher()) {
        command += word + " ";
    }
    return command + path;
}

std::string Shell(const std::string& command) {
    std::string out;
    const std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    char chunk[256];
    for (std::size_t n; pipe && (n = std::fread(chunk, 1, sizeof chunk, pipe.get())) > 0;) out.append(chunk, n);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

bool KnownHypervisorDifference(const std::string& ours, const std::string& systemd, const std::string& cpu) {
    // 258: Google's DMI names google on x86 only over KVM's signature;
    // elsewhere the processor's own name stands.
    const bool google = systemd == "google" && cpu != "kvm" && ours == cpu;
    // 256: Hyper-V's signature waits until DMI and the rest have said nothing.
    const bool hyperV = systemd == "microsoft" && cpu == "microsoft" && ours != "none";
    // Not upstream: Oracle's own servers carry VirtualBox's vendor, without the bit.
    const bool oracle = systemd == "oracle" && cpu == "none" && ours == "none";
    return ours != systemd && (google || hyperV || oracle);
}

void SetSafeDefaults() {
    vmdetect_endpoints::SetLoopbackDefaults();
    ::unsetenv("VMDETECT_EVIDENCE");  // the machine under test, not a developer's collection
    ::setenv("VMDETECT_CONFIG", "/nonexistent/vmdetect-test.conf", 1);
    ::setenv("VMDETECT_LOG", "/dev/null", 1);
    ::setenv("VMDETECT_LOG_LEVEL", "0", 1);
}

TempDir::TempDir() {
    char pattern[] = "/tmp/vmdetect-test-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_path = made;
}

TempDir::~TempDir() {
    const std::string command = "rm -rf '" + m_path + "'";
    if (std::system(command.c_str()) != 0) {
        // Leftovers in /tmp are harmless.
    }
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : m_name(name) {
    const char* old = ::getenv(name);
    m_had = old != nullptr;
    if (m_had) {
        m_old = old;
    }
    if (value != nullptr) {
        ::setenv(name, value, 1);
    } else {
        ::unsetenv(name);
    }
}

ScopedEnv::~ScopedEnv() {
    if (m_had) {
        ::setenv(m_name.c_str(), m_old.c_str(), 1);
    } else {
        ::unsetenv(m_name.c_str());
    }
}

namespace {
std::string Resolve(const std::string& folder, const std::string& name) {
    return !name.empty() && name[0] == '/' ? name : DataPath(folder + "/" + name);
}
}  // namespace

void (*FakeTools::s_resetCache)() = nullptr;

FakeTools::FakeTools() {
    const char* path = ::getenv("PATH");
    const std::string fakePath = std::string(VMDETECT_TEST_FAKES) + ":" + (path ? path : "/usr/bin:/bin");
    ::mkdir((m_dir.path() + "/proc").c_str(), 0755);
    m_env.push_back(std::make_unique<ScopedEnv>("PATH", fakePath.c_str()));
    m_env.push_back(std::make_unique<ScopedEnv>("VMDETECT_FAKE_CALLS", m_dir.file("calls").c_str()));
    m_env.push_back(std::make_unique<ScopedEnv>("HOST_PROC", m_dir.file("proc").c_str()));
    m_env.push_back(std::make_unique<ScopedEnv>("VMDETECT_FAKE_DMI", nullptr));
    m_env.push_back(std::make_unique<ScopedEnv>("VMDETECT_FAKE_DMI_FAIL", nullptr));
    m_env.push_back(std::make_unique<ScopedEnv>("VMDETECT_FAKE_DMI_SLEEP", nullptr));
    m_env.push_back(std::make_unique<ScopedEnv>("VMDETECT_FAKE_SYSTEMCTL", nullptr));
    m_env.push_back(std::make_unique<ScopedEnv>("VMDETECT_FAKE_SYSTEMCTL_EXIT", nullptr));
    if (s_resetCache != nullptr) {
        s_resetCache();
    }
}

FakeTools::~FakeTools() {
    if (s_resetCache != nullptr) {
        s_resetCache();
    }
    while (!m_env.empty()) {
        m_env.pop_back();  // restore in reverse order
    }
}

void FakeTools::UseDmi(const std::string& capture) {
    ::setenv("VMDETECT_FAKE_DMI", Resolve("dmi", capture).c_str(), 1);
}

void FakeTools::UseSystemctl(const std::string& rows) {
    ::setenv("VMDETECT_FAKE_SYSTEMCTL", Resolve("systemctl", rows).c_str(), 1);
}

void FakeTools::FailDmiKey(const char* key) { ::setenv("VMDETECT_FAKE_DMI_FAIL", key, 1); }

void FakeTools::FailSystemctl(int status) {
    ::setenv("VMDETECT_FAKE_SYSTEMCTL_EXIT", std::to_string(status).c_str(), 1);
}

std::vector<std::string> FakeTools::Calls() const {
    std::vector<std::string> calls;
    std::istringstream in(ReadFile(m_dir.file("calls")));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == ' ') {
            line.pop_back();  // the NUL that ended the last argument
        }
        calls.push_back(line);
    }
    return calls;
}

void FakeTools::ClearCalls() const { ::unlink(m_dir.file("calls").c_str()); }

}  // namespace testsupport
