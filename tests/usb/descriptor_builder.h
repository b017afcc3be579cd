// Descriptor sets written byte by byte, for tests that need odd ones.
#pragma once

#include <usb.h>

#include <cstdint>
#include <vector>

namespace usbtest {

class ConfigBuilder {
public:
    explicit ConfigBuilder(uint8_t numInterfaces) : bytes_{9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, numInterfaces, 1, 0, 0x80, 50} {}

    ConfigBuilder &Interface(uint8_t number, uint8_t alternate, uint8_t endpoints, uint8_t cls = 0xE0) {
        bytes_.insert(bytes_.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, endpoints, cls, 0x01, 0x01, 0});
        return *this;
    }
    ConfigBuilder &Endpoint(uint8_t address, uint8_t type, uint16_t maxPacket, uint8_t interval = 0) {
        bytes_.insert(bytes_.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, type, uint8_t(maxPacket),
                                     uint8_t(maxPacket >> 8), interval});
        return *this;
    }
    ConfigBuilder &Raw(std::vector<uint8_t> bytes) {
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
        return *this;
    }
    // wTotalLength covers everything written, unless told otherwise.
    std::vector<uint8_t> Build(int totalLength = -1) const {
        std::vector<uint8_t> out = bytes_;
        const auto total = uint16_t(totalLength < 0 ? out.size() : totalLength);
        out[2] = uint8_t(total);
        out[3] = uint8_t(total >> 8);
        return out;
    }

private:
    std::vector<uint8_t> bytes_;
};

inline PUSB_CONFIGURATION_DESCRIPTOR AsConfig(std::vector<uint8_t> &bytes) {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
}

}  // namespace usbtest
