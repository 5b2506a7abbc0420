// vmdetect --write DIR: the report, the OpenTelemetry environment file, the
// Prometheus metric and the node-feature-discovery features as files, each
// replaced atomically (a temporary file in DIR, fsync, rename), so that a
// reader never sees half a file.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "Nfd.h"
#include "Otel.h"
#include "Prometheus.h"

namespace vmdetect_cli {

constexpr const char* kReportFile = "report.json";
constexpr const char* kOtelFile = "otel.env";
constexpr const char* kPrometheusFile = "vmdetect.prom";
constexpr const char* kNfdFile = "vmdetect.features";
constexpr const char* kOtelVariable = "OTEL_RESOURCE_ATTRIBUTES";
constexpr mode_t kWrittenMode = 0644;
// The kernel keeps product_uuid readable by root only; the files are not.
constexpr const char* kRootOnlyKey = "firmware.uuid";

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() { Close(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }
    int Close() {
        const int rc = m_fd >= 0 ? ::close(m_fd) : 0;
        m_fd = -1;
        return rc;
    }

private:
    int m_fd;
};

// Removes the temporary file unless it was renamed into place.
class TemporaryName {
public:
    explicit TemporaryName(std::string path) : m_path(std::move(path)) {}
    ~TemporaryName() {
        if (!m_path.empty()) {
            ::unlink(m_path.c_str());
        }
    }
    TemporaryName(const TemporaryName&) = delete;
    TemporaryName& operator=(const TemporaryName&) = delete;
    char* data() { return &m_path[0]; }
    void Keep() { m_path.clear(); }

private:
    std::string m_path;
};

// True when `path` is a regular file of the written mode holding exactly
// `content`: rewriting it would only move its time stamp.
inline bool HoldsAlready(const std::string& path, const std::string& content) {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        (st.st_mode & 07777) != kWrittenMode ||
        st.st_size != static_cast<off_t>(content.size())) {
        return false;
    }
    std::string held(content.size(), '\0');
    std::size_t got = 0;
    while (got < held.size()) {
        const ssize_t n = ::read(fd.get(), &held[got], held.size() - got);
        if (n <= 0) {
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return held == content;
}

inline bool WriteAll(int fd, const std::string& content) {
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// "" when `dir/name` holds `content` afterwards, else what failed.
inline std::string ReplaceFile(const std::string& dir, const std::string& name,
                               const std::string& content) {
    const std::string path = dir + "/" + name;
    if (HoldsAlready(path, content)) {
        return "";
    }
    TemporaryName temporary(dir + "/." + name + ".XXXXXX");
    FileDescriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        temporary.Keep();  // nothing was made
        return "cannot write " + path + ": " + std::strerror(errno);
    }
    if (::fchmod(fd.get(), kWrittenMode) != 0 || !WriteAll(fd.get(), content) ||
        ::fsync(fd.get()) != 0 || fd.Close() != 0 || ::rename(temporary.data(), path.c_str()) != 0) {
        return "cannot write " + path + ": " + std::strerror(errno);
    }
    temporary.Keep();
    return "";
}

// The report without what only root may read, or "" when it is not an object.
inline std::string WorldReadableReport(const std::string& report) {
    auto parsed = nlohmann::ordered_json::parse(report, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        return "";
    }
    parsed.erase(kRootOnlyKey);
    if (parsed.contains("sources") && parsed["sources"].is_object()) {
        parsed["sources"].erase(kRootOnlyKey);
    }
    return parsed.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// The line for a systemd EnvironmentFile= (and a POSIX shell): double
// quotes, with the four characters that are special inside them escaped.
inline std::string EnvironmentLine(const std::string& value) {
    std::string out = std::string(kOtelVariable) + "=\"";
    for (const char c : value) {
        if (c == '"' || c == '\\' || c == '$' || c == '`') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"\n";
}

using Files = std::vector<std::pair<std::string, std::string>>;  // name, content

// The four files' contents from one report; false when it is not an object.
// What the forms leave out goes to `notes`.
inline bool MakeFiles(const std::string& report, Files& files, Notes* notes = nullptr) {
    const std::string shared = WorldReadableReport(report);
    std::string otel;
    std::string prometheus;
    std::string nfd;
    if (shared.empty() || !OtelLine(shared, otel, notes) || !PrometheusText(shared, prometheus) ||
        !NfdLines(shared, nfd, notes)) {
        return false;
    }
    files = {{kReportFile, shared + "\n"},
             {kOtelFile, EnvironmentLine(otel)},
             {kPrometheusFile, prometheus},
             {kNfdFile, nfd}};
    return true;
}

// "" on success, else what failed. The directory is synced last, so that
// the renames outlive a crash.
inline std::string WriteFiles(const std::string& dir, const Files& files) {
    for (const auto& [name, content] : files) {
        const std::string error = ReplaceFile(dir, name, content);
        if (!error.empty()) {
            return error;
        }
    }
    FileDescriptor directory(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() < 0 || ::fsync(directory.get()) != 0) {
        return "cannot sync " + dir + ": " + std::strerror(errno);
    }
    return "";
}

}  // namespace vmdetect_cli
