// The string helpers: formatting of any length, trimming, splitting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "adapters/FXString.h"

namespace {

TEST(Strings, FormatAnyLength) {
    const size_t lengths[] = {0, 1, 255, 256, 257, 511, 512, 100000};
    for (const size_t length : lengths) {
        const std::string expected(length, 'q');
        std::string out = "previous";
        EXPECT_FALSE(FXString::Format(out, "%s", expected.c_str()).IsError());
        EXPECT_EQ(out, expected) << length;
    }
    std::string out;
    FXString::Format(out, "%s | grep -i '%s' | awk -F'%s' {'print $2'}", "dmidecode --type system",
                     "Manufacturer", ":");
    EXPECT_EQ(out, "dmidecode --type system | grep -i 'Manufacturer' | awk -F':' {'print $2'}");
    FXString::Format(out, "%d-%u-%s-%c-%%", -3, 4u, "", 'c');
    EXPECT_EQ(out, "-3-4--c-%");
    // The output may be one of the arguments.
    out = std::string(300, 'a');
    FXString::Format(out, "<%s>", out.c_str());
    EXPECT_EQ(out, "<" + std::string(300, 'a') + ">");
    out = "ab";
    FXString::Format(out, "%s%s", out.c_str(), out.c_str());
    EXPECT_EQ(out, "abab");
}

TEST(Strings, Trim) {
    const std::string blanks = " \t\r\n";
    const struct {
        const char* text;
        const char* characters;
        const char* trimmed;
    } cases[] = {
        {" VMware, Inc.\n", " \t\r\n", "VMware, Inc."},
        {"\t\r\n x \n\r\t", " \t\r\n", "x"},
        {"a b\n c", " \t\r\n", "a b\n c"},  // the inside stays
        {" \n\t ", " \t\r\n", ""},
        {"", " \t\r\n", ""},
        {"none", " \t\r\n", "none"},
        {" x ", "", " x "},
        {"xxabcxx", "x", "abc"},
        {"abcba", "ab", "c"},
    };
    for (const auto& c : cases) {
        std::string text = c.text;
        FXString::Trim(text, c.characters);
        EXPECT_EQ(text, c.trimmed) << "[" << c.text << "]";
    }
}

std::vector<std::string> Pieces(const char* text) {
    std::vector<CYbString> tokens;
    CYbString(text).Tokenize(tokens, "", "", '\\', '.', false);
    std::vector<std::string> pieces;
    for (const CYbString& token : tokens) {
        pieces.push_back(static_cast<const char*>(token));
    }
    return pieces;
}

TEST(Strings, TokenizeSplitsAtTheSeparatorInOrder) {
    using V = std::vector<std::string>;
    const struct {
        const char* text;
        V pieces;
    } cases[] = {
        {"2.7", V{"2", "7"}},
        {"3.2.1", V{"3", "2", "1"}},
        {"2", V{"2"}},
        {"", V{""}},
        {".", V{"", ""}},
        {"1..2", V{"1", "", "2"}},
        {".5", V{"", "5"}},
        {"2.", V{"2", ""}},
        {"a\\.b.c", V{"a.b", "c"}},  // an escaped separator is text
        {"end\\", V{"end\\"}},
        {"10.0 (rev 1)", V{"10", "0 (rev 1)"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Pieces(c.text), c.pieces) << "[" << c.text << "]";
    }
    // Pieces are appended to what the vector holds.
    std::vector<CYbString> tokens;
    tokens.emplace_back("first");
    CYbString("a.b").Tokenize(tokens, "", "", '\\', '.', false);
    ASSERT_EQ(tokens.size(), 3u);
    EXPECT_STREQ(tokens[0], "first");
    EXPECT_STREQ(tokens[2], "b");
    EXPECT_STREQ(CYbString(), "");
    EXPECT_STREQ(CYbString(static_cast<const char*>(nullptr)), "");
}

}  // namespace
