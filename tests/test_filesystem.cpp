// Path, file and directory helpers, and the directory walk.
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
#include "adapters/FXErrorUtil.h"
#include "adapters/FXString.h"
#include "adapters/Beneath.h"
#include "adapters/FileSystem.h"
#include "TestSupport.h"

namespace {

using testsupport::TempDir;

// ---- paths and files ----

// Reads within a directory: the kernel's confinement and the path check
// where the kernel has none give the same answers, and nothing hangs.
TEST(FileSystem, BeneathADirectoryOnly) {
    using vmdetect::adapters::Beneath;
    using vmdetect::adapters::PathKind;
    TempDir outer;
    const std::string top = outer.file("top");
    ::mkdir(top.c_str(), 0755);
    ::mkdir((top + "/sub").c_str(), 0755);
    testsupport::WriteFile(top + "/sub/file", "0123456789");
    testsupport::WriteFile(outer.file("secret"), "s");
    ASSERT_EQ(::symlink("sub/file", (top + "/inner").c_str()), 0);
    ASSERT_EQ(::symlink("../secret", (top + "/up").c_str()), 0);
    ASSERT_EQ(::symlink(outer.file("secret").c_str(), (top + "/absolute").c_str()), 0);
    ASSERT_EQ(::symlink("/proc/self/root/etc/hostname", (top + "/magic").c_str()), 0);
    ASSERT_EQ(::mkfifo((top + "/fifo").c_str(), 0644), 0);
    const struct { const char* path; PathKind kind; bool outside; const char* content; } cases[] = {
        {"sub/file", PathKind::kFile, false, "0123"},  // read up to the cap
        {"inner", PathKind::kFile, false, "0123"},
        {"sub/../sub/file", PathKind::kFile, false, "0123"},
        {"sub", PathKind::kDirectory, false, nullptr},
        {"missing", PathKind::kMissing, false, nullptr},
        {"up", PathKind::kMissing, true, nullptr},
        {"absolute", PathKind::kMissing, true, nullptr},
        {"magic", PathKind::kMissing, true, nullptr},
        {"../secret", PathKind::kMissing, true, nullptr},
        {"fifo", PathKind::kOther, false, nullptr},
    };
    for (const bool pathCheck : {false, true}) {
        Beneath::UsePathCheckForTesting(pathCheck);
        const auto dir = Beneath::Open(top);
        ASSERT_TRUE(dir.has_value());
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.path) + (pathCheck ? " (path check)" : ""));
            Beneath::Entry entry;
            const auto content = dir->Read(c.path, 4, &entry);
            EXPECT_EQ(entry.kind, c.kind);
            EXPECT_EQ(entry.outside, c.outside);
            EXPECT_EQ(content.value_or("-"), c.content != nullptr ? c.content : "-");
        }
        EXPECT_EQ(dir->List("sub"), std::vector<std::string>{"file"});
        EXPECT_TRUE(dir->List("up").empty());
    }
    Beneath::UsePathCheckForTesting(false);
    EXPECT_FALSE(Beneath::Open(top + "/sub/file").has_value());
}

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

}  // namespace
