#include "adapters/SysFs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "adapters/UniqueFd.h"

namespace vmdetect::adapters {

std::optional<std::string> ReadSmallFile(const std::string& path, std::size_t cap) {
    // Non-blocking, and regular files only: a FIFO planted where a marker
    // is expected must not hang the caller.
    return ReadRegular(UniqueFd::Open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK), cap);
}

std::optional<std::string> ReadRegular(const UniqueFd& fd, std::size_t cap) {
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    // Grown as the file fills it: the cap may be megabytes, the file rarely is.
    constexpr std::size_t kChunk = 64 * 1024;
    std::string content;
    while (content.size() < cap) {
        const std::size_t used = content.size();
        content.resize(used + std::min(kChunk, cap - used));
        const ssize_t n = ::read(fd.get(), &content[used], content.size() - used);
        const int error = errno;
        content.resize(used + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        if (n < 0 && error == EINTR) {
            continue;
        }
        if (n < 0) {
            // A file that vanished or refused mid-read counts as unreadable.
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
    }
    return content;
}

bool PathExists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

std::vector<std::string> ListDirectory(const std::string& path) {
    return ListDirectory(UniqueFd::Open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

std::vector<std::string> ListDirectory(UniqueFd fd) {
    std::vector<std::string> names;
    const UniqueDir dir(fd.valid() ? ::fdopendir(fd.get()) : nullptr);
    if (dir.get() == nullptr) {
        return names;
    }
    fd.release();  // the stream owns it now
    while (const dirent* entry = ::readdir(dir.get())) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
        }
    }
    return names;
}

PathKind KindOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return PathKind::kMissing;
    }
    return S_ISREG(st.st_mode) ? PathKind::kFile : S_ISDIR(st.st_mode) ? PathKind::kDirectory : PathKind::kOther;
}

std::optional<std::string> RealPath(const std::string& path) {
    const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
    if (!resolved) {
        return std::nullopt;
    }
    return std::string(resolved.get());
}

}  // namespace vmdetect::adapters
