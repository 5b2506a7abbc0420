// String helpers.
#pragma once

#include <cstdarg>
#include <string>
#include <vector>

#include "CYbError.h"

class FXString {
public:
    // printf-style formatting of any length into `out`. On a bad format `out`
    // is left empty and the result is an error.
    static CYbError Format(std::string& out, const char* format, ...)
        __attribute__((format(printf, 2, 3)));
    static CYbError FormatV(std::string& out, const char* format, va_list args)
        __attribute__((format(printf, 2, 0)));
    // Removes every leading and trailing character of `text` found in `characters`.
    static void Trim(std::string& text, const std::string& characters);
};

class CYbString {
public:
    CYbString() = default;
    explicit CYbString(const char* text) : m_text(text != nullptr ? text : "") {}
    explicit CYbString(std::string text) : m_text(std::move(text)) {}

    // Appends the pieces of the text between `separator` characters, in
    // order, empty pieces included; a text without separator is one piece.
    // An `escape` character makes the next character literal (a lone escape
    // at the end stays as it is). The two strings and the bool are accepted
    // for the callers' sake.
    void Tokenize(std::vector<CYbString>& tokens, const char* open, const char* close, char escape,
                  char separator, bool keepEscapes) const;

    operator const char*() const { return m_text.c_str(); }
    const std::string& str() const { return m_text; }

private:
    std::string m_text;
};
