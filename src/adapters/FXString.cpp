#include "adapters/FXString.h"

#include <cerrno>
#include <cstdio>

CYbError FXString::Format(std::string& out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    CYbError result = FormatV(out, format, args);
    va_end(args);
    return result;
}

CYbError FXString::FormatV(std::string& out, const char* format, va_list args) {
    if (format == nullptr) {
        out.clear();
        return CYbError(-EINVAL, nullptr);
    }
    // Formats into a separate buffer first: an argument may point into `out`.
    va_list copy;
    va_copy(copy, args);
    char small[256];
    const int needed = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (needed < 0) {
        out.clear();
        return CYbError(-EINVAL, nullptr);
    }
    if (static_cast<size_t>(needed) < sizeof small) {
        out.assign(small, static_cast<size_t>(needed));
        return CYbError::Success();
    }
    std::string text(static_cast<size_t>(needed) + 1, '\0');
    va_copy(copy, args);
    std::vsnprintf(&text[0], text.size(), format, copy);
    va_end(copy);
    text.resize(static_cast<size_t>(needed));
    out = std::move(text);
    return CYbError::Success();
}

void FXString::Trim(std::string& text, const std::string& characters) {
    const size_t first = text.find_first_not_of(characters);
    if (first == std::string::npos) {
        text.clear();
        return;
    }
    const size_t last = text.find_last_not_of(characters);
    text.erase(last + 1);
    text.erase(0, first);
}

void CYbString::Tokenize(std::vector<CYbString>& tokens, const char* /*open*/,
                         const char* /*close*/, char escape, char separator,
                         bool /*keepEscapes*/) const {
    std::string piece;
    for (size_t i = 0; i < m_text.size(); ++i) {
        const char c = m_text[i];
        if (c == escape && escape != separator && i + 1 < m_text.size()) {
            piece += m_text[++i];
        } else if (c == separator) {
            tokens.emplace_back(std::move(piece));
            piece.clear();
        } else {
            piece += c;
        }
    }
    tokens.emplace_back(std::move(piece));
}
