// Pieces shared by the benchmark programs: a fake process file system, the
// bare command runner that serves as the floor, and the environment that
// points the library at the fakes and at closed loopback ports.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace bench {

// The five firmware command lines of one fill, in the library's order.
extern const char* const kFirmwareLines[5];

// A temporary directory laid out like /proc: `count` process directories,
// each with a realistic command line that does not name a Docker daemon,
// plus a few plain files as /proc has. Removed on destruction.
class ProcTree {
public:
    explicit ProcTree(int count);
    ~ProcTree();
    ProcTree(const ProcTree&) = delete;
    ProcTree& operator=(const ProcTree&) = delete;
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

// An empty temporary directory, removed on destruction.
class EmptyDir {
public:
    EmptyDir();
    ~EmptyDir();
    EmptyDir(const EmptyDir&) = delete;
    EmptyDir& operator=(const EmptyDir&) = delete;
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

// Points the library at the fake dmidecode (VMware record), a missing
// configuration file and closed loopback metadata ports, and keeps logging
// at its default. `fakes` and `data` are the test folders.
void UseFakeEnvironment(const std::string& fakes, const std::string& data);

// /bin/sh -c `line` through posix_spawn with standard output read to the end
// through one pipe, then waitpid. Returns the exit status, -1 on failure.
int BareRun(const char* line, std::string* output);

// posix_spawn of `argv` (argv[0] is the path) with `envp`, standard output
// and error on /dev/null, then waitpid. Returns the raw wait status or -1.
int SpawnAndWait(const std::vector<std::string>& argv, char* const* envp);

// Resident set of this process in KiB (VmRSS).
long ResidentKiB();

// Available memory of the machine in KiB (MemAvailable).
long AvailableKiB();

}  // namespace bench
