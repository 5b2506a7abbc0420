#include "FXErrorUtil.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>

CYbError FXErrorUtil::ErrorErrNo(const FXCodeLocation& where, int number, const char* format,
                                 ...) {
    auto detail = std::make_shared<FXErrorPrivate>();
    detail->where = where;
    va_list args;
    va_start(args, format);
    char text[256];
    const int needed = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (needed > 0) {
        detail->message.assign(text, static_cast<size_t>(needed) < sizeof text
                                         ? static_cast<size_t>(needed)
                                         : sizeof text - 1);
    }
    return CYbError(number, std::move(detail));
}
