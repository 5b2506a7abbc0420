// JSON helper over nlohmann-json; mObject is a std::map from member name to value.
#pragma once

#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

using mValue = nlohmann::json;
using mObject = nlohmann::json::object_t;

class ZtJson {
public:
    // True when `text` is a JSON object; its members are then in `object`.
    // Never throws.
    static bool Unserialize(const std::string& text, mObject& object);
    // The same, keeping only the top-level members named in `keep`: the
    // others are read past without being built (a task's container list).
    static bool Unserialize(const std::string& text, mObject& object, const char* const* keep,
                            std::size_t count);
    // The member's string value; "" when it is absent or not a string.
    static std::string GetStringValue(const mObject& object, const std::string& name);
};
