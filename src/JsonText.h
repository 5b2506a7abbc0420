// JSON text for bytes that came from outside: firmware files and metadata
// answers may hold control bytes or bytes that are not UTF-8, and neither may
// reach a JSON reader raw. Header-only, so that the command can share it
// without linking anything of the library's inside.
#pragma once

#include <cstddef>
#include <string>

namespace vmdetect::text {

// Length of the well-formed UTF-8 sequence at s[i] (1 to 4), or 0 when the
// byte there does not start one (stray continuation byte, overlong form,
// surrogate, code point above U+10FFFF, truncated sequence).
inline std::size_t Utf8SequenceLength(const std::string& s, std::size_t i) {
    const auto byte = [&s](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const std::size_t left = s.size() - i;
    const unsigned char b0 = byte(i);
    if (b0 < 0x80) {
        return 1;
    }
    const auto in = [](unsigned char b, unsigned char lo, unsigned char hi) {
        return b >= lo && b <= hi;
    };
    if (in(b0, 0xC2, 0xDF)) {
        return left >= 2 && in(byte(i + 1), 0x80, 0xBF) ? 2 : 0;
    }
    if (in(b0, 0xE0, 0xEF)) {
        if (left < 3) {
            return 0;
        }
        const unsigned char lo = b0 == 0xE0 ? 0xA0 : 0x80;
        const unsigned char hi = b0 == 0xED ? 0x9F : 0xBF;
        return in(byte(i + 1), lo, hi) && in(byte(i + 2), 0x80, 0xBF) ? 3 : 0;
    }
    if (in(b0, 0xF0, 0xF4)) {
        if (left < 4) {
            return 0;
        }
        const unsigned char lo = b0 == 0xF0 ? 0x90 : 0x80;
        const unsigned char hi = b0 == 0xF4 ? 0x8F : 0xBF;
        return in(byte(i + 1), lo, hi) && in(byte(i + 2), 0x80, 0xBF) &&
                       in(byte(i + 3), 0x80, 0xBF)
                   ? 4
                   : 0;
    }
    return 0;
}

inline void AppendHexByte(std::string& out, const char* prefix, unsigned char b) {
    static const char kHex[] = "0123456789abcdef";
    out += prefix;
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
}

// A JSON string literal, quotes included. Valid UTF-8 is copied, control
// bytes and DEL are escaped, and every byte that is not part of valid UTF-8
// becomes U+FFFD, so the result is always valid JSON in UTF-8.
inline std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char b = static_cast<unsigned char>(s[i]);
        const std::size_t n = Utf8SequenceLength(s, i);
        if (n == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (n > 1) {
            out.append(s, i, n);
            i += n;
            continue;
        }
        switch (b) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (b < 0x20 || b == 0x7F) {
                    AppendHexByte(out, "\\u00", b);
                } else {
                    out += static_cast<char>(b);
                }
        }
        ++i;
    }
    out += '"';
    return out;
}

}  // namespace vmdetect::text
