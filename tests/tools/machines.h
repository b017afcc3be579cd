/* Machines the setup-tool tests start from. */
#pragma once

#include "host/machine.h"

#include <string>
#include <vector>

namespace tooltest {

inline const std::string kSettingsKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
inline const std::string kNetClass = "{4d36e972-e325-11ce-bfc1-08002be10318}";
inline const std::string kBluetoothClass = "{e0cbf06c-cd8b-4647-bb8a-263b43f0f974}";

/* A USB device of the Bluetooth class carrying the given identifiers. */
inline w32::Device &addRadio(w32::Machine &m, const std::string &instance, const std::vector<std::string> &ids,
                             bool present = true)
{
    w32::Device &device = w32::addDevice(m, instance, kBluetoothClass, ids);
    device.present = present;
    return device;
}

inline std::vector<std::string> instanceIds(const w32::Machine &m)
{
    std::vector<std::string> ids;
    for (const w32::Device &device : m.devices)
        ids.push_back(device.instanceId);
    return ids;
}

} // namespace tooltest
