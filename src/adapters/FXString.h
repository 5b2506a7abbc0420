// String helpers.
#pragma once

#include <string>
#include <vector>

#include "CYbError.h"

class FXString {
public:
    static CYbError Format(std::string& out, const char* format, ...)
        __attribute__((format(printf, 2, 3)));
    static void Trim(std::string& text, const std::string& characters);
};

class CYbString {
public:
    CYbString() = default;
    explicit CYbString(const char* text) : m_text(text != nullptr ? text : "") {}
    explicit CYbString(std::string text) : m_text(std::move(text)) {}

    // Appends the pieces of the text between `separator` characters, in
    // order, empty pieces included. An `escape` character makes the next
    // character literal. The two strings and the bool are accepted for the
    // callers' sake.
    void Tokenize(std::vector<CYbString>& tokens, const char* open, const char* close, char escape,
                  char separator, bool keepEscapes) const;

    operator const char*() const { return m_text.c_str(); }
    const std::string& str() const { return m_text; }

private:
    std::string m_text;
};
