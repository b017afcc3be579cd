/*
 * The two devices the client talks to, and the check counter. Reads of the
 * driver never wait for data, so a read for a packet polls until the packet
 * is there or its time-out has passed.
 */
#include "client.h"

#include <stdio.h>

#include <algorithm>

bool Checks::expect(bool condition, const std::string &what)
{
    printf("%s: %s\n", condition ? "ok" : "FAILED", what.c_str());
    (condition ? passed : failed)++;
    return condition;
}

int Checks::finish() const
{
    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}

bool Bus::open()
{
    handle = CreateFileA(TESTBUS_USER_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    return handle != INVALID_HANDLE_VALUE;
}

bool Bus::control(DWORD code, const void *in, DWORD inLength, void *out, DWORD outLength)
{
    DWORD returned = 0;
    return DeviceIoControl(handle, code, (void *)in, inLength, out, outLength, &returned, NULL) != 0;
}

bool Bus::setMode(ULONG pipe, ULONG mode)
{
    TESTBUS_PIPE_MODE request = {pipe, mode};
    return control(IOCTL_TESTBUS_SET_MODE, &request, sizeof(request));
}

TESTBUS_STATISTICS Bus::statistics()
{
    TESTBUS_STATISTICS statistics = {};
    control(IOCTL_TESTBUS_STATISTICS, nullptr, 0, &statistics, sizeof(statistics));
    return statistics;
}

Bus::~Bus()
{
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
}

bool Radio::open()
{
    handle = CreateFileA("\\\\.\\Wrenlok0", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                         OPEN_EXISTING, 0, NULL);
    lastError = handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    return handle != INVALID_HANDLE_VALUE;
}

bool Radio::openWithin(DWORD milliseconds)
{
    DWORD start = GetTickCount();
    while (!open()) {
        if (GetTickCount() - start > milliseconds)
            return false;
        Sleep(50); /* the device's arrival has no event a console program can wait for */
    }
    return true;
}

void Radio::close()
{
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
}

bool Radio::write(unsigned char type, const Bytes &packet)
{
    Bytes framed(packet.size() + 1, type);
    std::copy(packet.begin(), packet.end(), framed.begin() + 1);
    DWORD written = 0;
    BOOL ok = WriteFile(handle, framed.data(), (DWORD)framed.size(), &written, NULL);
    lastError = ok ? 0 : GetLastError();
    return ok && written == framed.size();
}

Bytes Radio::read(DWORD milliseconds, DWORD room)
{
    Bytes buffer(room);
    DWORD start = GetTickCount();
    for (;;) {
        DWORD got = 0;
        BOOL ok = ReadFile(handle, buffer.data(), room, &got, NULL);
        lastError = ok ? 0 : GetLastError();
        if (ok && got > 0) {
            buffer.resize(got);
            return buffer;
        }
        if (!ok || GetTickCount() - start > milliseconds)
            return {};
        Sleep(1);
    }
}

Bytes AclPacket(unsigned short handle, size_t length, unsigned char seed)
{
    Bytes packet = {(unsigned char)handle, (unsigned char)(0x20 | (handle >> 8)), (unsigned char)length,
                    (unsigned char)(length >> 8)};
    for (size_t i = 0; i < length; i++)
        packet.push_back((unsigned char)(seed + i * 7));
    return packet;
}

Bytes Command(unsigned short opcode)
{
    return {(unsigned char)opcode, (unsigned char)(opcode >> 8), 0};
}
