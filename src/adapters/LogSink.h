// Internal controls of the logging base: re-reading the environment and
// capturing lines in tests.
#pragma once

#include <functional>
#include <string>

namespace vmdetect {
namespace log {

// Re-reads VMDETECT_LOG and VMDETECT_LOG_LEVEL (they are read once otherwise).
void Reconfigure();

// While set, every line that passes the threshold goes to `sink` as well
// (without its line end). Pass nullptr to stop.
void SetCaptureSink(std::function<void(const std::string&)> sink);

}  // namespace log
}  // namespace vmdetect
