// Shell command runner: /bin/sh -c through posix_spawn, both streams captured.
#pragma once

#include <chrono>
#include <string>

class ZtProcess {
public:
    // A line still running after this long has its whole process group killed.
    static constexpr std::chrono::milliseconds kDeadline{10000};

    // Runs `command` through /bin/sh -c. Returns the exit status of the line
    // (a pipeline's last stage), 128 + signal for a line killed by a signal,
    // and -1 when it cannot start, when the deadline ends it, or when its
    // status cannot be learnt. `output` and `errorOutput` (either may be null)
    // receive the captured streams. The int and bool are accepted for the
    // callers' sake and change nothing: every caller needs the result.
    static int system(const char* command, std::string* output, std::string* errorOutput,
                      int flags, bool wait);

    // The same with an explicit deadline.
    static int run(const char* command, std::string* output, std::string* errorOutput,
                   std::chrono::milliseconds deadline);
};
