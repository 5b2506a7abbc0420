// A directory of evidence: collected from this machine by one command, read
// back on any machine as if it were the one it came from.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "report/Source.h"

namespace vmdetect::evidence {

// The directory as a source; nullptr, with one error line, when its format
// line is missing or names another version.
std::unique_ptr<Source> OpenEvidence(const std::string& dir);

// Everything `readAll` reads from `roots` and the processor, written into
// `dir` (made, or found empty). Serial numbers and UUIDs only when
// `withPrivate`. 0, or an errno value: ENOTEMPTY when `dir` holds anything.
int Collect(const std::string& dir, const Roots& roots, bool withPrivate,
            const std::function<void(Source&)>& readAll);

}  // namespace vmdetect::evidence
