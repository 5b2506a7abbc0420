// The shell command runner: statuses, capture, deadline, descriptors, and
// hosts with unusual signal settings.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "adapters/ZtProcess.h"

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// Descriptor numbers in the whitespace-separated listing `text`.
std::set<int> Numbers(const std::string& text) {
    std::set<int> numbers;
    std::istringstream in(text);
    int n = 0;
    while (in >> n) {
        numbers.insert(n);
    }
    return numbers;
}

// True when `pid` has ended (gone, or a zombie nobody reaps).
bool ProcessEnded(pid_t pid) {
    const std::string stat = testsupport::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    if (stat.empty()) {
        return true;
    }
    const size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

bool WaitEnded(pid_t pid, milliseconds within) {
    const auto until = Clock::now() + within;
    while (!ProcessEnded(pid)) {
        if (Clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
    return true;
}

using testsupport::SecondsSince;

struct StatusCase {
    const char* command;
    int status;
};

TEST(Runner, StatusOfTheLine) {
    const StatusCase cases[] = {
        {"true", 0},
        {"exit 3", 3},
        {"exit 255", 255},
        {"false | true", 0},                  // an earlier failing stage does not count
        {"true | false", 1},                  // the last stage does
        {"exit 7 | exit 0 | exit 5", 5},
        {"no-such-command-vmdetect", 127},
        {"kill -TERM $$", 128 + SIGTERM},     // the shell itself killed
        {"kill -KILL $$", 128 + SIGKILL},
        {"sh -c 'kill -SEGV $$'; exit $?", 128 + SIGSEGV},
        {"echo a | sh -c 'kill -HUP $$'", 128 + SIGHUP},  // last stage killed
        {"", 0},
    };
    for (const StatusCase& c : cases) {
        std::string out, err;
        EXPECT_EQ(ZtProcess::system(c.command, &out, &err, 0, true), c.status) << c.command;
    }
}

TEST(Runner, NullCommandCannotStart) {
    EXPECT_EQ(ZtProcess::system(nullptr, nullptr, nullptr, 0, false), -1);
}

TEST(Runner, CapturesBothStreamsSeparately) {
    std::string out = "stale", err = "stale";
    EXPECT_EQ(ZtProcess::system("echo out; echo err >&2; printf 'a|b'", &out, &err, 0, false), 0);
    EXPECT_EQ(out, "out\na|b");
    EXPECT_EQ(err, "err\n");
    // Null outputs are allowed.
    EXPECT_EQ(ZtProcess::system("echo dropped; exit 4", nullptr, nullptr, 0, false), 4);
}

TEST(Runner, MissingCommandReportsOnStderr) {
    std::string out, err;
    EXPECT_EQ(ZtProcess::system("no-such-command-vmdetect", &out, &err, 0, false), 127);
    EXPECT_EQ(out, "");
    EXPECT_NE(err.find("no-such-command-vmdetect"), std::string::npos) << err;
}

TEST(Runner, StandardInputIsEmpty) {
    // A child reading stdin must see end of file, not the host's terminal.
    std::string out;
    const auto start = Clock::now();
    EXPECT_EQ(ZtProcess::run("cat; echo end", &out, nullptr, milliseconds(5000)), 0);
    EXPECT_EQ(out, "end\n");
    EXPECT_LT(SecondsSince(start), 4.0);
}

TEST(Runner, LargeOutputOnBothStreamsDoesNotDeadlock) {
    const std::size_t kSize = 1024 * 1024;
    const char* commands[] = {
        // Both at once.
        "(head -c 1048576 /dev/zero | tr '\\0' o) & (head -c 1048576 /dev/zero | tr '\\0' e) >&2;"
        " wait",
        // All of stderr before any stdout, then the other way round.
        "head -c 1048576 /dev/zero | tr '\\0' e >&2; head -c 1048576 /dev/zero | tr '\\0' o",
        "head -c 1048576 /dev/zero | tr '\\0' o; head -c 1048576 /dev/zero | tr '\\0' e >&2",
    };
    for (const char* command : commands) {
        std::string out, err;
        const auto start = Clock::now();
        EXPECT_EQ(ZtProcess::run(command, &out, &err, milliseconds(20000)), 0) << command;
        EXPECT_LT(SecondsSince(start), 15.0) << command;
        EXPECT_EQ(out, std::string(kSize, 'o')) << command;
        EXPECT_EQ(err, std::string(kSize, 'e')) << command;
    }
}

// The kilobytes of a "Vm..." line of /proc/self/status.
long StatusKiB(const char* field) {
    const std::string status = testsupport::ReadFile("/proc/self/status");
    const size_t at = status.find(std::string(field) + ":");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + std::strlen(field) + 1);
}

TEST(Runner, OutputBeyondTheCapIsReadAndDropped) {
    const std::size_t kCap = ZtProcess::kMaxCapture;
    struct Case {
        const char* command;
        std::string out, err;  // expected: the first kCap bytes at most
        bool cut;
    };
    const std::string zeros(kCap, '\0');
    const Case cases[] = {
        {"head -c 1048576 /dev/zero", zeros, "", false},
        {"head -c 1048577 /dev/zero; echo lost", zeros, "", true},
        {"echo first; head -c 268435456 /dev/zero; echo end >&2",
         "first\n" + zeros.substr(6), "end\n", true},
        {"head -c 2097152 /dev/zero >&2; head -c 3145728 /dev/zero", zeros, zeros, true},
    };
    for (const Case& c : cases) {
        testsupport::LogCapture log(0);
        // Resets the peak to the present size: the runner's own peak is what is left.
        testsupport::WriteFile("/proc/self/clear_refs", "5");
        const long before = StatusKiB("VmRSS");
        std::string out, err;
        const auto start = Clock::now();
        EXPECT_EQ(ZtProcess::run(c.command, &out, &err, milliseconds(20000)), 0) << c.command;
        EXPECT_LT(SecondsSince(start), 15.0) << c.command;
        const long peak = StatusKiB("VmHWM");
        EXPECT_TRUE(out == c.out && err == c.err) << c.command << ": " << out.size() << "/"
                                                  << err.size();
        // The kept text and a little more (a sanitizer's shadow of it too).
        EXPECT_LT(peak - before, (testsupport::kSanitized ? 64 : 8) * 1024) << c.command;
        const std::vector<std::string> errors = log.matching(" ERROR ");
        ASSERT_EQ(errors.size(), c.cut ? 1u : 0u) << c.command;
        if (c.cut) {
            EXPECT_NE(errors[0].find(c.command), std::string::npos) << errors[0];
        }
    }
}

TEST(Runner, DeadlineKillsTheWholePipeline) {
    // The inner shell prints its pid and becomes the sleep: the grandchild
    // that must not outlive the deadline, though it is not the shell.
    std::string out, err;
    const auto start = Clock::now();
    const int status = ZtProcess::run("sh -c 'echo $$; exec sleep 30' | cat; echo never",
                                      &out, &err, milliseconds(1000));
    const double elapsed = SecondsSince(start);
    EXPECT_EQ(status, -1);
    EXPECT_LT(elapsed, 5.0);
    EXPECT_EQ(out.find("never"), std::string::npos);
    const pid_t sleeper = static_cast<pid_t>(std::atoi(out.c_str()));
    ASSERT_GT(sleeper, 1) << out;
    EXPECT_TRUE(WaitEnded(sleeper, milliseconds(3000))) << "sleep " << sleeper << " survived";
}

TEST(Runner, DeadlineAlsoEndsALineThatClosedItsStreams) {
    // Nothing left to read, yet the line runs on: the wait is bounded too.
    std::string out;
    const auto start = Clock::now();
    EXPECT_EQ(ZtProcess::run("echo $$; exec >/dev/null 2>&1; sleep 30", &out, nullptr,
                             milliseconds(1000)),
              -1);
    EXPECT_LT(SecondsSince(start), 5.0);
    const pid_t shell = static_cast<pid_t>(std::atoi(out.c_str()));
    ASSERT_GT(shell, 1) << out;
    EXPECT_TRUE(WaitEnded(shell, milliseconds(3000)));
}

TEST(Runner, DefaultDeadlineIsTenSeconds) {
    EXPECT_EQ(ZtProcess::kDeadline, milliseconds(10000));
}

TEST(Runner, ManyRunsLeakNoDescriptor) {
    const int before = testsupport::CountOpenFds();
    ASSERT_GT(before, 0);
    for (int i = 0; i < 1000; ++i) {
        std::string out;
        ASSERT_EQ(ZtProcess::system("echo x", &out, nullptr, 0, false), 0);
    }
    EXPECT_EQ(ZtProcess::system("exit 9", nullptr, nullptr, 0, false), 9);
    EXPECT_EQ(ZtProcess::run("sleep 5", nullptr, nullptr, milliseconds(50)), -1);
    EXPECT_EQ(testsupport::CountOpenFds(), before);
}

// Holds `count` descriptors without close-on-exec from number `from` on.
class ExtraFds {
public:
    ExtraFds(int from, int count) {
        const int base = ::open("/dev/null", O_RDONLY);
        for (int i = 0; i < count && base >= 0; ++i) {
            const int fd = ::fcntl(base, F_DUPFD, from + i);
            if (fd >= 0) {
                m_fds.push_back(fd);
            }
        }
        if (base >= 0) {
            ::close(base);
        }
    }
    ~ExtraFds() {
        for (int fd : m_fds) {
            ::close(fd);
        }
    }
    ExtraFds(const ExtraFds&) = delete;
    ExtraFds& operator=(const ExtraFds&) = delete;
    size_t size() const { return m_fds.size(); }

private:
    std::vector<int> m_fds;
};

TEST(Runner, HostDescriptorsDoNotReachTheChild) {
    struct rlimit limit {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur < 1300) {
        GTEST_SKIP() << "descriptor limit too low";
    }
    ExtraFds extra(100, 1000);
    ASSERT_EQ(extra.size(), 1000u);
    std::string out, err;
    // The shell that runs the line lists its own descriptors.
    ASSERT_EQ(ZtProcess::system("ls /proc/$$/fd", &out, &err, 0, false), 0) << err;
    EXPECT_EQ(Numbers(out), (std::set<int>{0, 1, 2})) << out;
}

// Restores a signal's disposition on destruction.
class ScopedSignal {
public:
    ScopedSignal(int signal, void (*handler)(int), int flags = 0) : m_signal(signal) {
        struct sigaction action {};
        action.sa_handler = handler;
        action.sa_flags = flags;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, &m_old);
    }
    ~ScopedSignal() { ::sigaction(m_signal, &m_old, nullptr); }
    ScopedSignal(const ScopedSignal&) = delete;
    ScopedSignal& operator=(const ScopedSignal&) = delete;

private:
    int m_signal;
    struct sigaction m_old {};
};

void ReapEverything(int) {
    const int saved = errno;
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    errno = saved;
}

std::atomic<int> g_alarms{0};
void CountAlarm(int) { ++g_alarms; }

TEST(Runner, HostThatLosesChildStatusesStillGetsThem) {
    // A host that ignores SIGCHLD has its children reaped by the kernel; one
    // with a reap-all handler takes their statuses. Neither may hang the
    // runner, and the line's status must still come back.
    struct Setting {
        const char* name;
        void (*handler)(int);
        int flags;
    } settings[] = {
        {"SIG_IGN", SIG_IGN, 0},
        {"SA_NOCLDWAIT", SIG_DFL, SA_NOCLDWAIT},
        {"reap-all handler", ReapEverything, SA_RESTART},
    };
    for (const Setting& setting : settings) {
        ScopedSignal chld(SIGCHLD, setting.handler, setting.flags);
        const StatusCase cases[] = {
            {"true", 0}, {"exit 5", 5}, {"true | false", 1}, {"kill -TERM $$", 128 + SIGTERM}};
        for (const StatusCase& c : cases) {
            std::string out;
            const auto start = Clock::now();
            EXPECT_EQ(ZtProcess::run(c.command, &out, nullptr, milliseconds(5000)), c.status)
                << setting.name << ": " << c.command;
            EXPECT_LT(SecondsSince(start), 4.0) << setting.name << ": " << c.command;
        }
        std::string out;
        EXPECT_EQ(ZtProcess::run("echo hi", &out, nullptr, milliseconds(5000)), 0);
        EXPECT_EQ(out, "hi\n") << setting.name;
        const auto start = Clock::now();
        EXPECT_EQ(ZtProcess::run("sleep 30", nullptr, nullptr, milliseconds(200)), -1);
        EXPECT_LT(SecondsSince(start), 5.0) << setting.name;
    }
}

TEST(Runner, ChildStartsWithDefaultSignals) {
    // The host ignores SIGPIPE and blocks SIGTERM; the child must not inherit
    // either: `yes` is ended by SIGPIPE (141), and a TERM kills the shell.
    ScopedSignal pipe(SIGPIPE, SIG_IGN);
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &block, &old), 0);
    std::string out, err;
    const int piped =
        ZtProcess::system("(yes; echo $? >&2) | head -n 1 >/dev/null", &out, &err, 0, false);
    const int termed = ZtProcess::system("kill -TERM $$; exit 0", &out, nullptr, 0, false);
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    EXPECT_EQ(piped, 0);
    EXPECT_EQ(err, "141\n");
    EXPECT_EQ(termed, 128 + SIGTERM);
}

TEST(Runner, InterruptedBySignalsKeepsGoing) {
    // A host timer without SA_RESTART interrupts poll, read and waitpid.
    ScopedSignal alarm(SIGALRM, CountAlarm, 0);
    struct itimerval every {};
    every.it_interval.tv_usec = 2000;
    every.it_value.tv_usec = 2000;
    g_alarms = 0;
    ASSERT_EQ(::setitimer(ITIMER_REAL, &every, nullptr), 0);
    std::string out;
    const int status = ZtProcess::run("sleep 0.3; echo done; exit 6", &out, nullptr,
                                      milliseconds(5000));
    struct itimerval off {};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    EXPECT_EQ(status, 6);
    EXPECT_EQ(out, "done\n");
    EXPECT_GT(g_alarms.load(), 10);
}

TEST(Runner, ConcurrentRunsKeepTheirOwnStreams) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &wrong] {
            for (int i = 0; i < 40; ++i) {
                const std::string tag = std::to_string(t) + "-" + std::to_string(i);
                const std::string command = "echo " + tag + "; echo e" + tag + " >&2; exit " +
                                            std::to_string((t + i) % 7);
                std::string out, err;
                const int status = ZtProcess::system(command.c_str(), &out, &err, 0, false);
                if (status != (t + i) % 7 || out != tag + "\n" || err != "e" + tag + "\n") {
                    ++wrong;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
