// Configuration reader over the INI file named by VMDETECT_CONFIG
// (default /etc/vmdetect/vmdetect.conf).
#pragma once

#include <map>
#include <string>

class ZTPlatformInfo {
public:
    ZTPlatformInfo();
    ~ZTPlatformInfo();
    ZTPlatformInfo(const ZTPlatformInfo&) = delete;
    ZTPlatformInfo& operator=(const ZTPlatformInfo&) = delete;

    // Leaves *value untouched when the key is not set. Returns non-zero when found.
    int getString(const char* section, const char* key, std::string* value);
    // Non-zero when the key holds a whole non-negative decimal number that fits.
    int getNumber(const char* section, const char* key, unsigned long* value);
    // Keeps *value when the key is absent; stores the low 32 bits otherwise.
    int getNumber(const char* section, const char* key, unsigned int* value) {
        unsigned long temporary = 0;
        const int found = getNumber(section, key, &temporary);
        if (found != 0) {
            *value = static_cast<unsigned int>(temporary);
        }
        return found;
    }

private:
    void Load();
    bool m_loaded = false;
    std::map<std::string, std::string> m_values;  // "section\nkey" -> value
};
