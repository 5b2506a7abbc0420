#include "BenchSupport.h"

#include "EndpointVariables.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace bench {

const char* const kFirmwareLines[5] = {
    "dmidecode --type system | grep -i 'Manufacturer' | awk -F':' {'print $2'}",
    "dmidecode --type system | grep -i 'Serial Number' | awk -F':' {'print $2'}",
    "dmidecode --type system | grep -i 'UUID' | awk -F':' {'print $2'}",
    "dmidecode --type system | grep -i 'SMBIOS' | awk -F' ' {'print $2'}",
    "dmidecode --type system | grep -i 'Version' | awk -F':' {'print $2'}",
};

namespace {

// Command lines as they look on a busy server: kernel threads (empty),
// daemons with arguments, a long Java line, and Docker's helpers, which do
// not count as its daemon (so the walk lists the whole tree).
std::string LongJavaLine() {
    using namespace std::string_literals;
    std::string line = "/usr/lib/jvm/java-17-openjdk-amd64/bin/java\0-Xmx2g\0-cp\0"s;
    for (int i = 0; i < 40; ++i) {
        line += "/opt/app/lib/component-" + std::to_string(i) + "-1.2.3.jar:";
    }
    line += "\0com.example.server.Main\0--port\0" "8443\0"s;
    return line;
}

std::vector<std::string> SampleLines() {
    using namespace std::string_literals;
    return {
        "/sbin/init\0splash\0"s,
        ""s,
        "/usr/lib/systemd/systemd-journald\0"s,
        "/usr/sbin/sshd\0-D\0"s,
        ""s,
        "/usr/bin/python3\0/usr/bin/networkd-dispatcher\0--run-startup-triggers\0"s,
        "nginx: worker process                              \0"s,
        LongJavaLine(),
        "/usr/bin/containerd\0"s,
        "/usr/bin/docker-proxy\0-proto\0tcp\0-host-ip\0" "0.0.0.0\0-host-port\0" "8080\0"s,
        ""s,
        "-bash\0"s,
        "/usr/sbin/cron\0-f\0"s,
        "postgres: 15/main: checkpointer \0"s,
        "/usr/lib/systemd/systemd-logind\0"s,
    };
}

void WriteFile(const std::string& path, const std::string& content) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0444);
    if (fd < 0) {
        throw std::runtime_error("cannot create " + path);
    }
    const ssize_t written = ::write(fd, content.data(), content.size());
    ::close(fd);
    if (written != static_cast<ssize_t>(content.size())) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::string MakeTempDir(const char* stem) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" + stem +
                          ".XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return pattern;
}

void RemoveTree(const std::string& path) {
    if (path.empty()) {
        return;
    }
    std::vector<std::string> argv = {"/bin/rm", "-rf", "--", path};
    SpawnAndWait(argv, environ);
}

}  // namespace

ProcTree::ProcTree(int count) : m_path(MakeTempDir("vmdetect-bench-proc")) {
    const std::vector<std::string> lines = SampleLines();
    for (int i = 0; i < count; ++i) {
        const std::string dir = m_path + "/" + std::to_string(i + 1);
        if (::mkdir(dir.c_str(), 0755) != 0) {
            throw std::runtime_error("cannot create " + dir);
        }
        WriteFile(dir + "/cmdline", lines[static_cast<size_t>(i) % lines.size()]);
    }
    // What else /proc lists: plain files, directories without a command
    // line and the self link.
    for (const char* name : {"cpuinfo", "meminfo", "uptime", "loadavg", "version", "stat"}) {
        WriteFile(m_path + "/" + name, "0\n");
    }
    for (const char* name : {"sys", "bus", "fs", "irq", "net", "tty"}) {
        ::mkdir((m_path + "/" + name).c_str(), 0755);
    }
    if (::symlink("1", (m_path + "/self").c_str()) != 0) {
        throw std::runtime_error("cannot create self link");
    }
}

ProcTree::~ProcTree() { RemoveTree(m_path); }

EmptyDir::EmptyDir() : m_path(MakeTempDir("vmdetect-bench-empty")) {}

EmptyDir::~EmptyDir() { ::rmdir(m_path.c_str()); }

void UseFakeEnvironment(const std::string& fakes, const std::string& data) {
    const char* path = std::getenv("PATH");
    const std::string newPath = fakes + ":" + (path != nullptr ? path : "/usr/bin:/bin");
    ::setenv("PATH", newPath.c_str(), 1);
    ::setenv("VMDETECT_FAKE_DMI", (data + "/dmi/vmware-1.system.txt").c_str(), 1);
    ::unsetenv("VMDETECT_FAKE_CALLS");
    ::unsetenv("VMDETECT_FAKE_DMI_FAIL");
    ::unsetenv("VMDETECT_FAKE_DMI_SLEEP");
    ::setenv("VMDETECT_CONFIG", "/nonexistent/vmdetect-bench.conf", 1);
    ::unsetenv("VMDETECT_LOG");
    ::unsetenv("VMDETECT_LOG_LEVEL");
    // Closed loopback ports, and no proxy: nothing leaves the machine.
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY"}) {
        ::unsetenv(name);
    }
    vmdetect_endpoints::SetLoopbackDefaults();
}

int BareRun(const char* line, std::string* output) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    char sh[] = "/bin/sh";
    char dashC[] = "-c";
    std::string text(line);
    char* argv[] = {sh, dashC, &text[0], nullptr};
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) {
        ::close(fds[0]);
        return -1;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
        if (got > 0) {
            if (output != nullptr) {
                output->append(buffer, static_cast<size_t>(got));
            }
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int SpawnAndWait(const std::vector<std::string>& args, char* const* envp) {
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (std::string& arg : copy) {
        argv.push_back(&arg[0]);
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return -1;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return status;
}

namespace {

long StatusField(const char* file, const char* field) {
    FILE* in = std::fopen(file, "re");
    if (in == nullptr) {
        return -1;
    }
    char line[256];
    long value = -1;
    const size_t length = std::strlen(field);
    while (std::fgets(line, sizeof line, in) != nullptr) {
        if (std::strncmp(line, field, length) == 0 && line[length] == ':') {
            value = std::strtol(line + length + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(in);
    return value;
}

}  // namespace

long ResidentKiB() { return StatusField("/proc/self/status", "VmRSS"); }

long AvailableKiB() { return StatusField("/proc/meminfo", "MemAvailable"); }

}  // namespace bench
