#include "adapters/FXErrorUtil.h"

#include <cstdarg>
#include <memory>
#include <string>

#include "adapters/FXString.h"

CYbError FXErrorUtil::ErrorErrNo(const FXCodeLocation& where, int number, const char* format,
                                 ...) {
    auto detail = std::make_shared<FXErrorPrivate>();
    detail->where = where;
    va_list args;
    va_start(args, format);
    FXString::FormatV(detail->message, format, args);
    va_end(args);
    return CYbError(number, std::move(detail));
}
