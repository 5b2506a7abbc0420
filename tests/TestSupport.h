// Helpers shared by the test files.
#pragma once

#include <chrono>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

// Sanitizer runtimes keep quarantine and shadow memory that grow on their
// own: memory figures get a wider bound there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Path of a file under tests/data.
std::string DataPath(const std::string& name);
// Whole content of a file ("" when it cannot be read).
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
// Arguments as a process's cmdline file holds them: each ended by a NUL.
std::string Args(std::initializer_list<std::string> args);
// Wall-clock seconds since `start`, for bounds on hangs and deadlines.
double SecondsSince(std::chrono::steady_clock::time_point start);
// Descriptors this process holds open now (-1 when they cannot be listed).
int CountOpenFds();
// The emulator that runs this build's programs (a cross build's
// CMAKE_CROSSCOMPILING_EMULATOR, e.g. {"qemu-aarch64"}), empty where they run
// natively. A test that starts a built program puts these words first.
std::vector<std::string> Launcher();
// Under an emulator this machine's CPUID and timings are not the program's.
inline bool UnderEmulator() { return !Launcher().empty(); }
// The shell command that starts the built program at `path`.
std::string LaunchCommand(const std::string& path);
// What `command` prints on standard output under /bin/sh, less its trailing newlines.
std::string Shell(const std::string& command);
// Whether systemd-detect-virt 252's `systemd` beside the report's `ours` is
// one of the known differences (the README's table) for the hypervisor, as
// a processor whose CPUID alone names `cpu` ("none" without the hypervisor
// bit) shows them.
bool KnownHypervisorDifference(const std::string& ours, const std::string& systemd, const std::string& cpu);
// Points every metadata endpoint at a closed loopback port, the
// configuration at a file that does not exist and the log at nothing, so that
// a test that forgets an override fails instead of reaching a real service
// or the machine's own settings.
void SetSafeDefaults();

// A fresh directory, removed with its content on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Sets an environment variable for its lifetime and restores it after.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);  // nullptr unsets
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    bool m_had = false;
    std::string m_old;
};

// Captures the log lines at the given level for its lifetime.
class LogCapture {
public:
    explicit LogCapture(int level = 4);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    std::vector<std::string> lines() const;
    // Lines that contain `needle`.
    std::vector<std::string> matching(const std::string& needle) const;
    bool contains(const std::string& needle) const { return !matching(needle).empty(); }

private:
    std::unique_ptr<ScopedEnv> m_level;
    std::unique_ptr<ScopedEnv> m_destination;
    struct Shared;
    std::shared_ptr<Shared> m_shared;
};

// Puts tests/fakes first on PATH (fake dmidecode and systemctl), records
// their calls in a file of its own, points HOST_PROC at an empty directory
// and empties the firmware cache, for its lifetime.
class FakeTools {
public:
    FakeTools();
    ~FakeTools();
    FakeTools(const FakeTools&) = delete;
    FakeTools& operator=(const FakeTools&) = delete;

    // A capture under tests/data/dmi, or an absolute path.
    void UseDmi(const std::string& capture);
    void UseSystemctl(const std::string& rows);  // file under tests/data/systemctl, or absolute
    void FailDmiKey(const char* key);             // the query naming `key` fails
    void FailSystemctl(int status);
    // The command lines the fakes saw, in order.
    std::vector<std::string> Calls() const;
    void ClearCalls() const;
    const TempDir& dir() const { return m_dir; }

    // Empties the firmware cache; set where the library is linked in.
    static void (*s_resetCache)();

private:
    TempDir m_dir;
    std::vector<std::unique_ptr<ScopedEnv>> m_env;
};

}  // namespace testsupport
