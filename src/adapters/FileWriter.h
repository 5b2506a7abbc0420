// New files and directories, created once and never overwritten.
#pragma once

#include <string>

namespace vmdetect::adapters {

// 0 when `path` is now an empty directory made by this call or found empty;
// otherwise an errno value (ENOTEMPTY when it holds anything).
int MakeEmptyDirectory(const std::string& path);

// Makes `path` and every missing parent below an existing one (mode 0755);
// 0 or an errno value.
int MakeDirectories(const std::string& path);

// Writes `content` into a file that must not exist yet (mode 0644, links not
// followed), synced; 0 or an errno value.
int WriteNewFile(const std::string& path, const std::string& content);

}  // namespace vmdetect::adapters
