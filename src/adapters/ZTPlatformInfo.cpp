#include "ZTPlatformInfo.h"

#include <ini.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../Constants.h"
#include "EvDebug.h"

namespace {

constexpr const char* kFunction = "void ZTPlatformInfo::Load()";

std::string Join(const char* section, const char* key) {
    return std::string(section != nullptr ? section : "") + '\n' + (key != nullptr ? key : "");
}

int OnValue(void* user, const char* section, const char* key, const char* value) {
    auto* values = static_cast<std::map<std::string, std::string>*>(user);
    (*values)[Join(section, key)] = value != nullptr ? value : "";
    return 1;
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
    FILE* file = std::fopen(path.c_str(), "re");
    if (file == nullptr) {
        if (errno != ENOENT && errno != ENOTDIR) {
            EvDebug(nullptr).Error(kFunction, "Cannot read configuration file [%s], line 0: %s",
                                   path.c_str(), std::strerror(errno));
        }
        return;
    }
    std::map<std::string, std::string> values;
    const int result = ini_parse_file(file, OnValue, &values);
    std::fclose(file);
    if (result != 0) {
        EvDebug(nullptr).Error(kFunction, "Cannot read configuration file [%s], line %d",
                               path.c_str(), result);
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
    const std::string& text = found->second;
    if (text.empty() || text.size() > 20) {
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
