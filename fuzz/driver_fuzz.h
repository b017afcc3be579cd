// What the driver targets share: a driver linked into the target and started
// afresh for every input, with its driver-wide globals back at their load-time
// values, and a loud stop when a run leaves anything behind.
#pragma once

#include <host/io.h>
#include <host/kernel.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "diag/debug.h"
#include "wrenlok.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace fuzzdriver {

[[noreturn]] inline void Fail(const char* target, const std::string& what) {
    fprintf(stderr, "%s fuzz: %s\n", target, what.c_str());
    abort();
}

// The driver's image is linked in, not mapped per run, so what a fresh mapping
// would give its globals is set by hand.
inline std::unique_ptr<wrk::DriverImage> LoadDriver() {
    SetDebugSwitch(0xFFFFFFFF);
    DeviceAdded = 0;
    return wrk::DriverImage::FromEntry(DriverEntry);
}

// Unloads and stops on any leak: pool, handles, threads, IRPs, devices.
inline void UnloadClean(const char* target, std::unique_ptr<wrk::DriverImage>& image) {
    std::vector<std::string> leaks = image->UnloadReportingLeaks();
    if (!leaks.empty()) {
        std::string text = "driver left at unload:";
        for (const std::string& leak : leaks) text += "\n    " + leak;
        Fail(target, text);
    }
    image.reset();
}

}  // namespace fuzzdriver
