#include "ZtProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

extern char** environ;

namespace {

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    void reset(int fd = -1) {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

bool MakePipe(Fd& readEnd, Fd& writeEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    return true;
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

// Waits for `pid` without blocking past `deadlineMs`; kills its group then.
// Returns the raw wait status, or -1 when it cannot be learnt.
int Reap(pid_t pid, long long deadlineMs, bool& timedOut) {
    for (;;) {
        int status = 0;
        const pid_t got = ::waitpid(pid, &status, WNOHANG);
        if (got == pid) {
            return status;
        }
        if (got < 0 && errno != EINTR) {
            return -1;  // ECHILD: the caller ignores SIGCHLD and the kernel reaped it
        }
        if (got == 0 && NowMs() >= deadlineMs) {
            timedOut = true;
            ::kill(-pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return -1;
        }
        if (got == 0) {
            struct timespec pause {0, 1000000};  // 1 ms
            ::nanosleep(&pause, nullptr);
        }
    }
}

}  // namespace

int ZtProcess::system(const char* command, std::string* output, std::string* errorOutput,
                      int /*flags*/, bool /*wait*/) {
    return run(command, output, errorOutput, kDeadline);
}

int ZtProcess::run(const char* command, std::string* output, std::string* errorOutput,
                   std::chrono::milliseconds deadline) {
    if (command == nullptr) {
        return -1;
    }
    Fd outRead, outWrite, errRead, errWrite;
    if (!MakePipe(outRead, outWrite) || !MakePipe(errRead, errWrite)) {
        return -1;
    }
    FileActions actions;
    SpawnAttributes attributes;
    if (!actions.ok() || !attributes.ok()) {
        return -1;
    }
    posix_spawn_file_actions_t* fa = actions.get();
    if (::posix_spawn_file_actions_addopen(fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0) != 0 ||
        ::posix_spawn_file_actions_adddup2(fa, outWrite.get(), STDOUT_FILENO) != 0 ||
        ::posix_spawn_file_actions_adddup2(fa, errWrite.get(), STDERR_FILENO) != 0 ||
        ::posix_spawn_file_actions_addclosefrom_np(fa, STDERR_FILENO + 1) != 0) {
        return -1;
    }
    // Own process group, so that a deadline can end the whole pipeline; the
    // child starts with default signal handling and an empty mask.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    sigset_t empty;
    sigemptyset(&empty);
    if (::posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF |
                                                         POSIX_SPAWN_SETSIGMASK) != 0 ||
        ::posix_spawnattr_setpgroup(attributes.get(), 0) != 0 ||
        ::posix_spawnattr_setsigdefault(attributes.get(), &defaults) != 0 ||
        ::posix_spawnattr_setsigmask(attributes.get(), &empty) != 0) {
        return -1;
    }

    char shell[] = "/bin/sh";
    char dashC[] = "-c";
    std::string line(command);
    char* argv[] = {shell, dashC, &line[0], nullptr};
    pid_t pid = -1;
    if (::posix_spawn(&pid, "/bin/sh", fa, attributes.get(), argv, environ) != 0) {
        return -1;
    }
    outWrite.reset();
    errWrite.reset();

    const long long deadlineMs = NowMs() + deadline.count();
    bool timedOut = false;
    std::string outText, errText;
    struct Stream {
        Fd* fd;
        std::string* text;
    } streams[2] = {{&outRead, &outText}, {&errRead, &errText}};
    char buffer[65536];
    while (outRead.get() >= 0 || errRead.get() >= 0) {
        const long long remaining = deadlineMs - NowMs();
        if (remaining <= 0) {
            timedOut = true;
            break;
        }
        struct pollfd fds[2];
        nfds_t count = 0;
        Stream* polled[2];
        for (Stream& stream : streams) {
            if (stream.fd->get() >= 0) {
                fds[count] = {stream.fd->get(), POLLIN, 0};
                polled[count++] = &stream;
            }
        }
        const int ready = ::poll(fds, count, static_cast<int>(remaining > 1000 ? 1000 : remaining));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (nfds_t i = 0; i < count; ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) == 0) {
                continue;
            }
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                polled[i]->text->append(buffer, static_cast<size_t>(got));
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                polled[i]->fd->reset();
            }
        }
    }
    outRead.reset();
    errRead.reset();

    int status = -1;
    if (timedOut) {
        ::kill(-pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        status = -1;
    } else {
        status = Reap(pid, deadlineMs, timedOut);
    }
    if (output != nullptr) {
        *output = std::move(outText);
    }
    if (errorOutput != nullptr) {
        *errorOutput = std::move(errText);
    }
    if (timedOut || status == -1) {
        return -1;
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}
