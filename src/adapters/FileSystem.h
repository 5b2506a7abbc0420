// File, directory and path helpers.
#pragma once

#include <string>

#include "CYbError.h"
#include "adapters/UniqueFd.h"

class FXPath {
public:
    static bool DoesPathExist(const std::string& path);
};

class CYbFile {
public:
    CYbFile() = default;
    ~CYbFile();
    CYbFile(const CYbFile&) = delete;
    CYbFile& operator=(const CYbFile&) = delete;

    // Read-only open; the two ints are accepted for the callers' sake.
    CYbError Open(const char* path, int mode, int flags);
    // One read(2) of at most `size` bytes; *bytesRead holds what was placed.
    CYbError Read(void* buffer, unsigned int size, unsigned int* bytesRead);
    void Close();

private:
    UniqueFd m_fd;
};

class CYbDirectory {
public:
    using Callback = CYbError (*)(const char* directory, const char* name, bool isDirectory,
                                  void* context);
    // Calls `callback` for every entry of `root` except "." and "..". The
    // first result that is not success (any non-zero code) ends the walk and
    // is returned. The int and bool are accepted for the callers' sake.
    static CYbError Walk(const char* root, void* context, int depth, bool sorted,
                         Callback callback);
};
