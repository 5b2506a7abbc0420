#include "adapters/FileWriter.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "adapters/UniqueFd.h"

namespace vmdetect::adapters {

int MakeEmptyDirectory(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) == 0) {
        return 0;
    }
    if (errno != EEXIST) {
        return errno;
    }
    const UniqueDir dir(::opendir(path.c_str()));
    if (dir.get() == nullptr) {
        return errno;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            return ENOTEMPTY;
        }
    }
    return 0;
}

int MakeDirectories(const std::string& path) {
    for (std::size_t at = path.find('/', 1); ; at = path.find('/', at + 1)) {
        const std::string part = path.substr(0, at);
        if (::mkdir(part.c_str(), 0755) != 0) {
            if (errno != EEXIST) {
                return errno;
            }
            struct stat st {};  // an existing link is not followed out
            if (::lstat(part.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
                return ENOTDIR;
            }
        }
        if (at == std::string::npos) {
            return 0;
        }
    }
}

int WriteNewFile(const std::string& path, const std::string& content) {
    const UniqueFd fd = UniqueFd::Open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (!fd.valid()) {
        return errno;
    }
    for (std::size_t done = 0; done < content.size();) {
        const ssize_t n = ::write(fd.get(), content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? errno : EIO;
        }
        done += static_cast<std::size_t>(n);
    }
    return ::fsync(fd.get()) == 0 ? 0 : errno;
}

}  // namespace vmdetect::adapters
