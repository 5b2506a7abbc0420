// A directory whose files are opened only beneath it: the kernel refuses a
// path that leads out (openat2 with RESOLVE_BENEATH), so nothing lies
// between the check and the open. Kernels before 5.6, and sandboxes that
// refuse the call, get the path resolved and checked before it is opened.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "adapters/SysFs.h"
#include "adapters/UniqueFd.h"

namespace vmdetect::adapters {

class Beneath {
public:
    // nullopt when `dir` is not a directory this process can open.
    static std::optional<Beneath> Open(const std::string& dir);

    struct Entry {
        PathKind kind = PathKind::kMissing;
        bool outside = false;  // a link led out of the directory
    };
    // What `relative` names, links followed within the directory.
    Entry Kind(const std::string& relative) const;
    // The first `cap` bytes of the regular file `relative`; nullopt for
    // anything else, with what it is in `entry`.
    std::optional<std::string> Read(const std::string& relative, std::size_t cap,
                                    Entry* entry = nullptr) const;
    // The names in the directory `relative`; empty for anything else.
    std::vector<std::string> List(const std::string& relative) const;

    // Whether this kernel confines the opens itself.
    static bool KernelConfines();
    // Tests take the path check, as on a kernel without openat2, or the
    // kernel's confinement again.
    static void UsePathCheckForTesting(bool pathCheck);

private:
    Beneath(UniqueFd fd, std::string dir) : m_fd(std::move(fd)), m_dir(std::move(dir)) {}
    UniqueFd OpenAt(const std::string& relative, int flags, bool* outside) const;

    UniqueFd m_fd;
    std::string m_dir;
};

}  // namespace vmdetect::adapters
