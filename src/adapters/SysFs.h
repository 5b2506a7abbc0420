// Small files of the kernel's file systems (/sys, /proc) and of /run, read
// in-process: the platform report's evidence.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "adapters/UniqueFd.h"

namespace vmdetect::adapters {

// Every kernel attribute the report reads fits in a page.
constexpr std::size_t kSmallFileCap = 4096;

// The first `cap` bytes of the regular file at `path`, as they are (NUL and
// control bytes included); nullopt when it does not exist, is not a regular
// file, or this process may not read it.
std::optional<std::string> ReadSmallFile(const std::string& path,
                                         std::size_t cap = kSmallFileCap);
// The same of a file already open; nullopt for an invalid descriptor.
std::optional<std::string> ReadRegular(const UniqueFd& fd, std::size_t cap = kSmallFileCap);

// True when `path` names something this process can see (access F_OK).
bool PathExists(const std::string& path);

// Names of the entries of the directory at `path`; empty when unreadable.
std::vector<std::string> ListDirectory(const std::string& path);
// The same of a directory already open, whose descriptor it takes.
std::vector<std::string> ListDirectory(UniqueFd fd);

// What `path` names, links followed.
enum class PathKind { kMissing, kFile, kDirectory, kOther };
PathKind KindOf(const std::string& path);

// `path` with every link and "." or ".." resolved; nullopt when some part of
// it does not exist.
std::optional<std::string> RealPath(const std::string& path);

}  // namespace vmdetect::adapters
