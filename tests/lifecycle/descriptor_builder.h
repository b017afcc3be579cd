// Configuration descriptor sets as a radio sends them, built interface by
// interface; the counts in the configuration descriptor can be overridden to
// make malformed sets.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace lifecycle_test {

struct EndpointFields {
    uint8_t address;     // bit 7 set: IN
    uint8_t attributes;  // USB_ENDPOINT_TYPE_*
    uint16_t maxPacket;
    uint8_t interval;
};

class ConfigurationBuilder {
public:
    ConfigurationBuilder& Interface(uint8_t number, uint8_t alternate, uint8_t interfaceClass,
                                    std::vector<EndpointFields> endpoints);
    ConfigurationBuilder& MaxPower(uint8_t units) { maxPower_ = units; return *this; }
    ConfigurationBuilder& AnnouncedInterfaces(uint8_t count) { announcedInterfaces_ = count; return *this; }
    ConfigurationBuilder& AnnouncedTotalLength(uint16_t length) { announcedTotalLength_ = length; return *this; }

    std::vector<uint8_t> Build() const;

private:
    std::vector<uint8_t> body_;
    uint8_t distinctInterfaces_ = 0;
    int lastInterfaceNumber_ = -1;
    uint8_t maxPower_ = 50;
    std::optional<uint8_t> announcedInterfaces_;
    std::optional<uint16_t> announcedTotalLength_;
};

// The common USB 1.1 radio: interface 0 with interrupt-in 0x81, bulk-in 0x82
// and bulk-out 0x02; interface 1 with isochronous 0x83/0x03 in six alternate
// settings.
std::vector<uint8_t> StandardRadioConfiguration();
std::vector<uint8_t> StandardDeviceDescriptor();
// String descriptor 0 listing the given languages; bLength can be overridden.
std::vector<uint8_t> LanguageList(std::vector<uint16_t> languages, std::optional<uint8_t> announcedLength = {});

}  // namespace lifecycle_test
