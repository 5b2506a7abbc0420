// Common set-up of the fuzz targets: the log goes nowhere.
#pragma once

#include <stdlib.h>

namespace fuzzsupport {

inline void QuietLog() {
    ::setenv("VMDETECT_LOG", "/dev/null", 1);
    ::setenv("VMDETECT_LOG_LEVEL", "4", 1);  // format every line, write none
}

}  // namespace fuzzsupport
