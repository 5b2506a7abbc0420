// The JSON helper on any text: Unserialize, then the "id" member.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "adapters/ZtJson.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    mObject object;
    if (!ZtJson::Unserialize(text, object)) {
        return 0;
    }
    const std::string id = ZtJson::GetStringValue(object, "id");
    const auto found = object.find("id");
    // The value is the member's string, or "" when it is missing or not one.
    if (found == object.end() || !found->second.is_string()) {
        if (!id.empty()) {
            std::abort();
        }
    } else if (id != found->second.get<std::string>()) {
        std::abort();
    }
    return 0;
}
