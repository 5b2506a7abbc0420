// The process's own environment, as far as the report may read it: the
// allow-listed variables only (Constants.h), read once.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "report/Source.h"

namespace vmdetect::evidence {

// Allow-listed names with usable values: set, not empty, at most
// kEnvironValueCap bytes, valid UTF-8 without control characters.
using Environment = std::map<std::string, std::string, std::less<>>;

bool Allowed(std::string_view name);

// Every allow-listed variable through `source`; a value that is not usable
// is left out with a debug line naming the variable, never its value.
Environment ReadEnvironment(Source& source);

// The value of `name`, nullptr when it is not in `env`.
const std::string* Variable(const Environment& env, std::string_view name);

// The "NAME=value\0" entries of an environ file, allow-listed names only.
Environment ParseEnviron(const std::string& text);
std::string FormatEnviron(const Environment& env);

}  // namespace vmdetect::evidence
