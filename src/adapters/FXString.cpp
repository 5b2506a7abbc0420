#include "FXString.h"

#include <cstdarg>
#include <cstdio>

CYbError FXString::Format(std::string& out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed < 0) {
        va_end(args);
        out.clear();
        return CYbError(-22, nullptr);
    }
    std::string text(static_cast<size_t>(needed) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), format, args);
    va_end(args);
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
