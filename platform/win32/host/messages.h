#pragma once

#include <windows.h>

namespace w32 {

/* The system's text for an error code, or null when the system has none. */
const char *systemMessage(DWORD code);

} // namespace w32
