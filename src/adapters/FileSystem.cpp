#include "adapters/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "adapters/FXErrorUtil.h"
#include "adapters/UniqueFd.h"

namespace {

CYbError ErrnoError(const char* function, int line, int number, const char* what) {
    const FXCodeLocation where{"FileSystem", function, line};
    // Errors carry a negative code so that IsError() holds.
    return FXErrorUtil::ErrorErrNo(where, -(number != 0 ? number : EIO), "%s", what);
}

}  // namespace

bool FXPath::DoesPathExist(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

CYbFile::~CYbFile() { Close(); }

void CYbFile::Close() { m_fd.reset(); }

CYbError CYbFile::Open(const char* path, int /*mode*/, int /*flags*/) {
    Close();
    if (path == nullptr) {
        return ErrnoError("CYbFile::Open", __LINE__, EINVAL, "no path");
    }
    // Non-blocking open: a FIFO must not hang the caller; no effect on files.
    m_fd = UniqueFd::Open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (!m_fd.valid()) {
        return ErrnoError("CYbFile::Open", __LINE__, errno, path);
    }
    return CYbError::Success();
}

CYbError CYbFile::Read(void* buffer, unsigned int size, unsigned int* bytesRead) {
    if (!m_fd.valid() || buffer == nullptr) {
        return ErrnoError("CYbFile::Read", __LINE__, EBADF, "not open");
    }
    ssize_t got;
    do {
        got = ::read(m_fd.get(), buffer, size);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        return ErrnoError("CYbFile::Read", __LINE__, errno, "read");
    }
    if (bytesRead != nullptr) {
        *bytesRead = static_cast<unsigned int>(got);
    }
    return CYbError::Success();
}

CYbError CYbDirectory::Walk(const char* root, void* context, int /*depth*/, bool /*sorted*/,
                            Callback callback) {
    if (root == nullptr || callback == nullptr) {
        return ErrnoError("CYbDirectory::Walk", __LINE__, EINVAL, "no root or callback");
    }
    UniqueDir dir(::opendir(root));
    if (dir.get() == nullptr) {
        return ErrnoError("CYbDirectory::Walk", __LINE__, errno, root);
    }
    for (;;) {
        errno = 0;
        const struct dirent* entry = ::readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0) {
                return ErrnoError("CYbDirectory::Walk", __LINE__, errno, root);
            }
            break;
        }
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
            continue;
        }
        bool isDirectory = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat info {};
            isDirectory = ::fstatat(::dirfd(dir.get()), name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                          S_ISDIR(info.st_mode);
        }
        CYbError result = callback(root, name, isDirectory, context);
        if (result.GetErrorCode() != 0) {
            return result;
        }
    }
    return CYbError::Success();
}
