// The configuration reader: files present, absent, malformed, unreadable or
// oversized, and the forms a number can take.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "TestSupport.h"
#include "adapters/ZTPlatformInfo.h"

namespace {

using testsupport::LogCapture;
using testsupport::ScopedEnv;
using testsupport::TempDir;

constexpr const char* kSection = "VirtualServer";

class Config : public ::testing::Test {
protected:
    // Writes `content` as the configuration file and points the reader at it.
    void Use(const std::string& content) {
        testsupport::WriteFile(m_path, content);
        UsePath(m_path);
    }
    void UsePath(const std::string& path) {
        m_env.reset();  // restore before the next one saves
        m_env = std::make_unique<ScopedEnv>("VMDETECT_CONFIG", path.c_str());
    }
    std::string Get(const char* key, const char* section = kSection) {
        ZTPlatformInfo info;
        std::string value;
        m_found = info.getString(section, key, &value);
        return value;
    }

    TempDir m_dir;
    std::string m_path = m_dir.file("vmdetect.conf");
    std::unique_ptr<ScopedEnv> m_env;
    int m_found = 0;
};

TEST_F(Config, PresentFile) {
    Use("; the suite's settings\n"
        "[Other]\n"
        "sProxyVMUUID = not-this-one\n"
        "[VirtualServer]\n"
        "sProxyVMUUID = 4C4C4544-0042-3510-8052-B4C04F4E4A31\n"
        "nOCIMetadataServiceTimeout=3\n"
        "sNote = kept ; inline comment dropped\n"
        "sEmpty =\n"
        "# closing comment\n");
    LogCapture log;
    EXPECT_EQ(Get("sProxyVMUUID"), "4C4C4544-0042-3510-8052-B4C04F4E4A31");
    EXPECT_NE(m_found, 0);
    EXPECT_EQ(Get("sProxyVMUUID", "Other"), "not-this-one");
    EXPECT_EQ(Get("sNote"), "kept");
    EXPECT_EQ(Get("sEmpty"), "");
    EXPECT_NE(m_found, 0);
    EXPECT_EQ(Get("sMissing"), "");
    EXPECT_EQ(m_found, 0);
    EXPECT_EQ(Get("sproxyvmuuid"), "");  // keys are matched as written
    ZTPlatformInfo info;
    unsigned long timeout = 0;
    EXPECT_NE(info.getNumber(kSection, "nOCIMetadataServiceTimeout", &timeout), 0);
    EXPECT_EQ(timeout, 3u);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(Config, AbsentKeyLeavesTheCallersValue) {
    Use("[VirtualServer]\nsOther = x\n");
    ZTPlatformInfo info;
    std::string text = "caller's";
    EXPECT_EQ(info.getString(kSection, "sProxyVMUUID", &text), 0);
    EXPECT_EQ(text, "caller's");
    unsigned long wide = 77;
    EXPECT_EQ(info.getNumber(kSection, "nOCIMetadataServiceTimeout", &wide), 0);
    EXPECT_EQ(wide, 77u);
    unsigned int narrow = 1000;
    EXPECT_EQ(info.getNumber(kSection, "nOCIMetadataServiceTimeout", &narrow), 0);
    EXPECT_EQ(narrow, 1000u);
}

TEST_F(Config, AbsentFileMeansNoKeysAndNoLog) {
    const std::string paths[] = {m_dir.file("missing.conf"), m_dir.file("missing/dir/x.conf"),
                                 m_path + "/below-a-file"};
    testsupport::WriteFile(m_path, "[VirtualServer]\nsProxyVMUUID = x\n");
    for (const std::string& path : paths) {
        UsePath(path);
        LogCapture log;
        EXPECT_EQ(Get("sProxyVMUUID"), "") << path;
        EXPECT_EQ(m_found, 0) << path;
        EXPECT_TRUE(log.lines().empty()) << path;
    }
}

TEST_F(Config, MalformedFileMeansNoKeysAndOneError) {
    struct Case {
        std::string content;
        int line;
    } cases[] = {
        {"[VirtualServer]\nsProxyVMUUID = x\nthis line has no equals sign\nsLater = y\n", 3},
        {"[VirtualServer\nsProxyVMUUID = x\n", 1},
        {"[VirtualServer]\nsProxyVMUUID = x\nbad one\nbad two\n", 3},
        {"[VirtualServer]\nsProxyVMUUID = x\nsLong = " + std::string(300, 'v') + "\n", 3},
        {"[VirtualServer]\nsProxyVMUUID = x\nsLong = " + std::string(191, 'v') + "\n", 3},
        {"[VirtualServer]\nsProxyVMUUID = x\nsNul = a" + std::string(1, '\0') + "b\n", 3},
    };
    for (const Case& c : cases) {
        Use(c.content);
        LogCapture log;
        EXPECT_EQ(Get("sProxyVMUUID"), "");
        EXPECT_EQ(m_found, 0);
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1u) << c.content;
        EXPECT_NE(lines[0].find(" ERROR "), std::string::npos) << lines[0];
        EXPECT_NE(lines[0].find("[" + m_path + "]"), std::string::npos) << lines[0];
        EXPECT_NE(lines[0].find("line " + std::to_string(c.line)), std::string::npos) << lines[0];
    }
}

TEST_F(Config, UnreadableFileMeansNoKeysAndOneError) {
    std::vector<std::string> paths = {m_dir.path()};  // a directory cannot be read as a file
    const std::string fifo = m_dir.file("fifo.conf");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    paths.push_back(fifo);  // nor can a FIFO, and opening it must not block
    const std::string locked = m_dir.file("locked.conf");
    testsupport::WriteFile(locked, "[VirtualServer]\nsProxyVMUUID = x\n");
    ::chmod(locked.c_str(), 0);
    if (::geteuid() != 0) {
        paths.push_back(locked);  // root reads it anyway
    }
    for (const std::string& path : paths) {
        UsePath(path);
        LogCapture log;
        EXPECT_EQ(Get("sProxyVMUUID"), "") << path;
        EXPECT_EQ(m_found, 0) << path;
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1u) << path;
        EXPECT_NE(lines[0].find(" ERROR "), std::string::npos) << lines[0];
        EXPECT_NE(lines[0].find("[" + path + "]"), std::string::npos) << lines[0];
    }
}

TEST_F(Config, OversizedFileIsRefused) {
    // Valid content, but more than a configuration file can sensibly hold.
    std::string content = "[VirtualServer]\nsProxyVMUUID = x\n";
    const std::string comment = "; " + std::string(100, 'c') + "\n";
    while (content.size() <= 1024 * 1024) {
        content += comment;
    }
    Use(content);
    LogCapture log;
    EXPECT_EQ(Get("sProxyVMUUID"), "");
    EXPECT_EQ(m_found, 0);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_NE(log.lines()[0].find("[" + m_path + "]"), std::string::npos);

    // Just under the bound is read.
    content.resize(1024 * 1024 - 200);
    content += "\n";
    Use(content);
    EXPECT_EQ(Get("sProxyVMUUID"), "x");
}

TEST_F(Config, LayoutTolerance) {
    // Indented keys stay separate keys (not continuations of the one before);
    // long comment lines and values up to the line bound are whole.
    const std::string longValue(190, 'u');  // "sLong = " + value = 198 characters
    Use("\xEF\xBB\xBF[VirtualServer]\r\n"
        "    sProxyVMUUID = indented\r\n"
        "\tnOCIMetadataServiceTimeout = 4\r\n"
        "; " + std::string(500, 'c') + "\n"
        "sLong = " + longValue + "\n"
        "sTwice = first\n"
        "sTwice = second\n");
    LogCapture log;
    EXPECT_EQ(Get("sProxyVMUUID"), "indented");
    ZTPlatformInfo info;
    unsigned int timeout = 1;
    EXPECT_NE(info.getNumber(kSection, "nOCIMetadataServiceTimeout", &timeout), 0);
    EXPECT_EQ(timeout, 4u);
    EXPECT_EQ(Get("sLong"), longValue);
    EXPECT_EQ(Get("sTwice"), "second");
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(Config, EachReaderReadsTheFileAfresh) {
    Use("[VirtualServer]\nsProxyVMUUID = one\n");
    EXPECT_EQ(Get("sProxyVMUUID"), "one");
    Use("[VirtualServer]\nsProxyVMUUID = two\n");
    EXPECT_EQ(Get("sProxyVMUUID"), "two");
}

TEST_F(Config, NumberForms) {
    struct Case {
        std::string text;  // as written after "n = "
        bool found;
        unsigned long value;
    } cases[] = {
        {"5", true, 5},
        {"0", true, 0},
        {"007", true, 7},
        {"000000000000000000000000012", true, 12},  // leading zeros do not overflow
        {" 5", true, 5},   // blanks around a value belong to the file's layout
        {"5 ", true, 5},
        {"5 ; seconds", true, 5},
        {"4294967295", true, 4294967295ul},
        {"4294967296", true, 4294967296ul},
        {"18446744073709551615", true, ULONG_MAX},
        {"18446744073709551616", false, 0},
        {"99999999999999999999999", false, 0},
        {"", false, 0},
        {"-1", false, 0},
        {"-0", false, 0},
        {"+5", false, 0},
        {"1.5", false, 0},
        {"5x", false, 0},
        {"5 5", false, 0},
        {"0x10", false, 0},
        {"1e3", false, 0},
        {"five", false, 0},
        {"\xEF\xBC\x95", false, 0},  // a full-width five
    };
    for (const Case& c : cases) {
        Use("[VirtualServer]\nn = " + c.text + "\n");
        ZTPlatformInfo info;
        unsigned long wide = 12345;
        const int foundWide = info.getNumber(kSection, "n", &wide);
        EXPECT_EQ(foundWide != 0, c.found) << "[" << c.text << "]";
        EXPECT_EQ(wide, c.found ? c.value : 12345ul) << "[" << c.text << "]";

        // The narrow form keeps the caller's value unless found, then takes
        // the low 32 bits.
        unsigned int narrow = 678;
        const int foundNarrow = info.getNumber(kSection, "n", &narrow);
        EXPECT_EQ(foundNarrow, foundWide) << "[" << c.text << "]";
        EXPECT_EQ(narrow, c.found ? static_cast<unsigned int>(c.value & 0xFFFFFFFFul) : 678u)
            << "[" << c.text << "]";
    }
}

}  // namespace
