// The owners of a raw file descriptor and of a directory stream.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

// A file descriptor: closed exactly once, moved, never copied.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    // open(2), tried again when a signal interrupts it. On failure the result
    // holds nothing and errno says why.
    static UniqueFd Open(const char* path, int flags, mode_t mode = 0) {
        int fd;
        do {
            fd = ::open(path, flags, mode);
        } while (fd < 0 && errno == EINTR);
        return UniqueFd(fd);
    }

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    // Hands the descriptor over to the caller, who closes it.
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    // Closes the held descriptor (never retried: Linux frees the number even
    // when close is interrupted) and takes `fd`.
    void reset(int fd = -1) {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = fd;
    }

private:
    int m_fd = -1;
};

// The owner of an open directory stream: closed once, never copied.
class UniqueDir {
public:
    explicit UniqueDir(DIR* dir) : m_dir(dir) {}
    ~UniqueDir() {
        if (m_dir != nullptr) {
            ::closedir(m_dir);
        }
    }
    UniqueDir(const UniqueDir&) = delete;
    UniqueDir& operator=(const UniqueDir&) = delete;
    DIR* get() const { return m_dir; }

private:
    DIR* m_dir;
};
