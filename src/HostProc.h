// Where the process file system is, and how a path goes into a command line.
#pragma once

#include <string>

namespace vmdetect {

// $HOST_PROC, or /proc when unset or empty.
std::string ProcRoot();

// `text` as one /bin/sh word: unchanged when it holds only plain
// characters, single-quoted otherwise.
std::string ShellQuote(const std::string& text);

// `text` for the inside of a single-quoted /bin/sh word: every quote becomes
// '\'' (close, escaped quote, reopen), so the word stays one literal word.
std::string EscapeSingleQuotes(const std::string& text);

}  // namespace vmdetect
