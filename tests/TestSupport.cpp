#include "TestSupport.h"

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "LogSink.h"

namespace testsupport {

std::string DataPath(const std::string& name) { return std::string(VMDETECT_TEST_DATA) + "/" + name; }

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

TempDir::TempDir() {
    char pattern[] = "/tmp/vmdetect-test-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_path = made;
}

TempDir::~TempDir() {
    const std::string command = "rm -rf '" + m_path + "'";
    if (std::system(command.c_str()) != 0) {
        // Leftovers in /tmp are harmless.
    }
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : m_name(name) {
    const char* old = ::getenv(name);
    m_had = old != nullptr;
    if (m_had) {
        m_old = old;
    }
    if (value != nullptr) {
        ::setenv(name, value, 1);
    } else {
        ::unsetenv(name);
    }
}

ScopedEnv::~ScopedEnv() {
    if (m_had) {
        ::setenv(m_name.c_str(), m_old.c_str(), 1);
    } else {
        ::unsetenv(m_name.c_str());
    }
}

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
