// The vmdetect command run as a subprocess: options, exit statuses, output
// escaping, the log set-up it hands to the library, and --help against the
// man page.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../tools/vmdetect/Escape.h"
#include "../tools/vmdetect/Nfd.h"
#include "../tools/vmdetect/Otel.h"
#include "../tools/vmdetect/Prometheus.h"
#include "EndpointVariables.h"
#include "TestSupport.h"

namespace {

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

struct CliRun {
    int status = -1;  // exit status, or -1 when it did not exit normally
    std::string out;
    std::string err;
};

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    void reset() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = -1;
    }

private:
    int m_fd;
};

// Runs the command with exactly the given environment, both streams captured
// (standard output goes to `stdoutFile` instead when one is named).
CliRun RunCli(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
           const char* stdoutFile = nullptr) {
    CliRun run;
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) {
        return run;
    }
    Fd outRead(outPipe[0]), outWrite(outPipe[1]);
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        return run;
    }
    Fd errRead(errPipe[0]), errWrite(errPipe[1]);

    std::vector<std::string> argStore = testsupport::Launcher();
    argStore.push_back(VMDETECT_CLI_PATH);
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argStore) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);
    std::vector<std::string> envStore;
    for (const auto& entry : env) {
        envStore.push_back(entry.first + "=" + entry.second);
    }
    std::vector<char*> envp;
    for (std::string& e : envStore) {
        envp.push_back(&e[0]);
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFile != nullptr) {
        posix_spawn_file_actions_addopen(&actions, 1, stdoutFile, O_WRONLY, 0);
    } else {
        posix_spawn_file_actions_adddup2(&actions, outWrite.get(), 1);
    }
    posix_spawn_file_actions_adddup2(&actions, errWrite.get(), 2);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    outWrite.reset();
    errWrite.reset();
    if (rc != 0) {
        return run;
    }

    pollfd fds[2] = {{outRead.get(), POLLIN, 0}, {errRead.get(), POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    int open = 2;
    while (open > 0) {
        if (::poll(fds, 2, 60000) <= 0) {
            if (errno == EINTR) {
                continue;
            }
            break;  // a hang: the exit status below tells
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string SourcePath(const std::string& relative) {
    // VMDETECT_TEST_DATA is <source>/tests/data.
    std::string root = VMDETECT_TEST_DATA;
    for (int i = 0; i < 2; ++i) {
        root.erase(root.find_last_of('/'));
    }
    return root + "/" + relative;
}

// A machine on which nothing is found: dmidecode fails, the process file
// system is empty, every metadata service is a closed loopback port. The fake
// dmidecode records the environment it was started with.
class QuietMachine {
public:
    QuietMachine() {
        ::mkdir(m_dir.file("bin").c_str(), 0755);
        ::mkdir(m_dir.file("proc").c_str(), 0755);
        WriteFile(m_dir.file("bin/dmidecode"),
                  "#!/bin/sh\nenv > '" + envDump() + "'\necho '/dev/mem: Permission denied' >&2\n"
                  "exit 1\n");
        ::chmod(m_dir.file("bin/dmidecode").c_str(), 0755);
        // Not an INI file: a library that reads it logs an error.
        WriteFile(m_dir.file("broken.conf"), "[VirtualServer\nsProxyVMUUID\n");
    }
    std::map<std::string, std::string> env() const {
        std::map<std::string, std::string> env = {
            {"PATH", m_dir.file("bin") + ":/usr/bin:/bin"},
            {"HOST_PROC", m_dir.file("proc")},
            {"HOST_SYS", m_dir.file("proc")},
            {"HOST_ROOT", m_dir.file("proc")},
            {"VMDETECT_CONFIG", m_dir.file("broken.conf")},
        };
        for (const auto& variable : vmdetect_endpoints::kVariables) {
            if (variable.loopback != nullptr) env[variable.name] = variable.loopback;
        }
        return env;
    }
    std::string envDump() const { return m_dir.file("dmidecode.env"); }
    std::string file(const std::string& name) const { return m_dir.file(name); }

private:
    TempDir m_dir;
};

struct ExitCase {
    std::vector<std::string> args;
    int status;
    bool stdoutEmpty;
    bool usageOnStderr;
};

TEST(Cli, ExitStatusesAndStreams) {
    QuietMachine machine;
    const ExitCase cases[] = {
        {{}, 0, false, false},
        {{"--json"}, 0, false, false},
        {{"-q"}, 1, true, false},
        {{"--quiet", "--json"}, 1, true, false},
        {{"--help"}, 0, false, false},
        {{"-h"}, 0, false, false},
        {{"--version"}, 0, false, false},
        {{"--bogus"}, 2, true, true},
        {{"-x"}, 2, true, true},
        {{"extra"}, 2, true, true},
        {{"--json=1"}, 2, true, true},
        {{"--verbose=abc"}, 2, true, true},
        {{"-v-1"}, 2, true, true},
        {{"--verbose="}, 2, true, true},
        {{"--help", "--bogus"}, 2, true, true},
        {{"--report"}, 0, false, false},
        {{"--report", "--no-network"}, 0, false, false},
        {{"--no-network"}, 0, false, false},
        {{"--report", "--json"}, 2, true, true},
        {{"--report", "-q"}, 2, true, true},
        {{"--report=1"}, 2, true, true},
        {{"--otel", "--no-network"}, 0, false, false},
        {{"--otel", "--report"}, 2, true, true},
        {{"--otel", "--json"}, 2, true, true},
        {{"--prometheus", "--no-network"}, 0, false, false},
        {{"--prometheus", "--otel"}, 2, true, true},
        {{"--nfd", "--no-network"}, 0, false, false},
        {{"--nfd", "--prometheus"}, 2, true, true},
        {{"--write"}, 2, true, true},
        {{"--write", ""}, 2, true, true},
        {{"--write", "/tmp", "--report"}, 2, true, true},
        {{"--write", "/tmp", "-q"}, 2, true, true},
        {{"--cvm", "--no-network"}, 1, false, false},  // "none"
        {{"--cvm", "-q"}, 1, true, false},
        {{"--cvm", "--report"}, 2, true, true},
        {{"--private"}, 2, true, true},
        {{"--collect"}, 2, true, true},
        {{"--collect", "/tmp", "--otel"}, 2, true, true},
        {{"--collect", "/"}, 1, true, false},  // not empty
        {{"--evidence", "/"}, 1, true, false},  // no format line
        {{"--evidence", "/tmp", "--json"}, 2, true, true},
        {{"--evidence", "/tmp", "--collect", "/tmp/x"}, 2, true, true},
    };
    for (const ExitCase& c : cases) {
        std::string label;
        for (const std::string& a : c.args) {
            label += a + " ";
        }
        const CliRun run = RunCli(c.args, machine.env());
        EXPECT_EQ(run.status, c.status) << label << run.err;
        EXPECT_EQ(run.out.empty(), c.stdoutEmpty) << label << run.out;
        EXPECT_EQ(run.err.find("Usage: vmdetect") != std::string::npos, c.usageOnStderr)
            << label << run.err;
    }
}

TEST(Cli, NothingDetectedOutput) {
    QuietMachine machine;
    // Only the processor's word is left on this machine: the report alone
    // runs no process (the fake dmidecode would record its call).
    const CliRun report = RunCli({"--report", "--no-network"}, machine.env());
    EXPECT_EQ(ReadFile(machine.envDump()), "");
    const nlohmann::json parsed = nlohmann::json::parse(report.out, nullptr, false);
    ASSERT_TRUE(parsed.is_object()) << report.out;
    EXPECT_EQ(std::count(report.out.begin(), report.out.end(), '\n'), 1);
    EXPECT_EQ(parsed.value("container", ""), "none");
    const std::string hypervisor = parsed.value("hypervisor", "");
    const CliRun text = RunCli({}, machine.env());
    EXPECT_EQ(text.out,
              "platform:    none\n"
              "flags:       0x0\n"
              "uuid:\n"
              "zone:\n"
              "region:\n"
              "project_id:\n"
              "hypervisor:  " + hypervisor + "\n"
              "container:   none\n");
    const CliRun json = RunCli({"--json"}, machine.env());
    EXPECT_EQ(json.out,
              "{\"flags\":0,\"platform\":[],\"uuid\":\"\",\"zone\":\"\",\"region\":\"\","
              "\"project_id\":\"\",\"report\":" + report.out.substr(0, report.out.size() - 1) + "}\n");
    const nlohmann::json whole = nlohmann::json::parse(json.out, nullptr, false);
    ASSERT_TRUE(whole.is_object());
    EXPECT_EQ(whole["flags"], 0);
}

ino_t Inode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// --write on a machine whose firmware names a hostile vendor and a UUID: four
// whole files of mode 0644, none holding the UUID, nothing else left in the
// directory, and a file that would not change is not replaced (same inode).
TEST(Cli, WriteLeavesWholeWorldReadableFilesAndKeepsUnchangedOnes) {
    QuietMachine machine;
    const std::string dmi = machine.file("proc/class/dmi/id");
    ASSERT_EQ(std::system(("mkdir -p " + dmi).c_str()), 0);
    WriteFile(dmi + "/sys_vendor", "Ac\"me $HOME `id` \\ ,=;%' corp\n");
    WriteFile(dmi + "/product_uuid", "4c4c4544-0042-3510-8052-b4c04f395a31\n");
    const TempDir out;
    const std::vector<std::string> names = {"otel.env", "report.json", "vmdetect.features",
                                            "vmdetect.prom"};
    const auto listing = [&out] {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(out.path())) {
            found.push_back(entry.path().filename().string());
        }
        std::sort(found.begin(), found.end());
        return found;
    };
    const CliRun full = RunCli({"--report"}, machine.env());
    ASSERT_NE(full.out.find("4c4c4544"), std::string::npos) << full.out;
    const CliRun first = RunCli({"--write", out.path()}, machine.env());
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out + first.err, "");
    ASSERT_EQ(listing(), names);
    std::map<std::string, ino_t> inodes;
    for (const std::string& name : names) {
        struct stat st {};
        ASSERT_EQ(::stat(out.file(name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u) << name;
        EXPECT_EQ(ReadFile(out.file(name)).find("uuid"), std::string::npos) << name;
        EXPECT_EQ(ReadFile(out.file(name)).find("4c4c4544"), std::string::npos) << name;
        inodes[name] = st.st_ino;
    }
    // The report less the UUID; the other two made from it.
    nlohmann::ordered_json expected = nlohmann::ordered_json::parse(full.out);
    expected.erase("firmware.uuid");
    expected["sources"].erase("firmware.uuid");
    const std::string report = ReadFile(out.file("report.json"));
    EXPECT_EQ(nlohmann::ordered_json::parse(report), expected);
    std::string otel, prometheus, nfd;
    ASSERT_TRUE(vmdetect_cli::OtelLine(report, otel) && vmdetect_cli::PrometheusText(report, prometheus) &&
                vmdetect_cli::NfdLines(report, nfd));
    EXPECT_EQ(ReadFile(out.file("vmdetect.prom")), prometheus);
    EXPECT_EQ(ReadFile(out.file("vmdetect.features")), nfd);
    EXPECT_NE(nfd.find("vmdetect.container=none\n"), std::string::npos) << nfd;
    // The quoting holds for a shell as for systemd: both take \" \\ \$ \` in double quotes.
    const std::string env = ReadFile(out.file("otel.env"));
    EXPECT_TRUE(std::regex_match(env, std::regex("OTEL_RESOURCE_ATTRIBUTES=\"[^\"\n]*\"\n"))) << env;
    WriteFile(machine.file("probe.sh"),
              ". '" + out.file("otel.env") + "' && printf %s \"$OTEL_RESOURCE_ATTRIBUTES\"");
    FILE* sh = ::popen(("sh " + machine.file("probe.sh")).c_str(), "r");
    ASSERT_NE(sh, nullptr);
    std::string sourced;
    for (int c; (c = std::fgetc(sh)) != EOF;) sourced += static_cast<char>(c);
    EXPECT_EQ(::pclose(sh), 0);
    EXPECT_EQ(sourced, otel);

    // Unchanged: left as they are. A damaged file is replaced, alone.
    WriteFile(out.file("report.json"), "{\"half\":");
    inodes["report.json"] = Inode(out.file("report.json"));
    const CliRun second = RunCli({"--write", out.path()}, machine.env());
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(listing(), names);
    EXPECT_EQ(ReadFile(out.file("report.json")), report);
    for (const std::string& name : names) {
        EXPECT_EQ(Inode(out.file(name)) == inodes[name], name != "report.json") << name;
    }
}

// A 300-character firmware name: --otel and otel.env leave it out with one
// debug line naming the key, on stderr under -v only; the metric keeps it.
TEST(Cli, WhatTheOtelFormsLeaveOutIsADebugLineUnderVerboseOnly) {
    QuietMachine machine;
    const std::string dmi = machine.file("proc/class/dmi/id");
    ASSERT_EQ(std::system(("mkdir -p " + dmi).c_str()), 0);
    WriteFile(dmi + "/sys_vendor", std::string(300, 'V') + "\n");
    const TempDir out;
    const std::string note = " DEBUG vmdetect: --otel leaves out firmware.vendor: 300 characters encoded, over 255\n";
    const std::pair<std::vector<std::string>, bool> cases[] = {
        {{"--otel"}, false}, {{"--otel", "-v"}, true}, {{"--otel", "--verbose=0"}, false},
        {{"--write", out.path(), "-v1"}, true}};
    for (const auto& [args, debug] : cases) {
        const CliRun run = RunCli(args, machine.env());
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out.find("firmware.vendor"), std::string::npos) << run.out;
        const std::size_t at = run.err.find(note);
        EXPECT_EQ(at != std::string::npos && run.err.find(note, at + 1) == std::string::npos, debug)
            << args.back() << "\n" << run.err;
    }
    EXPECT_EQ(ReadFile(out.file("otel.env")).find("firmware.vendor"), std::string::npos);
    EXPECT_NE(ReadFile(out.file("vmdetect.prom")).find(std::string(300, 'V')), std::string::npos);
}

TEST(Cli, WriteIntoAnUnwritableDirectoryFailsClearly) {
    QuietMachine machine;
    WriteFile(machine.file("plain"), "");
    for (const std::string& dir : {machine.file("missing"), machine.file("plain"), std::string("/proc/sys")}) {
        const CliRun run = RunCli({"--write", dir}, machine.env());
        EXPECT_EQ(run.status, 1) << dir;
        EXPECT_EQ(run.out, "") << dir;
        EXPECT_NE(run.err.find("vmdetect: cannot write " + dir + "/report.json: "), std::string::npos)
            << dir << run.err;
    }
}

TEST(Cli, VersionMatchesManPage) {
    const CliRun run = RunCli({"--version"}, {});
    ASSERT_EQ(run.status, 0);
    ASSERT_EQ(run.out.rfind("vmdetect ", 0), 0u) << run.out;
    const std::string version = run.out.substr(9, run.out.size() - 10);
    EXPECT_TRUE(std::regex_match(version, std::regex("[0-9]+\\.[0-9]+\\.[0-9]+"))) << version;
    const std::string man = ReadFile(SourcePath("doc/vmdetect.1"));
    EXPECT_NE(man.find("\"vmdetect " + version + "\""), std::string::npos)
        << "the .TH line of doc/vmdetect.1 names another version";
}

TEST(Cli, OutputThatCannotBeWrittenFails) {
    QuietMachine machine;
    // /dev/full takes the bytes into the buffer and fails the flush.
    for (const char* arg : {"--json", "--version", "--help"}) {
        const CliRun run = RunCli({arg}, machine.env(), "/dev/full");
        EXPECT_EQ(run.status, 3) << arg;
        EXPECT_NE(run.err.find("cannot write"), std::string::npos) << arg << run.err;
    }
}

// The library prints its error lines on stderr by default; the command must
// not, unless asked. The fake dmidecode shows what the library was handed.
TEST(Cli, LogSetUpHandedToTheLibrary) {
    struct LogCase {
        const char* label;
        std::vector<std::string> args;
        std::map<std::string, std::string> extraEnv;
        const char* wantLog;    // VMDETECT_LOG the library sees
        const char* wantLevel;  // VMDETECT_LOG_LEVEL, nullptr: unset
        bool stderrEmpty;
    };
    QuietMachine machine;
    const std::string logFile = machine.file("chosen.log");
    const LogCase cases[] = {
        {"plain", {}, {}, "/dev/null", nullptr, true},
        {"json", {"--json"}, {}, "/dev/null", nullptr, true},
        {"quiet", {"-q"}, {}, "/dev/null", nullptr, true},
        {"empty VMDETECT_LOG", {}, {{"VMDETECT_LOG", ""}}, "/dev/null", nullptr, true},
        {"-v", {"-v"}, {}, "stderr", "4", false},
        {"--verbose", {"--verbose"}, {}, "stderr", "4", false},
        {"-v2", {"-v2"}, {}, "stderr", "2", false},
        {"--verbose=0", {"--verbose=0"}, {}, "stderr", "0", false},
        {"huge level", {"--verbose=99999999999999999999"}, {}, "stderr", "1000", false},
        {"-v over env", {"-v1"}, {{"VMDETECT_LOG", logFile}, {"VMDETECT_LOG_LEVEL", "3"}},
         "stderr", "1", false},
        {"caller's choice kept", {}, {{"VMDETECT_LOG", logFile}, {"VMDETECT_LOG_LEVEL", "2"}},
         logFile.c_str(), "2", true},
    };
    bool ran = false;
    for (const LogCase& c : cases) {
        ::unlink(machine.envDump().c_str());
        std::map<std::string, std::string> env = machine.env();
        for (const auto& e : c.extraEnv) {
            env[e.first] = e.second;
        }
        const CliRun run = RunCli(c.args, env);
        EXPECT_TRUE(run.status == 0 || run.status == 1) << c.label << run.err;
        if (c.stderrEmpty) {
            EXPECT_EQ(run.err, "") << c.label;
        }
        const std::string dump = "\n" + ReadFile(machine.envDump());
        if (dump == "\n") {
            continue;  // the library ran no command
        }
        ran = true;
        EXPECT_NE(dump.find(std::string("\nVMDETECT_LOG=") + c.wantLog + "\n"), std::string::npos)
            << c.label << "\n" << dump;
        if (c.wantLevel != nullptr) {
            EXPECT_NE(dump.find(std::string("\nVMDETECT_LOG_LEVEL=") + c.wantLevel + "\n"),
                      std::string::npos)
                << c.label << "\n" << dump;
        } else {
            EXPECT_EQ(dump.find("VMDETECT_LOG_LEVEL="), std::string::npos) << c.label;
        }
    }
    if (!ran) {
        GTEST_SKIP() << "the library ran no dmidecode: only stderr silence was checked";
    }
}

struct EscapeCase {
    std::string in;
    std::string json;
    std::string text;
};

TEST(CliEscape, JsonAndTextEscaping) {
    const EscapeCase cases[] = {
        {"", "\"\"", ""},
        {"i-0123456789abcdef0", "\"i-0123456789abcdef0\"", "i-0123456789abcdef0"},
        {"a\"b\\c", "\"a\\\"b\\\\c\"", "a\"b\\\\c"},
        {"\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\"", "\\x08\\x0c\\x0a\\x0d\\x09"},
        {std::string("a\0b", 3), "\"a\\u0000b\"", "a\\x00b"},
        {"\x1b[2J\x7f", "\"\\u001b[2J\\u007f\"", "\\x1b[2J\\x7f"},
        // Valid UTF-8 passes: 2, 3 and 4 bytes.
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\"",
         "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        // C1 control U+009B (a CSI on some terminals): valid JSON, escaped text.
        {"\xc2\x9b", "\"\xc2\x9b\"", "\\xc2\\x9b"},
        // Not UTF-8: a lone high byte, a stray continuation, an overlong '/',
        // a surrogate, above U+10FFFF, a truncated sequence.
        {"\xff", "\"\\ufffd\"", "\\xff"},
        {"a\x80z", "\"a\\ufffdz\"", "a\\x80z"},
        {"\xc0\xaf", "\"\\ufffd\\ufffd\"", "\\xc0\\xaf"},
        {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\"", "\\xed\\xa0\\x80"},
        {"\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\"", "\\xf4\\x90\\x80\\x80"},
        {"\xe2\x82", "\"\\ufffd\\ufffd\"", "\\xe2\\x82"},
    };
    for (const EscapeCase& c : cases) {
        const std::string json = vmdetect_cli::JsonString(c.in);
        EXPECT_EQ(json, c.json);
        EXPECT_EQ(vmdetect_cli::TextValue(c.in), c.text);
        // Whatever the bytes, a strict reader takes the literal.
        const nlohmann::json parsed = nlohmann::json::parse(json, nullptr, false);
        EXPECT_TRUE(parsed.is_string()) << json;
    }
}

TEST(CliEscape, EveryByteGivesValidJson) {
    for (int b = 0; b < 256; ++b) {
        const std::string in = "x" + std::string(1, static_cast<char>(b)) + "y";
        const nlohmann::json parsed =
            nlohmann::json::parse(vmdetect_cli::JsonString(in), nullptr, false);
        ASSERT_TRUE(parsed.is_string()) << b;
        if (b >= 0x20 && b < 0x80) {
            EXPECT_EQ(parsed.get<std::string>(), in) << b;
        }
        for (char ch : vmdetect_cli::TextValue(in)) {
            const unsigned char u = static_cast<unsigned char>(ch);
            EXPECT_TRUE(u >= 0x20 && u != 0x7F) << b;
        }
    }
}

// Sections of --help: "Options:", "Exit status:", "Environment:" and the
// entries under each.
std::map<std::string, std::set<std::string>> HelpEntries(const std::string& help) {
    std::map<std::string, std::set<std::string>> entries;
    std::istringstream lines(help);
    std::string line;
    std::string section;
    const std::regex option("--?[A-Za-z][A-Za-z-]*");
    const std::regex column("^\\s+(-\\S.*?)(\\s{2,}|$)");
    const std::regex word("^\\s+([A-Z][A-Z0-9_]+|[0-9]+)\\s");
    while (std::getline(lines, line)) {
        if (!line.empty() && line[0] != ' ' && line.back() == ':') {
            section = line.substr(0, line.size() - 1);
            continue;
        }
        std::smatch m;
        if (section == "Options" && std::regex_search(line, m, column)) {
            const std::string names = m[1];
            for (std::sregex_iterator it(names.begin(), names.end(), option), end; it != end;
                 ++it) {
                entries[section].insert(it->str());
            }
        } else if (section != "Options" && std::regex_search(line, m, word)) {
            entries[section].insert(m[1]);
        }
    }
    return entries;
}

// The tags of the .TP entries of each man page section (.SH NAME).
std::map<std::string, std::set<std::string>> ManEntries(const std::string& man) {
    std::map<std::string, std::set<std::string>> entries;
    std::istringstream lines(man);
    std::string line;
    std::string section;
    bool tag = false;
    const std::regex option("--?[A-Za-z][A-Za-z-]*");
    while (std::getline(lines, line)) {
        if (line.rfind(".SH ", 0) == 0) {
            section = line.substr(4);
            continue;
        }
        if (line == ".TP") {
            tag = true;
            continue;
        }
        if (!tag) {
            continue;
        }
        tag = false;
        // Roff's "\-" is a dash; drop the font requests.
        std::string plain = std::regex_replace(line, std::regex("\\\\-"), "-");
        plain = std::regex_replace(plain, std::regex("^\\.[A-Z]+ "), "");
        if (section == "OPTIONS") {
            for (std::sregex_iterator it(plain.begin(), plain.end(), option), end; it != end;
                 ++it) {
                entries[section].insert(it->str());
            }
        } else {
            entries[section].insert(plain);
        }
    }
    return entries;
}

TEST(Cli, HelpAndManPageAgree) {
    const CliRun run = RunCli({"--help"}, {});
    ASSERT_EQ(run.status, 0);
    const std::string man = ReadFile(SourcePath("doc/vmdetect.1"));
    ASSERT_FALSE(man.empty());
    auto help = HelpEntries(run.out);
    auto page = ManEntries(man);
    const std::pair<const char*, const char*> sections[] = {
        {"Options", "OPTIONS"},
        {"Exit status", "EXIT STATUS"},
        {"Environment", "ENVIRONMENT"},
    };
    for (const auto& s : sections) {
        EXPECT_FALSE(help[s.first].empty()) << s.first;
        EXPECT_EQ(help[s.first], page[s.second]) << s.first << " differs from " << s.second;
    }
    // The usage printed on a usage error lists the same options.
    const CliRun bad = RunCli({"--bogus"}, {});
    EXPECT_EQ(HelpEntries(bad.err)["Options"], help["Options"]);
    // Every variable the library reads is documented.
    std::vector<std::string> names = {"VMDETECT_CONFIG", "VMDETECT_LOG", "VMDETECT_LOG_LEVEL", "HOST_PROC",
                                      "HOST_SYS", "HOST_ROOT", "VMDETECT_EVIDENCE"};
    for (const auto& variable : vmdetect_endpoints::kVariables) names.emplace_back(variable.name);
    for (const std::string& name : names) {
        EXPECT_EQ(page["ENVIRONMENT"].count(name), 1u) << name;
    }
}

// The harnesses close only the endpoints the list names: a variable the
// library reads and the list lacks would send a test's request to the real
// address.
TEST(Cli, EveryEndpointVariableTheLibraryReadsIsListed) {
    const std::string library = testsupport::ReadFile(VMDETECT_LIBRARY_PATH);
    ASSERT_FALSE(library.empty());
    std::set<std::string> listed, read;
    for (const auto& variable : vmdetect_endpoints::kVariables) listed.insert(variable.name);
    // Every upper-case word of the binary around METADATA or ENDPOINT.
    const auto word = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'; };
    for (const char* part : {"METADATA", "ENDPOINT"}) {
        for (std::size_t at = library.find(part); at != std::string::npos; at = library.find(part, at + 1)) {
            std::size_t first = at, last = at;
            while (first > 0 && word(library[first - 1])) --first;
            while (last < library.size() && word(library[last])) ++last;
            read.insert(library.substr(first, last - first));
        }
    }
    for (const std::string& name : read) {
        EXPECT_EQ(listed.count(name), 1u) << name << " is read by the library but not in " VMDETECT_ENDPOINT_LIST;
    }
    EXPECT_EQ(read.size(), listed.size());
}

}  // namespace
