// The logging base: threshold, destinations and the line's layout.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "EvDebug.h"
#include "adapters/LogSink.h"
#include "TestSupport.h"

namespace {

using testsupport::ScopedEnv;
using testsupport::TempDir;

constexpr const char* kFunction = "bool ZTVMDetect::IsXenDom0()";

// Points the log at `destination` with `level` (nullptr unsets) while alive.
class LogSetup {
public:
    LogSetup(const char* destination, const char* level)
        : m_destination(std::make_unique<ScopedEnv>("VMDETECT_LOG", destination)),
          m_level(std::make_unique<ScopedEnv>("VMDETECT_LOG_LEVEL", level)) {
        vmdetect::log::Reconfigure();
    }
    ~LogSetup() {
        m_destination.reset();
        m_level.reset();
        vmdetect::log::Reconfigure();
    }
    LogSetup(const LogSetup&) = delete;
    LogSetup& operator=(const LogSetup&) = delete;

private:
    std::unique_ptr<ScopedEnv> m_destination;
    std::unique_ptr<ScopedEnv> m_level;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

// Sends fd 2 to a file while alive.
class StderrToFile {
public:
    explicit StderrToFile(const std::string& path) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        m_saved = ::dup(STDERR_FILENO);
        if (fd >= 0) {
            ::dup2(fd, STDERR_FILENO);
            ::close(fd);
        }
    }
    ~StderrToFile() {
        if (m_saved >= 0) {
            ::dup2(m_saved, STDERR_FILENO);
            ::close(m_saved);
        }
    }
    StderrToFile(const StderrToFile&) = delete;
    StderrToFile& operator=(const StderrToFile&) = delete;

private:
    int m_saved = -1;
};

void LogOneOfEach() {
    EvDebug log(nullptr);
    log.Error(kFunction, "error %d", 0);
    log.Debug(kFunction, "debug %s", "plain");
    log.DebugLvl(kFunction, 1, "level %d", 1);
    log.DebugLvl(kFunction, 2, "level %d", 2);
    log.DebugLvl(kFunction, 4, "level %d", 4);
}

TEST(Log, ThresholdFromEnvironment) {
    struct Case {
        const char* level;  // nullptr: unset
        std::vector<std::string> messages;
    } cases[] = {
        {nullptr, {"error 0"}},
        {"", {"error 0"}},
        {"0", {"error 0"}},
        {"junk", {"error 0"}},
        {"-3", {"error 0"}},
        {"1x", {"error 0"}},
        {"1", {"error 0", "debug plain", "level 1"}},
        {"2", {"error 0", "debug plain", "level 1", "level 2"}},
        {"3", {"error 0", "debug plain", "level 1", "level 2"}},
        {"4", {"error 0", "debug plain", "level 1", "level 2", "level 4"}},
        {"99999999999999999999", {"error 0", "debug plain", "level 1", "level 2", "level 4"}},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string path = dir.file("vmdetect.log");
        {
            LogSetup setup(path.c_str(), c.level);
            LogOneOfEach();
        }
        std::vector<std::string> got;
        for (const std::string& line : Lines(testsupport::ReadFile(path))) {
            got.push_back(line.substr(line.find(": ") + 2));
        }
        EXPECT_EQ(got, c.messages) << "level " << (c.level != nullptr ? c.level : "(unset)");
    }
}

TEST(Log, LineLayout) {
    TempDir dir;
    const std::string path = dir.file("vmdetect.log");
    const std::time_t before = std::time(nullptr);
    {
        LogSetup setup(path.c_str(), "4");
        LogOneOfEach();
    }
    const std::time_t after = std::time(nullptr);
    const std::vector<std::string> lines = Lines(testsupport::ReadFile(path));
    ASSERT_EQ(lines.size(), 5u);
    const std::string pid = std::to_string(::getpid());
    const char* severities[] = {"ERROR", "DEBUG", "DEBUG1", "DEBUG2", "DEBUG4"};
    const std::regex layout(
        R"(^(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)\.\d{3}Z \[(\d+)\] (\S+) (.*): (.*)$)");
    for (size_t i = 0; i < lines.size(); ++i) {
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(lines[i], parts, layout)) << lines[i];
        EXPECT_EQ(parts[7].str(), pid);
        EXPECT_EQ(parts[8].str(), severities[i]);
        EXPECT_EQ(parts[9].str(), kFunction);
        // The stamp is UTC: read back with timegm it falls within the test.
        struct tm stamp {};
        stamp.tm_year = std::stoi(parts[1].str()) - 1900;
        stamp.tm_mon = std::stoi(parts[2].str()) - 1;
        stamp.tm_mday = std::stoi(parts[3].str());
        stamp.tm_hour = std::stoi(parts[4].str());
        stamp.tm_min = std::stoi(parts[5].str());
        stamp.tm_sec = std::stoi(parts[6].str());
        const std::time_t when = ::timegm(&stamp);
        EXPECT_GE(when, before - 1) << lines[i];
        EXPECT_LE(when, after + 1) << lines[i];
    }
}

TEST(Log, OneLinePerCallWhateverTheMessage) {
    TempDir dir;
    const std::string path = dir.file("vmdetect.log");
    const std::string big(100000, 'b');
    {
        LogSetup setup(path.c_str(), "0");
        EvDebug log(nullptr);
        log.Error(kFunction, "output [%s]", "line one\nforged 2024 [1] ERROR x: y\r\n");
        log.Error(kFunction, "control [%s]", "a\tb\x01" "c\x7f");
        log.Error(kFunction, "trailing line end [%s]\n", "x");
        log.Error(kFunction, "big [%s]", big.c_str());
        log.Error(kFunction, "percent %% and none");
    }
    const std::vector<std::string> lines = Lines(testsupport::ReadFile(path));
    ASSERT_EQ(lines.size(), 5u);
    auto message = [](const std::string& line) { return line.substr(line.find("): ") + 3); };
    EXPECT_EQ(message(lines[0]), "output [line one\\nforged 2024 [1] ERROR x: y\\r\\n]");
    EXPECT_EQ(message(lines[1]), "control [a\tb\\x01c\\x7f]");
    EXPECT_EQ(message(lines[2]), "trailing line end [x]");
    EXPECT_EQ(message(lines[3]), "big [" + big + "]");
    EXPECT_EQ(message(lines[4]), "percent % and none");
}

TEST(Log, FileIsAppendedTo) {
    TempDir dir;
    const std::string path = dir.file("vmdetect.log");
    testsupport::WriteFile(path, "earlier line\n");
    {
        LogSetup setup(path.c_str(), "0");
        EvDebug(nullptr).Error(kFunction, "first");
    }
    {
        LogSetup setup(path.c_str(), "0");
        EvDebug(nullptr).Error(kFunction, "second");
    }
    const std::vector<std::string> lines = Lines(testsupport::ReadFile(path));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "earlier line");
    EXPECT_NE(lines[1].find(": first"), std::string::npos);
    EXPECT_NE(lines[2].find(": second"), std::string::npos);
}

TEST(Log, ThreadsNeverInterleaveLines) {
    TempDir dir;
    const std::string path = dir.file("vmdetect.log");
    const int kThreads = 4;
    const int kPerThread = 300;
    const std::string filler(3000, 'f');  // long lines make torn writes visible
    {
        LogSetup setup(path.c_str(), "1");
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t, &filler] {
                EvDebug log(nullptr);
                for (int i = 0; i < kPerThread; ++i) {
                    log.Debug(kFunction, "t%d i%d %s end", t, i, filler.c_str());
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    }
    const std::vector<std::string> lines = Lines(testsupport::ReadFile(path));
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kPerThread));
    const std::regex whole(
        R"(^\S+ \[\d+\] DEBUG bool ZTVMDetect::IsXenDom0\(\): t\d i\d+ f{3000} end$)");
    int torn = 0;
    for (const std::string& line : lines) {
        torn += std::regex_match(line, whole) ? 0 : 1;
    }
    EXPECT_EQ(torn, 0);
}

TEST(Log, StderrIsTheDefault) {
    TempDir dir;
    const std::string path = dir.file("stderr.txt");
    const char* destinations[] = {nullptr, "", "stderr"};
    for (const char* destination : destinations) {
        {
            LogSetup setup(destination, "0");
            StderrToFile redirect(path);
            EvDebug(nullptr).Error(kFunction, "to stderr");
            EvDebug(nullptr).Debug(kFunction, "below threshold");
        }
        const std::vector<std::string> lines = Lines(testsupport::ReadFile(path));
        ASSERT_EQ(lines.size(), 1u) << (destination != nullptr ? destination : "(unset)");
        EXPECT_NE(lines[0].find("ERROR bool ZTVMDetect::IsXenDom0(): to stderr"),
                  std::string::npos);
    }
}

TEST(Log, UnusableFileFallsBackToStderr) {
    TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string path = dir.file("stderr.txt");
    const std::string destinations[] = {dir.file("missing/dir/vmdetect.log"), dir.path(), fifo};
    for (const std::string& destination : destinations) {
        const auto start = std::chrono::steady_clock::now();
        {
            StderrToFile redirect(path);
            LogSetup setup(destination.c_str(), "0");  // a FIFO without reader must not block
            EvDebug(nullptr).Error(kFunction, "fallback");
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_EQ(Lines(testsupport::ReadFile(path)).size(), 1u) << destination;
    }
}

TEST(Log, SyslogDestinationWorksWithoutDaemon) {
    TempDir dir;
    const std::string path = dir.file("stderr.txt");
    {
        StderrToFile redirect(path);
        LogSetup setup("syslog", "4");
        LogOneOfEach();
    }
    // Nothing reaches stderr when syslog is chosen.
    EXPECT_EQ(testsupport::ReadFile(path), "");
}

TEST(Log, CaptureSeesWhatPassesTheThreshold) {
    testsupport::LogCapture capture(2);
    LogOneOfEach();
    const std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(capture.contains("DEBUG2 bool ZTVMDetect::IsXenDom0(): level 2"));
    EXPECT_FALSE(capture.contains("level 4"));
    for (const std::string& line : lines) {
        EXPECT_EQ(line.find('\n'), std::string::npos);
    }
}

}  // namespace
