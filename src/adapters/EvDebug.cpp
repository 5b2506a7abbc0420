#include "EvDebug.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <string>

#include "Constants.h"
#include "adapters/FXString.h"
#include "adapters/ForkSafeMutex.h"
#include "adapters/LogSink.h"

namespace {

enum class Destination { Stderr, File, Syslog };

struct LogState {
    // Guards everything but `level` and `configured`. A fork that catches a
    // line being written leaves the settings whole, so the child logs on.
    vmdetect::adapters::ForkSafeMutex mutex;
    std::atomic<bool> configured{false};
    std::atomic<int> level{0};
    Destination destination = Destination::Stderr;
    int fd = -1;
    std::function<void(const std::string&)> sink;
};

LogState& State() {
    // Never destroyed, since logging may run at exit; and not on the heap, so
    // that a host that unloads the library gets the memory back.
    alignas(LogState) static unsigned char storage[sizeof(LogState)];
    static LogState* state = new (storage) LogState();
    return *state;
}

// Closes the log file when the library is unloaded, so that no descriptor
// outlives it. A line logged later, at process exit, opens it again.
__attribute__((destructor)) void CloseLogFileAtUnload() {
    LogState& state = State();
    std::lock_guard<vmdetect::adapters::ForkSafeMutex> lock(state.mutex);
    if (state.fd >= 0) {
        ::close(state.fd);
        state.fd = -1;
        state.destination = Destination::Stderr;
        state.configured.store(false, std::memory_order_release);
    }
}

int ParseLevel(const char* text) {
    if (text == nullptr || *text == '\0') {
        return 0;
    }
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < 0) {
        return 0;
    }
    if (errno == ERANGE) {
        return 1000;  // a huge level asks for everything
    }
    return value > 1000 ? 1000 : static_cast<int>(value);
}

// Caller holds the mutex.
void ConfigureLocked(LogState& state) {
    if (state.fd >= 0) {
        ::close(state.fd);
        state.fd = -1;
    }
    state.destination = Destination::Stderr;
    const char* target = std::getenv(vmdetect::kEnvLog);
    if (target != nullptr && *target != '\0' && std::strcmp(target, "stderr") != 0) {
        if (std::strcmp(target, "syslog") == 0) {
            state.destination = Destination::Syslog;
        } else {
            // Non-blocking open: a FIFO without a reader must not hang the host.
            const int fd =
                ::open(target, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY,
                       0644);
            if (fd >= 0) {
                const int flags = ::fcntl(fd, F_GETFL);
                if (flags >= 0) {
                    ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
                }
                state.fd = fd;
                state.destination = Destination::File;
            }
        }
    }
    state.level.store(ParseLevel(std::getenv(vmdetect::kEnvLogLevel)), std::memory_order_relaxed);
    state.configured.store(true, std::memory_order_release);
}

LogState& ConfiguredState() {
    LogState& state = State();
    if (!state.configured.load(std::memory_order_acquire)) {
        std::lock_guard<vmdetect::adapters::ForkSafeMutex> lock(state.mutex);
        if (!state.configured.load(std::memory_order_relaxed)) {
            ConfigureLocked(state);
        }
    }
    return state;
}

// Severity 0 is an error; 1.. is a debug level (Debug is level 1).
bool Enabled(int level) {
    return level <= ConfiguredState().level.load(std::memory_order_relaxed);
}

void WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
}

// One call, one line: control characters of the message (a command's output,
// a metadata answer) are escaped, so that no text can end the line early or
// forge another one.
void AppendEscaped(std::string& line, const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            line += "\\n";
        } else if (c == '\r') {
            line += "\\r";
        } else if ((byte < 0x20 && c != '\t') || byte == 0x7f) {
            line += "\\x";
            line += kHex[byte >> 4];
            line += kHex[byte & 0xf];
        } else {
            line += c;
        }
    }
}

void Emit(const char* severity, const char* function, const char* format, va_list args) {
    std::string message;
    if (format != nullptr && FXString::FormatV(message, format, args).IsError()) {
        message = format;
    }
    // A trailing line end (captured command output) is not part of the evidence.
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.pop_back();
    }

    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct tm utc {};
    ::gmtime_r(&now.tv_sec, &utc);
    char stamp[96];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  now.tv_nsec / 1000000);

    std::string body = "[" + std::to_string(::getpid()) + "] " + severity + " ";
    AppendEscaped(body, function != nullptr ? function : "");
    body += ": ";
    AppendEscaped(body, message);
    std::string line = std::string(stamp) + " " + body;

    LogState& state = State();
    std::lock_guard<vmdetect::adapters::ForkSafeMutex> lock(state.mutex);
    if (state.sink) {
        state.sink(line);
    }
    switch (state.destination) {
        case Destination::Syslog:
            ::syslog(std::strcmp(severity, "ERROR") == 0 ? LOG_ERR : LOG_DEBUG, "%s", body.c_str());
            break;
        case Destination::File:
            line += '\n';
            WriteAll(state.fd, line.data(), line.size());
            break;
        case Destination::Stderr:
            line += '\n';
            WriteAll(STDERR_FILENO, line.data(), line.size());
            break;
    }
}

}  // namespace

namespace vmdetect {
namespace log {

void Reconfigure() {
    LogState& state = State();
    std::lock_guard<vmdetect::adapters::ForkSafeMutex> lock(state.mutex);
    ConfigureLocked(state);
}

void SetCaptureSink(std::function<void(const std::string&)> sink) {
    LogState& state = ConfiguredState();
    std::lock_guard<vmdetect::adapters::ForkSafeMutex> lock(state.mutex);
    state.sink = std::move(sink);
}

}  // namespace log
}  // namespace vmdetect

EvDebug::EvDebug(EvDebugFileInstance* instance) : m_instance(instance) {}

EvDebug::~EvDebug() = default;

void EvDebug::Debug(const char* function, const char* format, ...) const {
    if (!Enabled(1)) {
        return;
    }
    va_list args;
    va_start(args, format);
    Emit("DEBUG", function, format, args);
    va_end(args);
}

void EvDebug::DebugLvl(const char* function, int level, const char* format, ...) const {
    if (!Enabled(level < 1 ? 1 : level)) {
        return;
    }
    char severity[24];
    std::snprintf(severity, sizeof severity, "DEBUG%d", level);
    va_list args;
    va_start(args, format);
    Emit(severity, function, format, args);
    va_end(args);
}

void EvDebug::Error(const char* function, const char* format, ...) const {
    if (!Enabled(0)) {
        return;
    }
    va_list args;
    va_start(args, format);
    Emit("ERROR", function, format, args);
    va_end(args);
}
