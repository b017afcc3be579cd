/*
 * How the Win32 test client scripts the test bus: requests on the bus's control
 * device "\\.\WrenlokTestBus". Shared by the bus driver and the client, so only
 * what both <ntddk.h> and <windows.h> define is used here.
 */
#ifndef WRENLOK_TESTBUS_CONTROL_H
#define WRENLOK_TESTBUS_CONTROL_H

#define TESTBUS_DEVICE_NAME L"\\Device\\WrenlokTestBus"
#define TESTBUS_LINK_NAME L"\\DosDevices\\WrenlokTestBus"
#define TESTBUS_USER_PATH "\\\\.\\WrenlokTestBus"

#define TESTBUS_CONTROL(n) CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800 + (n), METHOD_BUFFERED, FILE_ANY_ACCESS)

/* No data: the radio appears on the bus, or is pulled out of it. */
#define IOCTL_TESTBUS_PLUG TESTBUS_CONTROL(0)
#define IOCTL_TESTBUS_UNPLUG TESTBUS_CONTROL(1)
/* In: TESTBUS_PIPE_MODE. */
#define IOCTL_TESTBUS_SET_MODE TESTBUS_CONTROL(2)
/* In: the bytes of one whole HCI event or ACL packet, without the packet-type byte. */
#define IOCTL_TESTBUS_QUEUE_EVENT TESTBUS_CONTROL(3)
#define IOCTL_TESTBUS_QUEUE_ACL TESTBUS_CONTROL(4)
/* Out: TESTBUS_STATISTICS. */
#define IOCTL_TESTBUS_STATISTICS TESTBUS_CONTROL(5)

/* In: a service name (WCHAR, no terminator needed). Unloads that driver the way
 * Windows does when the last device of a PnP driver is gone; Wine does not. */
#define IOCTL_TESTBUS_UNLOAD_DRIVER TESTBUS_CONTROL(6)

/* No data: from now on the radio is a bridge. Commands and ACL data the driver
 * sends wait for IOCTL_TESTBUS_TAKE_OUTGOING instead of being answered or looped;
 * what comes from the far side is queued with the two QUEUE requests. */
#define IOCTL_TESTBUS_BRIDGE TESTBUS_CONTROL(7)
/* Out: one packet the driver sent, with its H4 type byte (0x01 command, 0x02 ACL).
 * Held until there is one; fails with STATUS_DEVICE_NOT_CONNECTED once the radio is pulled. */
#define IOCTL_TESTBUS_TAKE_OUTGOING TESTBUS_CONTROL(8)
/* The room a take must offer: the longest packet the driver sends, an ACL
 * packet of its receive ring's size, with its type byte. */
#define TESTBUS_TAKE_BYTES (1 + 4 + 4096)

/* The radio's pipes as the scripts name them. */
#define TESTBUS_PIPE_CONTROL 0   /* HCI commands */
#define TESTBUS_PIPE_INTERRUPT 1 /* HCI events */
#define TESTBUS_PIPE_BULK_IN 2
#define TESTBUS_PIPE_BULK_OUT 3
#define TESTBUS_PIPE_COUNT 4

/* What a pipe does with a transfer. */
#define TESTBUS_MODE_NORMAL 0 /* answer it: commands with events, ACL out looped back to bulk in */
#define TESTBUS_MODE_HOLD 1   /* keep it until it is cancelled */
#define TESTBUS_MODE_STALL 2  /* fail it with a stall at once */

typedef struct _TESTBUS_PIPE_MODE {
    ULONG Pipe;
    ULONG Mode;
} TESTBUS_PIPE_MODE;

typedef struct _TESTBUS_PIPE_STATISTICS {
    ULONG Transfers;     /* transfers completed with data or with success */
    ULONG Bytes;         /* bytes carried by them */
    ULONG LargestLength; /* longest transfer the driver asked for */
    ULONG Failed;        /* transfers failed with a stall */
    ULONG Cancelled;     /* transfers the driver cancelled */
} TESTBUS_PIPE_STATISTICS;

typedef struct _TESTBUS_STATISTICS {
    TESTBUS_PIPE_STATISTICS Pipes[TESTBUS_PIPE_COUNT];
    ULONG Queued[TESTBUS_PIPE_COUNT]; /* bytes waiting for an IN transfer */
} TESTBUS_STATISTICS;

#endif
