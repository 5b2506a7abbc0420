// The evidence reader on any collection: the input is a directory packed as
// records, "@@ PATH\n" then the file's bytes up to the next "\n@@", or
// "@@> PATH\n" then a link's target. The format, uname, cpuid, msr and ns
// lines and every file the report reads come from the fuzzer.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "report/EvidenceDir.h"
#include "report/Report.h"

namespace {

namespace fs = std::filesystem;
std::string g_base;
std::string g_dir;

// Relative, without "..", and not too deep: the pack never writes outside.
bool Acceptable(std::string_view path) {
    if (path.empty() || path.size() > 200 || path.front() == '/' || path.find('\0') != std::string_view::npos) {
        return false;
    }
    const fs::path p(path);
    for (const auto& part : p) {
        if (part == ".." || part == ".") return false;
    }
    return true;
}

void Unpack(std::string_view data) {
    constexpr std::string_view kMark = "@@";
    if (data.substr(0, kMark.size()) != kMark) return;
    while (!data.empty()) {
        data.remove_prefix(kMark.size());
        const bool link = !data.empty() && data.front() == '>';
        const std::size_t eol = data.find('\n');
        std::string_view path = data.substr(link ? 1 : 0, eol == std::string_view::npos ? 0 : eol - (link ? 1 : 0));
        path.remove_prefix(std::min(path.find_first_not_of(' '), path.size()));
        data.remove_prefix(eol == std::string_view::npos ? data.size() : eol + 1);
        const std::size_t next = data.find("\n@@");
        const std::string_view content = data.substr(0, next);
        data.remove_prefix(next == std::string_view::npos ? data.size() : next + 1);
        if (!Acceptable(path)) continue;
        const fs::path file = fs::path(g_dir) / path;
        std::error_code error;
        fs::create_directories(file.parent_path(), error);
        if (link) {
            fs::create_symlink(std::string(content), file, error);
        } else {
            std::ofstream(file, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::QuietLog();
    char base[] = "/tmp/vmdetect-fuzz-evidence-XXXXXX";
    if (::mkdtemp(base) == nullptr) std::abort();
    g_base = base;
    g_dir = g_base + "/dir";
    std::atexit([] {
        std::error_code error;
        fs::remove_all(g_base, error);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::error_code error;
    fs::remove_all(g_dir, error);
    fs::create_directory(g_dir, error);
    Unpack(std::string_view(reinterpret_cast<const char*>(data), size));
    if (auto source = vmdetect::evidence::OpenEvidence(g_dir)) {
        const auto local = vmdetect::report::ReadLocal(*source);
        const std::string json = vmdetect::report::Serialize(local, {});
        if (json.empty() || json.front() != '{' || json.back() != '}') std::abort();
    }
    return 0;
}
