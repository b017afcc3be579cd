/*
 * The Win32 side of the Wine runs: installs the test bus and the driver
 * package in the Wine machine, scripts the radio through the bus's control
 * device and talks HCI to the driver through "\\.\Wrenlok0".
 */
#ifndef WRENLOK_WINE_CLIENT_H
#define WRENLOK_WINE_CLIENT_H

#include <windows.h>

#include <string>
#include <vector>

#include "control.h"

using Bytes = std::vector<unsigned char>;

/* Checks of one scenario; the last line printed is "N passed, N failed". */
struct Checks {
    int passed = 0;
    int failed = 0;
    bool expect(bool condition, const std::string &what);
    int finish() const;
};

int InstallBus(const char *infPath);
int InstallDriver(const char *infPath);

/* The bus's control device. */
struct Bus {
    HANDLE handle = INVALID_HANDLE_VALUE;
    bool open();
    bool control(DWORD code, const void *in = nullptr, DWORD inLength = 0, void *out = nullptr, DWORD outLength = 0);
    bool plug() { return control(IOCTL_TESTBUS_PLUG); }
    bool unplug() { return control(IOCTL_TESTBUS_UNPLUG); }
    bool setMode(ULONG pipe, ULONG mode);
    bool queueEvent(const Bytes &event) { return control(IOCTL_TESTBUS_QUEUE_EVENT, event.data(), (DWORD)event.size()); }
    bool queueAcl(const Bytes &packet) { return control(IOCTL_TESTBUS_QUEUE_ACL, packet.data(), (DWORD)packet.size()); }
    bool unloadDriver(const wchar_t *service)
    {
        return control(IOCTL_TESTBUS_UNLOAD_DRIVER, service, (DWORD)(wcslen(service) * sizeof(wchar_t)));
    }
    TESTBUS_STATISTICS statistics();
    ~Bus();
};

/* One handle on the driver's device. */
struct Radio {
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD lastError = 0;
    bool open();
    /* Opens once the PnP manager has started the device, within the time-out. */
    bool openWithin(DWORD milliseconds);
    void close();
    /* Writes one packet with its packet-type byte. */
    bool write(unsigned char type, const Bytes &packet);
    /* The next packet with its type byte, polled until it comes or the time-out passes; empty when none. */
    Bytes read(DWORD milliseconds, DWORD room = 2048);
    ~Radio() { close(); }
};

Bytes AclPacket(unsigned short handle, size_t length, unsigned char seed);
Bytes Command(unsigned short opcode);

int RunScenario(const std::string &name);

#endif
