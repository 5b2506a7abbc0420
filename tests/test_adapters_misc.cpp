// Path, file and directory helpers, string helpers and the error value.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "CYbError.h"
#include "FXErrorUtil.h"
#include "FXString.h"
#include "FileSystem.h"
#include "TestSupport.h"

namespace {

using testsupport::TempDir;

// ---- paths and files ----

TEST(FileSystem, DoesPathExist) {
    TempDir dir;
    testsupport::WriteFile(dir.file("file"), "x");
    ASSERT_EQ(::symlink("missing-target", dir.file("dangling").c_str()), 0);
    ASSERT_EQ(::symlink("file", dir.file("link").c_str()), 0);
    const struct {
        std::string path;
        bool exists;
    } cases[] = {
        {dir.file("file"), true},      {dir.path(), true},
        {dir.path() + "/", true},      {dir.file("link"), true},
        {dir.file("missing"), false},  {dir.file("dangling"), false},
        {dir.file("file/under"), false}, {"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FXPath::DoesPathExist(c.path), c.exists) << c.path;
    }
}

TEST(FileSystem, FileOpenAndRead) {
    TempDir dir;
    const std::string content = std::string("prog\0arg\0", 9) + std::string(10000, 'z');
    testsupport::WriteFile(dir.file("cmdline"), content);
    const int fdsBefore = testsupport::CountOpenFds();
    {
        CYbFile file;
        ASSERT_FALSE(file.Open(dir.file("cmdline").c_str(), 0, 256).IsError());
        char buffer[4097];
        unsigned int count = 12345;
        ASSERT_FALSE(file.Read(buffer, 4096, &count).IsError());
        EXPECT_EQ(count, 4096u);
        EXPECT_EQ(std::string(buffer, 9), std::string("prog\0arg\0", 9));
        // Reads go on from where they stopped, and end with 0 bytes.
        std::string rest;
        do {
            ASSERT_FALSE(file.Read(buffer, 4096, &count).IsError());
            rest.append(buffer, count);
        } while (count > 0);
        EXPECT_EQ(std::string(content, 0, 4096) + rest, content);
        EXPECT_EQ(testsupport::CountOpenFds(), fdsBefore + 1);
    }
    EXPECT_EQ(testsupport::CountOpenFds(), fdsBefore);  // the destructor closed it
}

TEST(FileSystem, FileFailures) {
    TempDir dir;
    const int fdsBefore = testsupport::CountOpenFds();
    CYbFile file;
    const CYbError missing = file.Open(dir.file("missing").c_str(), 0, 256);
    EXPECT_TRUE(missing.IsError());
    EXPECT_NE(missing.GetErrorCode(), 0);
    char buffer[16];
    unsigned int count = 7;
    EXPECT_TRUE(file.Read(buffer, sizeof buffer, &count).IsError());  // nothing open
    EXPECT_EQ(count, 7u);
    EXPECT_TRUE(file.Open(nullptr, 0, 256).IsError());

    // A FIFO without writer must not block the open.
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto start = std::chrono::steady_clock::now();
    {
        CYbFile pipe;
        pipe.Open(fifo.c_str(), 0, 256);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

    // Reopening an open file closes the first descriptor.
    testsupport::WriteFile(dir.file("a"), "a");
    ASSERT_FALSE(file.Open(dir.file("a").c_str(), 0, 256).IsError());
    ASSERT_FALSE(file.Open(dir.file("a").c_str(), 0, 256).IsError());
    EXPECT_EQ(testsupport::CountOpenFds(), fdsBefore + 1);
}

// ---- directory walk ----

struct Seen {
    std::map<std::string, bool> entries;  // name -> isDirectory
    std::vector<std::string> directories;
    int calls = 0;
    int stopAt = -1;       // call number (from 0) that ends the walk
    int32_t stopCode = 0;
    std::string removeDir;  // removes every other entry here on the first call
};

CYbError Record(const char* directory, const char* name, bool isDirectory, void* context) {
    auto* seen = static_cast<Seen*>(context);
    if (seen->calls == 0 && !seen->removeDir.empty()) {
        for (int i = 0; i < 200; ++i) {
            const std::string other = seen->removeDir + "/f" + std::to_string(i);
            if (other != seen->removeDir + "/" + name) {
                ::unlink(other.c_str());
            }
        }
    }
    const int call = seen->calls++;
    seen->directories.push_back(directory);
    EXPECT_TRUE(seen->entries.emplace(name, isDirectory).second) << "twice: " << name;
    if (call == seen->stopAt) {
        return CYbError(seen->stopCode, nullptr);
    }
    return CYbError::Success();
}

TEST(Walk, EveryEntryOnceExceptDots) {
    TempDir dir;
    testsupport::WriteFile(dir.file("file"), "x");
    testsupport::WriteFile(dir.file(".hidden"), "x");
    ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0700), 0);
    testsupport::WriteFile(dir.file("sub/deeper"), "x");  // not walked: one level only
    ASSERT_EQ(::symlink("sub", dir.file("link").c_str()), 0);
    Seen seen;
    const std::string root = dir.path() + "/";
    const CYbError result = CYbDirectory::Walk(root.c_str(), &seen, 0, true, Record);
    EXPECT_EQ(result.GetErrorCode(), 0);
    EXPECT_FALSE(result.IsError());
    const std::map<std::string, bool> expected = {
        {"file", false}, {".hidden", false}, {"sub", true}, {"link", false}};
    EXPECT_EQ(seen.entries, expected);
    for (const std::string& directory : seen.directories) {
        EXPECT_EQ(directory, root);
    }
}

TEST(Walk, FirstNonSuccessEndsTheWalkAndIsReturned) {
    TempDir dir;
    for (int i = 0; i < 10; ++i) {
        testsupport::WriteFile(dir.file("f" + std::to_string(i)), "x");
    }
    const int32_t codes[] = {1234, 1, -5, static_cast<int32_t>(0x80000000u)};
    for (const int32_t code : codes) {
        Seen seen;
        seen.stopAt = 3;
        seen.stopCode = code;
        const CYbError result = CYbDirectory::Walk(dir.path().c_str(), &seen, 0, true, Record);
        EXPECT_EQ(result.GetErrorCode(), code);
        EXPECT_EQ(result.IsError(), code < 0);
        EXPECT_EQ(seen.calls, 4) << code;
    }
    // The value's detail comes back with it.
    struct Detail {
        static CYbError Stop(const char*, const char* name, bool, void*) {
            const FXCodeLocation where{"test", "Stop", 1};
            return FXErrorUtil::ErrorErrNo(where, 4321, "Found docker daemon pid %s", name);
        }
    };
    const CYbError result = CYbDirectory::Walk(dir.path().c_str(), nullptr, 0, true, Detail::Stop);
    EXPECT_EQ(result.GetErrorCode(), 4321);
    ASSERT_NE(result.GetDetail(), nullptr);
    EXPECT_EQ(result.GetDetail()->message.rfind("Found docker daemon pid f", 0), 0u);
}

TEST(Walk, FailureToOpenIsAnError) {
    TempDir dir;
    testsupport::WriteFile(dir.file("file"), "x");
    const std::string roots[] = {dir.file("missing"), dir.file("file")};
    for (const std::string& root : roots) {
        Seen seen;
        const CYbError result = CYbDirectory::Walk(root.c_str(), &seen, 0, true, Record);
        EXPECT_TRUE(result.IsError()) << root;
        EXPECT_EQ(seen.calls, 0);
    }
    EXPECT_TRUE(CYbDirectory::Walk(nullptr, nullptr, 0, true, Record).IsError());
}

TEST(Walk, EntriesVanishingMidWalk) {
    TempDir dir;
    for (int i = 0; i < 200; ++i) {
        testsupport::WriteFile(dir.file("f" + std::to_string(i)), "x");
    }
    const int fdsBefore = testsupport::CountOpenFds();
    Seen seen;
    seen.removeDir = dir.path();
    const CYbError result = CYbDirectory::Walk(dir.path().c_str(), &seen, 0, true, Record);
    EXPECT_EQ(result.GetErrorCode(), 0);
    EXPECT_GE(seen.calls, 1);
    EXPECT_LE(seen.calls, 200);
    EXPECT_EQ(testsupport::CountOpenFds(), fdsBefore);
}

TEST(Walk, ProcessDirectories) {
    // The use it is made for: numeric directories under /proc, ours among them.
    struct Finder {
        static CYbError Find(const char* directory, const char* name, bool isDirectory,
                             void* context) {
            if (isDirectory && std::to_string(::getpid()) == name) {
                CYbFile file;
                if (file.Open((std::string(directory) + name + "/cmdline").c_str(), 0, 256)
                        .IsError()) {
                    return CYbError::Success();
                }
                *static_cast<bool*>(context) = true;
                return CYbError(::getpid(), nullptr);
            }
            return CYbError::Success();
        }
    };
    bool found = false;
    const CYbError result = CYbDirectory::Walk("/proc/", &found, 0, true, Finder::Find);
    EXPECT_TRUE(found);
    EXPECT_EQ(result.GetErrorCode(), ::getpid());
    EXPECT_FALSE(result.IsError());
}

// ---- strings ----

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

// ---- error value ----

TEST(Error, CodesAndDetail) {
    const CYbError success = CYbError::Success();
    EXPECT_EQ(success.GetErrorCode(), 0);
    EXPECT_FALSE(success.IsError());
    EXPECT_EQ(success.GetDetail(), nullptr);

    const FXCodeLocation where{"ZTVMDetect",
                               "static CYbError ZTVMDetect::DockerProcWalker(const char*, const "
                               "char*, bool, void*)",
                               910};
    const std::string longName(1000, 'n');
    CYbError found = FXErrorUtil::ErrorErrNo(where, 1234, "Found docker daemon pid %s",
                                             longName.c_str());
    EXPECT_EQ(found.GetErrorCode(), 1234);
    EXPECT_FALSE(found.IsError());  // positive: not an error, yet not success
    ASSERT_NE(found.GetDetail(), nullptr);
    EXPECT_EQ(found.GetDetail()->message, "Found docker daemon pid " + longName);
    EXPECT_EQ(found.GetDetail()->where.line, 910);
    EXPECT_STREQ(found.GetDetail()->where.file, "ZTVMDetect");

    const CYbError failed = FXErrorUtil::ErrorErrNo(where, -2, "open");
    EXPECT_TRUE(failed.IsError());
    EXPECT_EQ(failed.GetErrorCode(), -2);
    EXPECT_TRUE(CYbError(static_cast<int32_t>(0x80000000u), nullptr).IsError());
    EXPECT_FALSE(CYbError(0x7FFFFFFF, nullptr).IsError());

    // Copy assignment shares the detail.
    CYbError copy = CYbError::Success();
    copy = found;
    EXPECT_EQ(copy.GetErrorCode(), 1234);
    EXPECT_EQ(copy.GetDetail(), found.GetDetail());
}

}  // namespace
