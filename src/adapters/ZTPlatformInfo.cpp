#include "ZTPlatformInfo.h"

#include <fcntl.h>
#include <ini.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../Constants.h"
#include "EvDebug.h"
#include "adapters/UniqueFd.h"

namespace {

constexpr const char* kFunction = "void ZTPlatformInfo::Load()";
// A configuration file holds a handful of keys; anything larger is refused
// rather than read into every process that loads the library.
constexpr size_t kMaxConfigBytes = 1024 * 1024;
// inih cuts longer lines and reads the rest as a line of its own.
constexpr size_t kMaxLineBytes = 198;

using Fd = vmdetect::adapters::UniqueFd;

std::string Join(const char* section, const char* key) {
    return std::string(section != nullptr ? section : "") + '\n' + (key != nullptr ? key : "");
}

int OnValue(void* user, const char* section, const char* key, const char* value) {
    auto* values = static_cast<std::map<std::string, std::string>*>(user);
    (*values)[Join(section, key)] = value != nullptr ? value : "";
    return 1;
}

enum class ReadResult { Ok, Missing, Failed, TooLarge };

// Reads the whole regular file at `path`, at most kMaxConfigBytes.
ReadResult ReadConfig(const std::string& path, std::string& text, int& error) {
    int fd;
    do {
        // Non-blocking: a FIFO in place of the file must not hang the host.
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = errno;
        return error == ENOENT || error == ENOTDIR ? ReadResult::Missing : ReadResult::Failed;
    }
    Fd file(fd);
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) {
        error = errno;
        return ReadResult::Failed;
    }
    if (!S_ISREG(info.st_mode)) {
        error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        return ReadResult::Failed;
    }
    if (static_cast<unsigned long long>(info.st_size) > kMaxConfigBytes) {
        return ReadResult::TooLarge;
    }
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            error = errno;
            return ReadResult::Failed;
        }
        if (got == 0) {
            return ReadResult::Ok;
        }
        text.append(buffer, static_cast<size_t>(got));
        if (text.size() > kMaxConfigBytes) {
            return ReadResult::TooLarge;  // grew while we read it
        }
    }
}

// Prepares the text for inih and returns 0, or the first line (from 1) that
// inih would misread. Leading blanks are dropped: inih takes an indented line
// after a key for a continuation of that key's value, so an indented file
// would give one key the next key's whole line. Comment lines are emptied, so
// that only their length cannot matter; line numbers stay as they were.
int Normalise(const std::string& text, std::string& out) {
    out.reserve(text.size());
    int line = 1;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        const bool lastLine = end == std::string::npos;
        if (lastLine) {
            end = text.size();
        }
        size_t first = start;
        while (first < end && (text[first] == ' ' || text[first] == '\t')) {
            ++first;
        }
        const bool comment = first < end && (text[first] == ';' || text[first] == '#');
        if (!comment) {
            if (end - first > kMaxLineBytes || text.find('\0', first) < end) {
                return line;
            }
            out.append(text, first, end - first);
        }
        if (!lastLine) {
            out += '\n';
        }
        start = end + 1;
        ++line;
    }
    return 0;
}

}  // namespace

ZTPlatformInfo::ZTPlatformInfo() = default;
ZTPlatformInfo::~ZTPlatformInfo() = default;

void ZTPlatformInfo::Load() {
    if (m_loaded) {
        return;
    }
    m_loaded = true;
    const char* configured = std::getenv(vmdetect::kEnvConfig);
    const std::string path =
        configured != nullptr && *configured != '\0' ? configured : vmdetect::kDefaultConfigPath;
    std::string text;
    int error = 0;
    switch (ReadConfig(path, text, error)) {
        case ReadResult::Missing:
            return;
        case ReadResult::Failed:
            EvDebug(nullptr).Error(kFunction, "Cannot read configuration file [%s]: %s",
                                   path.c_str(), std::strerror(error));
            return;
        case ReadResult::TooLarge:
            EvDebug(nullptr).Error(kFunction,
                                   "Configuration file [%s] is larger than %zu bytes; ignored",
                                   path.c_str(), kMaxConfigBytes);
            return;
        case ReadResult::Ok:
            break;
    }
    std::string prepared;
    int badLine = Normalise(text, prepared);
    std::map<std::string, std::string> values;
    if (badLine == 0) {
        badLine = ini_parse_string(prepared.c_str(), OnValue, &values);
    }
    if (badLine != 0) {
        // ini_parse_string gives -2 when it runs out of memory.
        EvDebug(nullptr).Error(kFunction, "Malformed configuration file [%s] at line %d",
                               path.c_str(), badLine);
        return;
    }
    m_values = std::move(values);
}

int ZTPlatformInfo::getString(const char* section, const char* key, std::string* value) {
    Load();
    const auto found = m_values.find(Join(section, key));
    if (found == m_values.end()) {
        return 0;
    }
    if (value != nullptr) {
        *value = found->second;
    }
    return 1;
}

int ZTPlatformInfo::getNumber(const char* section, const char* key, unsigned long* value) {
    Load();
    const auto found = m_values.find(Join(section, key));
    if (found == m_values.end()) {
        return 0;
    }
    // Only a whole non-negative decimal that fits: no sign, blank, base
    // prefix, fraction or suffix, so strtoul's leniency is not wanted.
    const std::string& text = found->second;
    if (text.empty()) {
        return 0;
    }
    unsigned long number = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return 0;
        }
        const unsigned long digit = static_cast<unsigned long>(c - '0');
        if (number > (static_cast<unsigned long>(-1) - digit) / 10) {
            return 0;  // does not fit
        }
        number = number * 10 + digit;
    }
    if (value != nullptr) {
        *value = number;
    }
    return 1;
}
