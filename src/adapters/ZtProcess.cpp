#include "adapters/ZtProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <memory>

#include "EvDebug.h"
#include "adapters/UniqueFd.h"

extern char** environ;

namespace {

// A host that ignores SIGCHLD, or that reaps every child from its own SIGCHLD
// handler, loses the wait status of our child. For such a host the line runs
// in an inner shell and the outer one reports the inner one's status on
// descriptor 3 ("$?" of a shell killed by signal N is 128 + N). Other hosts
// get the plain `sh -c`, one process cheaper.
constexpr const char* kWrapper = "/bin/sh -c \"$1\" 3>&-; echo $? >&3";
constexpr int kStatusFd = 3;
// How long a killed group may take to be reaped before we give up on it.
constexpr long long kReapGraceMs = 2000;
// One pipe's worth per read; on the heap, since the caller's stack may be small.
constexpr size_t kReadSize = 65536;
constexpr const char* kFunction =
    "int ZtProcess::run(const char*, std::string*, std::string*, std::chrono::milliseconds)";

// Moves `fd` to `lowest` or above, so that no target of the child's file
// actions (0-2, and 3 when the status is reported) overwrites a source (a
// host may run with 0-2 closed). Only as high as needed: the usual free fd 3
// stays where it is for a plain line, which saves two calls per pipe.
bool Lift(UniqueFd& fd, int lowest) {
    if (fd.get() >= lowest) {
        return true;
    }
    const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, lowest);
    if (moved < 0) {
        return false;
    }
    fd.reset(moved);
    return true;
}

bool MakePipe(UniqueFd& readEnd, UniqueFd& writeEnd, int lowest) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    return Lift(readEnd, lowest) && Lift(writeEnd, lowest);
}

long long NowMs() {
    struct timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

class SpawnAttributes {
public:
    SpawnAttributes() { m_ok = ::posix_spawnattr_init(&m_attr) == 0; }
    ~SpawnAttributes() {
        if (m_ok) {
            ::posix_spawnattr_destroy(&m_attr);
        }
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    bool ok() const { return m_ok; }
    posix_spawnattr_t* get() { return &m_attr; }

private:
    posix_spawnattr_t m_attr{};
    bool m_ok = false;
};

class FileActions {
public:
    FileActions() { m_ok = ::posix_spawn_file_actions_init(&m_actions) == 0; }
    ~FileActions() {
        if (m_ok) {
            ::posix_spawn_file_actions_destroy(&m_actions);
        }
    }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    bool ok() const { return m_ok; }
    posix_spawn_file_actions_t* get() { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions{};
    bool m_ok = false;
};

enum class WaitResult { Exited, Gone, TimedOut };

// Waits for `pid` until `deadlineMs`. Exited: *status holds the wait status.
// Gone: the status cannot be had (someone else reaped the child).
WaitResult WaitFor(pid_t pid, int pidfd, long long deadlineMs, int* status) {
    int pauseMs = 1;
    for (;;) {
        const pid_t got = ::waitpid(pid, status, WNOHANG);
        if (got == pid) {
            return WaitResult::Exited;
        }
        if (got < 0 && errno != EINTR) {
            return WaitResult::Gone;
        }
        if (got < 0) {
            continue;
        }
        const long long remaining = deadlineMs - NowMs();
        if (remaining <= 0) {
            return WaitResult::TimedOut;
        }
        if (pidfd >= 0) {
            struct pollfd exited = {pidfd, POLLIN, 0};
            ::poll(&exited, 1, static_cast<int>(remaining > 1000 ? 1000 : remaining));
        } else {
            const long long nap = remaining < pauseMs ? remaining : pauseMs;
            struct timespec pause {0, static_cast<long>(nap) * 1000000L};
            ::nanosleep(&pause, nullptr);
            pauseMs = pauseMs < 16 ? pauseMs * 2 : 16;
        }
    }
}

bool HostMayReapOurChild() {
    struct sigaction current {};
    if (::sigaction(SIGCHLD, nullptr, &current) != 0) {
        return true;
    }
    return current.sa_handler != SIG_DFL || (current.sa_flags & SA_NOCLDWAIT) != 0;
}

// Parses the outer shell's report: decimal digits and a line end.
int ParseStatus(const std::string& text) {
    if (text.empty() || text.size() > 5 || text.back() != '\n' || text.size() < 2) {
        return -1;
    }
    int value = 0;
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return -1;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// A started line: its pid and our ends of its pipes.
struct Child {
    pid_t pid = -1;
    bool reported = false;  // the outer shell reports the line's status on kStatusFd
    UniqueFd out, err, status;
    UniqueFd pidfd;  // lets the final wait sleep until the exit instead of polling; optional
};

// Nothing of the host's but the three pipes reaches the child.
bool PrepareActions(FileActions& actions, const UniqueFd& outWrite, const UniqueFd& errWrite,
                    const UniqueFd& statusWrite, int lowest) {
    posix_spawn_file_actions_t* fa = actions.get();
    return actions.ok() &&
           ::posix_spawn_file_actions_addopen(fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0) == 0 &&
           ::posix_spawn_file_actions_adddup2(fa, outWrite.get(), STDOUT_FILENO) == 0 &&
           ::posix_spawn_file_actions_adddup2(fa, errWrite.get(), STDERR_FILENO) == 0 &&
           (statusWrite.get() < 0 ||
            ::posix_spawn_file_actions_adddup2(fa, statusWrite.get(), kStatusFd) == 0) &&
           ::posix_spawn_file_actions_addclosefrom_np(fa, lowest) == 0;
}

// Own process group, so that the deadline can end the whole pipeline; the
// child starts with default signal handling (the host may ignore SIGPIPE,
// SIGCHLD or more) and an empty mask.
bool PrepareAttributes(SpawnAttributes& attributes) {
    sigset_t defaults;
    sigfillset(&defaults);
    sigset_t empty;
    sigemptyset(&empty);
    return attributes.ok() &&
           ::posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETPGROUP |
                                                            POSIX_SPAWN_SETSIGDEF |
                                                            POSIX_SPAWN_SETSIGMASK) == 0 &&
           ::posix_spawnattr_setpgroup(attributes.get(), 0) == 0 &&
           ::posix_spawnattr_setsigdefault(attributes.get(), &defaults) == 0 &&
           ::posix_spawnattr_setsigmask(attributes.get(), &empty) == 0;
}

// Starts `command` under /bin/sh with its streams on fresh pipes.
bool Spawn(const char* command, Child& child) {
    child.reported = HostMayReapOurChild();
    UniqueFd outWrite, errWrite, statusWrite;
    // The first descriptor the child does not get: our pipe ends live from
    // here on, and the child closes everything from here on.
    const int lowest = child.reported ? kStatusFd + 1 : STDERR_FILENO + 1;
    if (!MakePipe(child.out, outWrite, lowest) || !MakePipe(child.err, errWrite, lowest) ||
        (child.reported && !MakePipe(child.status, statusWrite, lowest))) {
        return false;
    }
    FileActions actions;
    SpawnAttributes attributes;
    if (!PrepareActions(actions, outWrite, errWrite, statusWrite, lowest) ||
        !PrepareAttributes(attributes)) {
        return false;
    }
    std::string shell = "/bin/sh";
    std::string dashC = "-c";
    std::string wrapper = kWrapper;
    std::string line(command);
    char* wrapped[] = {&shell[0], &dashC[0], &wrapper[0], &shell[0], &line[0], nullptr};
    char* plain[] = {&shell[0], &dashC[0], &line[0], nullptr};
    char** argv = child.reported ? wrapped : plain;
    if (::posix_spawn(&child.pid, "/bin/sh", actions.get(), attributes.get(), argv, environ) != 0) {
        return false;
    }
    outWrite.reset();
    errWrite.reset();
    statusWrite.reset();
    child.pidfd.reset(static_cast<int>(::syscall(SYS_pidfd_open, child.pid, 0)));
    return true;
}

// One of the child's streams, the text kept from it and what was dropped.
struct Stream {
    UniqueFd* fd = nullptr;
    std::string* text = nullptr;
    unsigned long long dropped = 0;

    void keep(const char* data, size_t size) {
        const size_t room = ZtProcess::kMaxCapture - std::min(ZtProcess::kMaxCapture, text->size());
        const size_t kept = std::min(size, room);
        text->append(data, kept);
        dropped += size - kept;
    }
};

// Reads the child's streams until they close. False when the deadline came
// first, or the pipes could not be watched any more.
bool Drain(Stream (&streams)[3], long long deadlineMs) {
    const std::unique_ptr<char[]> buffer(new char[kReadSize]);
    for (;;) {
        struct pollfd fds[3];
        Stream* polled[3];
        nfds_t count = 0;
        for (Stream& stream : streams) {
            if (stream.fd->get() >= 0) {
                fds[count] = {stream.fd->get(), POLLIN, 0};
                polled[count++] = &stream;
            }
        }
        if (count == 0) {
            return true;
        }
        const long long remaining = deadlineMs - NowMs();
        if (remaining <= 0) {
            return false;
        }
        const int ready = ::poll(fds, count, static_cast<int>(remaining > 1000 ? 1000 : remaining));
        if (ready < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return false;
        }
        for (nfds_t i = 0; i < count; ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) == 0) {
                continue;
            }
            const ssize_t got = ::read(fds[i].fd, buffer.get(), kReadSize);
            if (got > 0) {
                polled[i]->keep(buffer.get(), static_cast<size_t>(got));
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                polled[i]->fd->reset();
            }
        }
    }
}

// Waits for the child (killing its group if the deadline has come or comes
// first) and returns the line's result as ZtProcess::run documents it.
int Reap(const Child& child, bool timedOut, long long deadlineMs, const std::string& statusText) {
    int waitStatus = 0;
    WaitResult waited = WaitResult::TimedOut;
    if (!timedOut) {
        // All pipes are closed, so the outer shell is exiting; the deadline
        // still bounds a child that closed them and went on running.
        waited = WaitFor(child.pid, child.pidfd.get(), deadlineMs, &waitStatus);
    }
    if (waited == WaitResult::TimedOut) {
        // The shell is not reaped yet, so its pid still names our group.
        ::kill(-child.pid, SIGKILL);
        WaitFor(child.pid, child.pidfd.get(), NowMs() + kReapGraceMs, &waitStatus);
        return -1;
    }
    const int status = child.reported ? ParseStatus(statusText) : -1;
    if (status >= 0) {
        return status;
    }
    if (waited == WaitResult::Exited && WIFEXITED(waitStatus)) {
        return WEXITSTATUS(waitStatus);
    }
    // No report: the outer shell did not get that far.
    if (waited == WaitResult::Exited && WIFSIGNALED(waitStatus)) {
        return 128 + WTERMSIG(waitStatus);
    }
    return -1;
}

}  // namespace

int ZtProcess::system(const char* command, std::string* output, std::string* errorOutput,
                      int /*flags*/, bool /*wait*/) {
    return run(command, output, errorOutput, kDeadline);
}

int ZtProcess::run(const char* command, std::string* output, std::string* errorOutput,
                   std::chrono::milliseconds deadline) {
    Child child;
    if (command == nullptr || !Spawn(command, child)) {
        return -1;
    }
    const long long deadlineMs = NowMs() + deadline.count();
    std::string outText, errText, statusText;
    Stream streams[3] = {
        {&child.out, &outText}, {&child.err, &errText}, {&child.status, &statusText}};
    const bool drained = Drain(streams, deadlineMs);
    child.out.reset();
    child.err.reset();
    child.status.reset();
    const int result = Reap(child, !drained, deadlineMs, statusText);
    if (streams[0].dropped > 0 || streams[1].dropped > 0) {
        EvDebug(nullptr).Error(kFunction,
                               "Output of [%s] cut to its first %zu bytes per stream: dropped "
                               "%llu bytes of standard output and %llu bytes of error output",
                               command, kMaxCapture, streams[0].dropped, streams[1].dropped);
    }
    if (output != nullptr) {
        *output = std::move(outText);
    }
    if (errorOutput != nullptr) {
        *errorOutput = std::move(errText);
    }
    return result;
}
