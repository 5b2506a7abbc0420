// Shell command runner: /bin/sh -c through posix_spawn, both streams captured.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

class ZtProcess {
public:
    // A line still running after this long has its whole process group killed.
    static constexpr std::chrono::milliseconds kDeadline{10000};
    // Each stream keeps at most this much; the rest is read and dropped, so
    // that a flooding tool neither blocks nor swells the caller's memory.
    static constexpr std::size_t kMaxCapture = 1024 * 1024;

    // Runs `command` through /bin/sh -c. Returns the exit status of the line
    // (a pipeline's last stage), 128 + signal for a line killed by a signal,
    // and -1 when it cannot start, when the deadline ends it, or when its
    // status cannot be learnt. `output` and `errorOutput` (either may be null)
    // receive the captured streams, each cut at kMaxCapture bytes (one Error
    // line names a command whose output was cut). The int and bool are
    // accepted for the callers' sake and change nothing: every caller needs
    // the result.
    static int system(const char* command, std::string* output, std::string* errorOutput,
                      int flags, bool wait);

    // The same with an explicit deadline.
    static int run(const char* command, std::string* output, std::string* errorOutput,
                   std::chrono::milliseconds deadline);
};
