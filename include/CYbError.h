// Error value: a 32-bit code (0 success, top bit set means error) and a
// shared detail. Header-only so that callers of the exported class can use it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

struct FXCodeLocation {
    const char* file;
    const char* function;
    int line;
};

struct FXErrorPrivate {
    FXCodeLocation where;
    std::string message;
};

class CYbError {
public:
    CYbError() = default;
    CYbError(int32_t code, std::shared_ptr<FXErrorPrivate> detail)
        : m_code(code), m_detail(std::move(detail)) {}

    static CYbError Success() { return CYbError(); }
    bool IsError() const { return m_code < 0; }
    int32_t GetErrorCode() const { return m_code; }
    const FXErrorPrivate* GetDetail() const { return m_detail.get(); }

private:
    int32_t m_code = 0;
    std::shared_ptr<FXErrorPrivate> m_detail;
};
