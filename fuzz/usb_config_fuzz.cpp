// The USB configuration from the input: the whole configuration descriptor set
// and string descriptor 0 as the radio returns them, delivered by the simulated
// bus through AddDevice and the start (the port checks, the select, the pipe
// records, the descriptor dumps), then the removal. A start may fail; the
// checks are ASan's on every read of what the bus returned, and that the
// removal and unload leave nothing behind. When the start succeeded, the device
// must also carry a command to the radio.
#include <fuzzer/FuzzedDataProvider.h>

#include <host/scripted_radio.h>

#include "device_session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    usbsim::Descriptors descriptors = usbsim::StandardBluetoothRadioDescriptors();
    size_t languagesLength = input.ConsumeIntegralInRange<size_t>(0, 64);
    descriptors.strings[0] = input.ConsumeBytes<uint8_t>(languagesLength);
    descriptors.configurations[0] = input.ConsumeRemainingBytes<uint8_t>();

    usbsim::ScriptedRadio radio(descriptors);
    fuzzdriver::DeviceSession session(radio, 0.002);
    if (NT_SUCCESS(session.AddAndStart())) {
        std::unique_ptr<wrk::UserFile> file;
        if (NT_SUCCESS(session.Open(file))) {
            const uint8_t reset[] = {0x01, 0x03, 0x0C, 0x00};
            ULONG written = 0;
            if (NT_SUCCESS(file->Write(reset, sizeof reset, &written)) && written != sizeof reset)
                fuzzdriver::Fail("usb_config", "a command write completed short");
            file->Close();
        }
    }
    session.RemoveAndUnload("usb_config");
    return 0;
}
