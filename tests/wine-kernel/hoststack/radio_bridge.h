// The Windows machine's radio: the test bus's PDO bridged to a controller of
// the emulator outside Wine, over the loopback TCP port of wrenlok-wine-relay.
// One thread carries what the driver sends (the bus's inverted call) to the
// socket, another what the controller sends to the bus's interrupt and bulk-in
// pipes. The socket closing pulls the radio.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "control.h"

#include <string>

namespace wsim {

class RadioBridge {
public:
    // Connects to the relay, plugs the radio and starts carrying; throws std::runtime_error.
    explicit RadioBridge(unsigned short port);
    ~RadioBridge();
    RadioBridge(const RadioBridge&) = delete;
    RadioBridge& operator=(const RadioBridge&) = delete;

    // Pulls the radio out: the controller's socket closes and the bus reports the radio gone.
    void Pull();

private:
    static DWORD WINAPI CarryOutgoing(void* self);
    static DWORD WINAPI CarryIncoming(void* self);

    SOCKET socket_ = INVALID_SOCKET;
    HANDLE bus_ = INVALID_HANDLE_VALUE;
    HANDLE threads_[2] = {nullptr, nullptr};
    volatile LONG pulled_ = 0;
};

} // namespace wsim
