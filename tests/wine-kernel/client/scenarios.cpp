/*
 * The scenarios of the Wine runs. Each plugs the scripted radio, lets Wine's
 * PnP manager install and start the driver from the package, and drives it
 * from user mode; the runner checks the driver's own messages in Wine's log.
 */
#include "client.h"

#include <stdio.h>

#include <algorithm>
#include <atomic>

namespace {

const DWORD kStartTime = 30000; /* install, load and start, on a busy machine */
const DWORD kAnswerTime = 5000;
const DWORD kProbeControlCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);

const Bytes kResetComplete = {0x04, 0x0E, 0x04, 0x01, 0x03, 0x0C, 0x00};
const Bytes kBdAddrComplete = {0x04, 0x0E, 0x0A, 0x01, 0x09, 0x10, 0x00, 0x42, 0x00, 0x00, 0x01, 0xAA, 0x00};

Bytes Framed(unsigned char type, const Bytes &packet)
{
    Bytes framed(packet.size() + 1, type);
    std::copy(packet.begin(), packet.end(), framed.begin() + 1);
    return framed;
}

std::string Describe(const Bytes &bytes)
{
    std::string text = std::to_string(bytes.size()) + " bytes";
    char hex[4];
    for (size_t i = 0; i < bytes.size() && i < 16; i++) {
        snprintf(hex, sizeof(hex), " %02x", bytes[i]);
        text += hex;
    }
    return text;
}

bool PluggedAndOpen(Checks &checks, Bus &bus, Radio &radio)
{
    if (!checks.expect(bus.open(), "the test bus's control device opens"))
        return false;
    if (!checks.expect(bus.plug(), "the radio is plugged into the bus"))
        return false;
    return checks.expect(radio.openWithin(kStartTime), "the driver starts and \\\\.\\Wrenlok0 opens");
}

/* Until the link is gone the device has not been removed. */
bool WaitForRemoval(DWORD milliseconds)
{
    DWORD start = GetTickCount();
    for (;;) {
        Radio probe;
        if (!probe.open() && probe.lastError == ERROR_FILE_NOT_FOUND)
            return true;
        if (GetTickCount() - start > milliseconds)
            return false;
        Sleep(50);
    }
}

/* Waits until the bus has carried the given bytes on a pipe since the baseline. */
bool WaitForBytes(Bus &bus, ULONG pipe, ULONG baseline, ULONG bytes, DWORD milliseconds)
{
    DWORD start = GetTickCount();
    while (bus.statistics().Pipes[pipe].Bytes - baseline < bytes) {
        if (GetTickCount() - start > milliseconds)
            return false;
        Sleep(5);
    }
    return true;
}

void RoundTrips(Checks &checks, Bus &bus, Radio &radio)
{
    checks.expect(radio.write(0x01, Command(0x0C03)), "HCI Reset is written");
    checks.expect(radio.read(kAnswerTime) == kResetComplete, "its Command Complete comes back");
    checks.expect(radio.write(0x01, Command(0x1009)), "Read BD_ADDR is written");
    Bytes answer = radio.read(kAnswerTime);
    checks.expect(answer == kBdAddrComplete, "its Command Complete carries 00:AA:01:00:00:42: " + Describe(answer));
}

void LongEvent(Checks &checks, Bus &bus, Radio &radio)
{
    ULONG before = bus.statistics().Pipes[TESTBUS_PIPE_INTERRUPT].Transfers;
    checks.expect(radio.write(0x01, Command(0xFC01)), "the command for the longest event is written");
    Bytes event = radio.read(kAnswerTime);
    Bytes expected = {0x04, 0xFF, 0xFF};
    for (int i = 0; i < 255; i++)
        expected.push_back((unsigned char)i);
    checks.expect(event == expected, "a 258-byte event is read whole: " + Describe(event));
    TESTBUS_STATISTICS after = bus.statistics();
    checks.expect(after.Pipes[TESTBUS_PIPE_INTERRUPT].Transfers - before == 17,
                  "it came in 17 interrupt transfers: " +
                      std::to_string(after.Pipes[TESTBUS_PIPE_INTERRUPT].Transfers - before));
    checks.expect(after.Pipes[TESTBUS_PIPE_INTERRUPT].LargestLength == 16, "each transfer asked for 16 bytes");
}

void AclBothWays(Checks &checks, Bus &bus, Radio &radio)
{
    Bytes small = AclPacket(0x2A, 27, 1);
    checks.expect(radio.write(0x02, small), "27 ACL bytes are written");
    checks.expect(radio.read(kAnswerTime) == Framed(0x02, small), "they come back looped by the radio");

    ULONG before = bus.statistics().Pipes[TESTBUS_PIPE_BULK_IN].Transfers;
    Bytes large = AclPacket(0x2A, 1025, 3);
    checks.expect(radio.write(0x02, large), "1025 ACL bytes are written");
    Bytes back = radio.read(kAnswerTime);
    checks.expect(back == Framed(0x02, large), "they come back whole: " + Describe(back));
    TESTBUS_STATISTICS after = bus.statistics();
    checks.expect(after.Pipes[TESTBUS_PIPE_BULK_OUT].LargestLength == large.size(),
                  "the write went out in one bulk transfer");
    checks.expect(after.Pipes[TESTBUS_PIPE_BULK_IN].Transfers - before == 3,
                  "and came in three bulk transfers of at most 512 bytes");
    checks.expect(after.Pipes[TESTBUS_PIPE_BULK_IN].LargestLength == 512, "each asked for 512 bytes");

    Bytes fromRadio = AclPacket(0x2B, 1025, 9);
    checks.expect(bus.queueAcl(fromRadio), "the radio sends 1025 ACL bytes of its own");
    checks.expect(radio.read(kAnswerTime) == Framed(0x02, fromRadio), "they are read whole");
}

/* 1004-byte packets arrive as 512 + 492 bytes: after four of them 4016 of the
 * ring's 4096 bytes are held, and less than one transfer's room is left. */
void FullRing(Checks &checks, Bus &bus, Radio &radio)
{
    const int kPackets = 10;
    const ULONG kFull = 4 * 1004;
    ULONG baseline = bus.statistics().Pipes[TESTBUS_PIPE_BULK_IN].Bytes;
    std::vector<Bytes> sent;
    for (int i = 0; i < kPackets; i++) {
        sent.push_back(AclPacket(0x2C, 1000, (unsigned char)(i * 13)));
        bus.queueAcl(sent.back());
    }
    checks.expect(WaitForBytes(bus, TESTBUS_PIPE_BULK_IN, baseline, kFull, kAnswerTime),
                  "the ACL ring takes four packets");
    Sleep(1500); /* the ring stays full: the thread only waits, and says so each second */
    ULONG held = bus.statistics().Pipes[TESTBUS_PIPE_BULK_IN].Bytes - baseline;
    checks.expect(held == kFull, "and no more while nobody reads: " + std::to_string(held));

    Bytes first = radio.read(kAnswerTime);
    DWORD readAt = GetTickCount();
    checks.expect(first == Framed(0x02, sent[0]), "the first packet is read");
    bool restarted = WaitForBytes(bus, TESTBUS_PIPE_BULK_IN, baseline, kFull + 1, kAnswerTime);
    DWORD restartTime = GetTickCount() - readAt;
    checks.expect(restarted && restartTime < 500,
                  "the read restarts the pipe at once, not at the next second: " + std::to_string(restartTime) + " ms");
    bool inOrder = true;
    for (int i = 1; i < kPackets; i++)
        inOrder = radio.read(kAnswerTime) == Framed(0x02, sent[i]) && inOrder;
    checks.expect(inOrder, "every packet after it is read whole and in order");
}

/* Waits until the bus has failed the given number of transfers on a pipe since the baseline. */
bool WaitForFailures(Bus &bus, ULONG pipe, ULONG baseline, ULONG failures, DWORD milliseconds)
{
    DWORD start = GetTickCount();
    while (bus.statistics().Pipes[pipe].Failed - baseline < failures) {
        if (GetTickCount() - start > milliseconds)
            return false;
        Sleep(5);
    }
    return true;
}

/* A stalled interrupt pipe: the event thread retries once a second and recovers when the pipe does. */
void StalledPipe(Checks &checks, Bus &bus, Radio &radio)
{
    ULONG baseline = bus.statistics().Pipes[TESTBUS_PIPE_INTERRUPT].Failed;
    checks.expect(bus.setMode(TESTBUS_PIPE_INTERRUPT, TESTBUS_MODE_STALL), "the interrupt pipe stalls");
    checks.expect(WaitForFailures(bus, TESTBUS_PIPE_INTERRUPT, baseline, 2, kAnswerTime),
                  "the event thread tries again after its pause");
    checks.expect(bus.setMode(TESTBUS_PIPE_INTERRUPT, TESTBUS_MODE_NORMAL), "the pipe answers again");
    checks.expect(radio.write(0x01, Command(0x0C03)), "HCI Reset is written");
    checks.expect(radio.read(kAnswerTime) == kResetComplete, "and its answer arrives once the pipe is back");
}

/* Reads one handle in a loop on a thread of its own. */
struct Reader {
    HANDLE handle;
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::atomic<int> reads{0};
    std::atomic<DWORD> longest{0}; /* milliseconds */

    static DWORD WINAPI run(void *self)
    {
        Reader *reader = (Reader *)self;
        while (!reader->stop) {
            DWORD got = 0;
            unsigned char buffer[2048];
            DWORD start = GetTickCount();
            if (!ReadFile(reader->handle, buffer, sizeof(buffer), &got, NULL))
                reader->failures++;
            DWORD took = GetTickCount() - start;
            if (took > reader->longest)
                reader->longest = took;
            reader->reads++;
        }
        return 0;
    }
};

/* Any close stops both receive threads, whatever other handles are open. */
void TwoHandles(Checks &checks, Bus &bus, Radio &radio)
{
    Radio second;
    checks.expect(second.open(), "a second handle opens");
    radio.close();
    checks.expect(second.write(0x01, Command(0x0C03)), "the second handle still writes after the first closed");
    checks.expect(second.read(1500).empty(), "but reads nothing: the receive threads were stopped");

    Radio third;
    checks.expect(third.open(), "a third open starts the threads again");
    checks.expect(third.read(kAnswerTime) == kResetComplete, "and the held answer arrives");

    Reader reader{second.handle};
    HANDLE thread = CreateThread(NULL, 0, Reader::run, &reader, 0, NULL);
    std::atomic<int> &reads = reader.reads;
    while (reads < 10)
        Sleep(1);
    third.close();
    /* Wine's close returns before the driver has seen it: the reads after it show its cost. */
    int readsAtClose = reads;
    while (reads < readsAtClose + 50)
        Sleep(1);
    reader.stop = true;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    checks.expect(reader.longest < 5000, "a close while another handle reads holds no read for long: longest " +
                                             std::to_string(reader.longest) + " ms");
    checks.expect(reader.failures == 0, "and the reads on the other handle all succeed");
    second.close();
}

int Start()
{
    Checks checks;
    Bus bus;
    Radio radio;
    if (PluggedAndOpen(checks, bus, radio)) {
        RoundTrips(checks, bus, radio);
        LongEvent(checks, bus, radio);
        AclBothWays(checks, bus, radio);
        FullRing(checks, bus, radio);
        StalledPipe(checks, bus, radio);
        TwoHandles(checks, bus, radio);
    }
    return checks.finish();
}

int Quiet()
{
    Checks checks;
    Bus bus;
    Radio radio;
    if (PluggedAndOpen(checks, bus, radio))
        RoundTrips(checks, bus, radio);
    return checks.finish();
}

/* Real time on Wine: the one five-second wait of the suite. */
int WriteTimeout()
{
    Checks checks;
    Bus bus;
    Radio radio;
    if (PluggedAndOpen(checks, bus, radio)) {
        checks.expect(bus.setMode(TESTBUS_PIPE_BULK_OUT, TESTBUS_MODE_HOLD), "bulk out holds every transfer");
        DWORD start = GetTickCount();
        bool written = radio.write(0x02, AclPacket(0x2A, 10, 0));
        DWORD elapsed = GetTickCount() - start;
        checks.expect(!written, "the write fails");
        checks.expect(elapsed >= 4500 && elapsed < 8000, "after five seconds: " + std::to_string(elapsed) + " ms");
        TESTBUS_STATISTICS statistics = bus.statistics();
        checks.expect(statistics.Pipes[TESTBUS_PIPE_BULK_OUT].Cancelled == 1, "its transfer was cancelled");
        checks.expect(bus.setMode(TESTBUS_PIPE_BULK_OUT, TESTBUS_MODE_NORMAL), "bulk out answers again");
        Bytes packet = AclPacket(0x2A, 10, 0);
        checks.expect(radio.write(0x02, packet), "the next write goes through");
        checks.expect(radio.read(kAnswerTime) == Framed(0x02, packet), "and comes back");
    }
    return checks.finish();
}

int Removal()
{
    Checks checks;
    Bus bus;
    {
        Radio radio;
        if (!PluggedAndOpen(checks, bus, radio))
            return checks.finish();
        RoundTrips(checks, bus, radio);
    }
    checks.expect(bus.unplug(), "the radio is pulled with nothing open");
    checks.expect(WaitForRemoval(kStartTime), "the device and its link are removed");
    /* Windows unloads a driver once its last device is deleted; Wine keeps it
     * loaded, so the bus asks Wine's kernel for what Windows would do. */
    checks.expect(bus.unloadDriver(L"Wrenlok"), "the driver is unloaded once its device is gone");

    Radio radio;
    checks.expect(bus.plug(), "the radio is plugged in again");
    checks.expect(radio.openWithin(kStartTime), "the driver starts it again and it opens");
    RoundTrips(checks, bus, radio);
    checks.expect(bus.unplug(), "the radio is pulled while a handle is open");
    checks.expect(WaitForRemoval(kStartTime), "Wine removes the device without waiting for the handle");
    Bytes none = radio.read(200);
    checks.expect(none.empty(), "a read on the open handle returns nothing, error " + std::to_string(radio.lastError));
    bool wrote = radio.write(0x01, Command(0x0C03));
    checks.expect(!wrote, "a write on it fails, error " + std::to_string(radio.lastError));
    /* The driver prints every device control it is given: the log shows that Wine refuses this one itself. */
    DWORD returned = 0;
    BOOL controlled = DeviceIoControl(radio.handle, kProbeControlCode, NULL, 0, NULL, 0, &returned, NULL);
    checks.expect(!controlled, "a device control on it fails, error " + std::to_string(GetLastError()));
    radio.close();
    checks.expect(true, "the handle closes");
    return checks.finish();
}

} // namespace

int RunScenario(const std::string &name)
{
    if (name == "start")
        return Start();
    if (name == "quiet")
        return Quiet();
    if (name == "write-timeout")
        return WriteTimeout();
    if (name == "removal")
        return Removal();
    fprintf(stderr, "no scenario %s\n", name.c_str());
    return 2;
}
