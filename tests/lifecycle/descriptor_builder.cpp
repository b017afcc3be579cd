#include "descriptor_builder.h"

#include <usb100.h>

#include <algorithm>

namespace lifecycle_test {

ConfigurationBuilder& ConfigurationBuilder::Interface(uint8_t number, uint8_t alternate, uint8_t interfaceClass,
                                                      std::vector<EndpointFields> endpoints) {
    if (number != lastInterfaceNumber_) {
        distinctInterfaces_++;
        lastInterfaceNumber_ = number;
    }
    const uint8_t interfaceDescriptor[] = {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate,
                                           uint8_t(endpoints.size()), interfaceClass, 1, 1, 0};
    body_.insert(body_.end(), std::begin(interfaceDescriptor), std::end(interfaceDescriptor));
    for (const EndpointFields& endpoint : endpoints) {
        const uint8_t endpointDescriptor[] = {7,
                                              USB_ENDPOINT_DESCRIPTOR_TYPE,
                                              endpoint.address,
                                              endpoint.attributes,
                                              uint8_t(endpoint.maxPacket & 0xFF),
                                              uint8_t(endpoint.maxPacket >> 8),
                                              endpoint.interval};
        body_.insert(body_.end(), std::begin(endpointDescriptor), std::end(endpointDescriptor));
    }
    return *this;
}

std::vector<uint8_t> ConfigurationBuilder::Build() const {
    const uint16_t total = announcedTotalLength_.value_or(uint16_t(9 + body_.size()));
    std::vector<uint8_t> set(9 + body_.size());
    set[0] = 9;
    set[1] = USB_CONFIGURATION_DESCRIPTOR_TYPE;
    set[2] = uint8_t(total & 0xFF);
    set[3] = uint8_t(total >> 8);
    set[4] = announcedInterfaces_.value_or(distinctInterfaces_);
    set[5] = 1;
    set[6] = 0;
    set[7] = 0x80;
    set[8] = maxPower_;
    std::copy(body_.begin(), body_.end(), set.begin() + 9);
    return set;
}

std::vector<uint8_t> StandardRadioConfiguration() {
    ConfigurationBuilder builder;
    builder.Interface(0, 0, 0xE0,
                      {{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16, 1},
                       {0x82, USB_ENDPOINT_TYPE_BULK, 64, 0},
                       {0x02, USB_ENDPOINT_TYPE_BULK, 64, 0}});
    const uint16_t isochronousSizes[] = {0, 9, 17, 25, 33, 49};
    for (uint8_t alternate = 0; alternate < 6; alternate++) {
        builder.Interface(1, alternate, 0xE0,
                          {{0x83, USB_ENDPOINT_TYPE_ISOCHRONOUS, isochronousSizes[alternate], 1},
                           {0x03, USB_ENDPOINT_TYPE_ISOCHRONOUS, isochronousSizes[alternate], 1}});
    }
    return builder.Build();
}

std::vector<uint8_t> StandardDeviceDescriptor() {
    return {18, USB_DEVICE_DESCRIPTOR_TYPE, 0x10, 0x01, 0xE0, 0x01, 0x01, 64, 0x12, 0x0A, 0x01, 0x00,
            0x00, 0x01, 0, 0, 0, 1};
}

std::vector<uint8_t> LanguageList(std::vector<uint16_t> languages, std::optional<uint8_t> announcedLength) {
    std::vector<uint8_t> descriptor = {announcedLength.value_or(uint8_t(2 + 2 * languages.size())),
                                       USB_STRING_DESCRIPTOR_TYPE};
    for (uint16_t language : languages) {
        descriptor.push_back(uint8_t(language & 0xFF));
        descriptor.push_back(uint8_t(language >> 8));
    }
    return descriptor;
}

}  // namespace lifecycle_test
