// The floor of the whole command-line tool: a program that runs only the
// five firmware command lines, each through /bin/sh with its output read.
#include <string>

#include "BenchSupport.h"

int main() {
    for (const char* line : bench::kFirmwareLines) {
        std::string output;
        if (bench::BareRun(line, &output) != 0) {
            return 1;
        }
    }
    return 0;
}
