// Builders of error values.
#pragma once

#include "CYbError.h"

class FXErrorUtil {
public:
    // A value whose code is `number`, with a formatted message as detail.
    static CYbError ErrorErrNo(const FXCodeLocation& where, int number, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
};
