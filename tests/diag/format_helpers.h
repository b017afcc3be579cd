// Runs the driver's formatter on a test's own arguments.
#pragma once

#include <cstdarg>
#include <string>
#include <vector>

#include "diag/debug.h"

// Expands `format` into a buffer of `capacity` bytes and returns the text up
// to its terminator.
inline std::string FormatWithCapacity(LONG capacity, const char* format, ...) {
    std::vector<char> buffer(capacity > 0 ? capacity : 1, '#');
    va_list args;
    va_start(args, format);
    char* result = FormatDebugString(buffer.data(), capacity, format, args);
    va_end(args);
    return std::string(result, strnlen(result, buffer.size()));
}

#define FORMAT(...) FormatWithCapacity(1024, __VA_ARGS__)
