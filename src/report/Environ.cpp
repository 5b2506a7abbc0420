#include "report/Environ.h"

#include "Constants.h"
#include "EvDebug.h"
#include "JsonText.h"

#include <iterator>

namespace vmdetect::evidence {
namespace {

// Valid UTF-8 without C0 controls or DEL: a value fit for a key, a log
// line and an environ entry.
bool Usable(const std::string& value) {
    if (value.empty() || value.size() > kEnvironValueCap) {
        return false;
    }
    for (std::size_t i = 0; i < value.size();) {
        const std::size_t length = text::Utf8SequenceLength(value, i);
        const auto lead = static_cast<unsigned char>(value[i]);
        if (length == 0 || (length == 1 && (lead < 0x20 || lead == 0x7f))) {
            return false;
        }
        i += length;
    }
    return true;
}

}  // namespace

bool Allowed(std::string_view name) {
    for (const char* allowed : kEnvironAllowList) {
        if (name == allowed) {
            return true;
        }
    }
    return false;
}

Environment ReadEnvironment(Source& source) {
    Environment env = source.OwnVariables(kEnvironAllowList, std::size(kEnvironAllowList));
    for (auto entry = env.begin(); entry != env.end();) {
        if (Usable(entry->second)) {
            ++entry;
            continue;
        }
        EvDebug(nullptr).DebugLvl(kFnReport, 1, "Variable %s is empty, over %u bytes or not UTF-8 text; ignored",
                                  entry->first.c_str(), kEnvironValueCap);
        entry = env.erase(entry);
    }
    return env;
}

const std::string* Variable(const Environment& env, std::string_view name) {
    const auto found = env.find(name);
    return found == env.end() ? nullptr : &found->second;
}

Environment ParseEnviron(const std::string& text) {
    Environment env;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\0', at);
        end = end == std::string::npos ? text.size() : end;
        const std::string entry = text.substr(at, end - at);
        at = end + 1;
        const std::size_t equals = entry.find('=');
        const std::string name = entry.substr(0, equals);
        if (equals == std::string::npos || !Allowed(name) || !Usable(entry.substr(equals + 1))) {
            EvDebug(nullptr).DebugLvl(kFnReport, 1, "Evidence %s: an entry that is no allow-listed variable; ignored",
                                      kEvidenceEnvironFile);
            continue;
        }
        env.emplace(name, entry.substr(equals + 1));
    }
    return env;
}

std::string FormatEnviron(const Environment& env) {
    std::string text;
    for (const auto& [name, value] : env) {
        text += name + "=" + value + std::string(1, '\0');
    }
    return text;
}

}  // namespace vmdetect::evidence
