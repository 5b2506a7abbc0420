#include "adapters/ZtJson.h"

#include <algorithm>
#include <utility>

bool ZtJson::Unserialize(const std::string& text, mObject& object) {
    return Unserialize(text, object, nullptr, 0);
}

bool ZtJson::Unserialize(const std::string& text, mObject& object, const char* const* keep,
                         std::size_t count) {
    // A raw NUL is never valid JSON, but nlohmann's lexer takes it for the end
    // of input and would accept a document with anything after it.
    if (text.find('\0') != std::string::npos) {
        return false;
    }
    // No exceptions, and a depth limit far beyond any real document keeps a
    // hostile nesting from exhausting the stack.
    constexpr int kMaxDepth = 256;
    bool tooDeep = false;
    const nlohmann::json::parser_callback_t limit =
        [&tooDeep, keep, count](int level, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
            if (event == nlohmann::json::parse_event_t::object_start ||
                event == nlohmann::json::parse_event_t::array_start) {
                if (level > kMaxDepth) {
                    tooDeep = true;
                }
            }
            if (keep != nullptr && level == 1 && event == nlohmann::json::parse_event_t::key) {
                const auto& name = parsed.get_ref<const std::string&>();
                return !tooDeep && std::find(keep, keep + count, name) != keep + count;
            }
            return !tooDeep;
        };
    nlohmann::json parsed = nlohmann::json::parse(text, limit, /*allow_exceptions=*/false);
    if (tooDeep || parsed.is_discarded() || !parsed.is_object()) {
        return false;
    }
    object = std::move(parsed.get_ref<nlohmann::json::object_t&>());
    return true;
}

std::string ZtJson::GetStringValue(const mObject& object, const std::string& name) {
    const auto found = object.find(name);
    if (found == object.end() || !found->second.is_string()) {
        return "";
    }
    return found->second.get<std::string>();
}
