// A freshly loaded driver image and its driver-wide globals.
#pragma once

#include <host/io.h>
#include <host/kernel.h>

#include <memory>
#include <string>
#include <vector>

#include "wrenlok.h"

inline constexpr ULONG kDriverPoolTag = 0x206D6457;  // "Wdm "

inline std::unique_ptr<wrk::DriverImage> LoadDriver(std::u16string registryPath = wrk::kDefaultServiceKey) {
    return wrk::DriverImage::Load(WRENLOK_IMAGE, registryPath);
}

template <typename T>
T& ImageGlobal(wrk::DriverImage& image, const char* name) {
    void* address = image.Symbol(name);
    if (address == nullptr) wrk::Bugcheck("test", std::string("driver image has no symbol ") + name);
    return *static_cast<T*>(address);
}

inline void SetDebugLevel(ULONG type, std::vector<uint8_t> data) {
    wrk::RegistrySetValue(wrk::kDefaultServiceKey, u"DebugLevel", type, std::move(data));
}

inline const std::string kUnloadMessage = "\n\n!!  Bluetooth USB Tranport layer Driver unload  !!\n\n";
inline const std::string kDefaultBanner =
    "\n\n!!  Bluetooth USB Tranport Layer Driver start  !!\n\n"
    "DriverEntry: RegistryPath is \\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Wrenlok\n";
