// Output escaping of the vmdetect command. The answers are bytes from the
// firmware and from metadata servers: they may hold control bytes or bytes
// that are not UTF-8, and neither may reach a JSON reader or a terminal raw.
#pragma once

#include <cstddef>
#include <string>

#include "../../src/JsonText.h"

namespace vmdetect_cli {

using vmdetect::text::AppendHexByte;
using vmdetect::text::JsonString;
using vmdetect::text::Utf8SequenceLength;

// A value for the text output: printable UTF-8 is copied; a backslash is
// doubled; control bytes (C0, DEL, and the C1 range U+0080..U+009F, which
// some terminals obey) and bytes that are not valid UTF-8 are shown as \xNN,
// so a hostile answer cannot drive the terminal.
inline std::string TextValue(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char b = static_cast<unsigned char>(s[i]);
        const std::size_t n = Utf8SequenceLength(s, i);
        const bool c1 = n == 2 && b == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0;
        if (n == 0 || c1 || (n == 1 && (b < 0x20 || b == 0x7F))) {
            const std::size_t count = n == 0 ? 1 : n;
            for (std::size_t k = 0; k < count; ++k) {
                AppendHexByte(out, "\\x", static_cast<unsigned char>(s[i + k]));
            }
            i += count;
            continue;
        }
        if (b == '\\') {
            out += "\\\\";
        } else {
            out.append(s, i, n);
        }
        i += n;
    }
    return out;
}

}  // namespace vmdetect_cli
