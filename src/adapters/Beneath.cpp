#include "adapters/Beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace vmdetect::adapters {

namespace {

// Unknown until the first call; a kernel or sandbox without openat2 says so
// once, and the process keeps to the path check after that.
std::atomic<int> g_openat2{-1};

// openat2 beneath `dir`: a descriptor, or none with errno set. Tried again
// when a signal interrupts it or a rename races the walk (EAGAIN).
int OpenAt2(int dir, const char* relative, int flags) {
    open_how how {};
    how.flags = static_cast<std::uint64_t>(flags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    long fd = -1;
    for (int attempt = 0; attempt < 8; ++attempt) {
        fd = ::syscall(SYS_openat2, dir, relative, &how, sizeof how);
        if (fd >= 0 || (errno != EINTR && errno != EAGAIN)) {
            break;
        }
    }
    return static_cast<int>(fd);
}

PathKind KindOfFd(const UniqueFd& fd) {
    struct stat st {};
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
        return PathKind::kMissing;
    }
    return S_ISREG(st.st_mode) ? PathKind::kFile : S_ISDIR(st.st_mode) ? PathKind::kDirectory : PathKind::kOther;
}

}  // namespace

bool Beneath::KernelConfines() {
    if (g_openat2.load() < 0) {
        const UniqueFd probe(OpenAt2(AT_FDCWD, ".", O_PATH | O_CLOEXEC));
        // Seccomp sandboxes that predate the call answer EPERM.
        g_openat2.store(probe.valid() || (errno != ENOSYS && errno != EPERM) ? 1 : 0);
    }
    return g_openat2.load() == 1;
}

void Beneath::UsePathCheckForTesting(bool pathCheck) {
    g_openat2.store(pathCheck ? 0 : -1);
}

std::optional<Beneath> Beneath::Open(const std::string& dir) {
    UniqueFd fd = UniqueFd::Open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (!fd.valid()) {
        return std::nullopt;
    }
    // The path check compares with the directory's real path, taken once.
    return Beneath(std::move(fd), KernelConfines() ? dir : RealPath(dir).value_or(dir));
}

UniqueFd Beneath::OpenAt(const std::string& relative, int flags, bool* outside) const {
    // openat2 refuses O_PATH beside any flag but a few.
    flags |= (flags & O_PATH) != 0 ? O_CLOEXEC : O_CLOEXEC | O_NOCTTY;
    if (KernelConfines()) {
        UniqueFd fd(OpenAt2(m_fd.get(), relative.c_str(), flags));
        if (!fd.valid() && errno == EXDEV && outside != nullptr) {
            *outside = true;
        }
        return fd;
    }
    // The path check: resolved, then it must lie within the directory.
    const auto real = RealPath(m_dir + "/" + relative);
    if (!real) {
        return UniqueFd();
    }
    const std::string inside = m_dir == "/" ? m_dir : m_dir + "/";
    if (real->compare(0, inside.size(), inside) != 0) {
        if (outside != nullptr) *outside = true;
        return UniqueFd();
    }
    return UniqueFd::Open(real->c_str(), flags);
}

Beneath::Entry Beneath::Kind(const std::string& relative) const {
    Entry entry;
    entry.kind = KindOfFd(OpenAt(relative, O_PATH, &entry.outside));
    return entry;
}

std::optional<std::string> Beneath::Read(const std::string& relative, std::size_t cap, Entry* entry) const {
    // The kind first, through a descriptor that opens nothing: a FIFO or a
    // device node is never opened for reading.
    Entry found = Kind(relative);
    if (entry != nullptr) {
        *entry = found;
    }
    if (found.kind != PathKind::kFile) {
        return std::nullopt;
    }
    return ReadRegular(OpenAt(relative, O_RDONLY | O_NONBLOCK, nullptr), cap);
}

std::vector<std::string> Beneath::List(const std::string& relative) const {
    return ListDirectory(OpenAt(relative, O_RDONLY | O_DIRECTORY, nullptr));
}

}  // namespace vmdetect::adapters
