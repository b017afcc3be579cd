/*
 * Open registry keys of the Win32 layer: what each HKEY stands for.
 */
#pragma once

#include <windows.h>

#include <string>

namespace w32 {

struct OpenKey {
    std::string path; /* below HKEY_LOCAL_MACHINE; empty for the root itself */
    REGSAM access = 0;
};

/* A fresh handle for a key of the machine. */
HKEY openKeyHandle(std::string path, REGSAM access);

} // namespace w32
