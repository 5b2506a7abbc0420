// Hooks into the library's internals, for the unit tests only (the
// end-to-end tests see nothing but the exported functions).
#include <mutex>

#include "detector/FirmwareCache.h"
#include "adapters/LogSink.h"
#include "TestSupport.h"

namespace testsupport {

namespace {
// The unit tests share one process: every FakeTools starts from an empty cache.
const bool kResetHookInstalled = [] {
    FakeTools::s_resetCache = &vmdetect::firmware::ResetCacheForTests;
    return true;
}();
}  // namespace

struct LogCapture::Shared {
    std::mutex mutex;
    std::vector<std::string> lines;
};

LogCapture::LogCapture(int level) : m_shared(std::make_shared<Shared>()) {
    const std::string text = std::to_string(level);
    m_level = std::make_unique<ScopedEnv>("VMDETECT_LOG_LEVEL", text.c_str());
    m_destination = std::make_unique<ScopedEnv>("VMDETECT_LOG", "/dev/null");
    vmdetect::log::Reconfigure();
    std::shared_ptr<Shared> shared = m_shared;
    vmdetect::log::SetCaptureSink([shared](const std::string& line) {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->lines.push_back(line);
    });
}

LogCapture::~LogCapture() {
    vmdetect::log::SetCaptureSink(nullptr);
    m_level.reset();
    m_destination.reset();
    vmdetect::log::Reconfigure();
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->lines;
}

std::vector<std::string> LogCapture::matching(const std::string& needle) const {
    std::vector<std::string> found;
    for (const std::string& line : lines()) {
        if (line.find(needle) != std::string::npos) {
            found.push_back(line);
        }
    }
    return found;
}

}  // namespace testsupport
