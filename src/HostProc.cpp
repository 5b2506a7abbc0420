// Where the process file system is, and how a path goes into a command line.
#include "HostProc.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Constants.h"

namespace {

// Characters that /bin/sh takes literally in a word.
bool IsShellSafe(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               (c != '\0' && std::strchr("/._-+,:@%", c) != nullptr);
    });
}

}  // namespace

namespace vmdetect {

std::string ProcRoot() {
    const char* configured = std::getenv(kEnvHostProc);
    std::string root = configured != nullptr && *configured != '\0' ? configured : kDefaultProcRoot;
    return root;
}

std::string ShellQuote(const std::string& text) {
    if (IsShellSafe(text)) {
        return text;
    }
    return "'" + EscapeSingleQuotes(text) + "'";
}

std::string EscapeSingleQuotes(const std::string& text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        if (c == '\'') {
            escaped += "'\\''";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

}  // namespace vmdetect
