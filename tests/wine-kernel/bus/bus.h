/*
 * A root-enumerated USB bus for the Wine runs: one child PDO that looks like a
 * USB Bluetooth radio to the driver above it, and a control device through
 * which the test client plugs and pulls that radio and scripts its pipes.
 */
#ifndef WRENLOK_TESTBUS_H
#define WRENLOK_TESTBUS_H

#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>

#include "control.h"

#define TESTBUS_POOL_TAG 0x42747257 /* "WrtB" */

typedef enum _TESTBUS_ROLE { RoleControl, RoleBus, RoleRadio } TESTBUS_ROLE;

/* Whole packets waiting for IN transfers; a transfer takes at most the rest of the first one. */
#define PACKET_QUEUE_BYTES 32768
#define PACKET_QUEUE_PACKETS 128

typedef struct _PACKET_QUEUE {
    UCHAR Data[PACKET_QUEUE_BYTES];
    ULONG Start; /* first byte not yet taken */
    ULONG End;
    ULONG Lengths[PACKET_QUEUE_PACKETS];
    ULONG First; /* index of the packet Start lies in */
    ULONG Count;
    ULONG TakenOfFirst;
} PACKET_QUEUE;

typedef struct _RADIO_PIPE {
    ULONG Mode;
    PIRP Held; /* the one transfer waiting on this pipe */
    TESTBUS_PIPE_STATISTICS Statistics;
} RADIO_PIPE;

typedef struct _TESTBUS_EXTENSION {
    TESTBUS_ROLE Role;
    PDEVICE_OBJECT Self;
} TESTBUS_EXTENSION, *PTESTBUS_EXTENSION;

typedef struct _BUS_EXTENSION {
    TESTBUS_EXTENSION Common;
    PDEVICE_OBJECT LowerDevice;
    PDEVICE_OBJECT Radio;  /* the child, from creation until its removal */
    BOOLEAN RadioPresent;  /* reported in the bus relations */
} BUS_EXTENSION, *PBUS_EXTENSION;

typedef struct _RADIO_EXTENSION {
    TESTBUS_EXTENSION Common;
    PBUS_EXTENSION Bus;
    BOOLEAN Started;
    BOOLEAN Gone; /* surprise-removed or pulled: every transfer fails */
    BOOLEAN PortEnabled;
    KSPIN_LOCK Lock; /* the pipes and both queues */
    RADIO_PIPE Pipes[TESTBUS_PIPE_COUNT];
    PACKET_QUEUE Events;
    PACKET_QUEUE Acl;
    BOOLEAN Bridged;
    PACKET_QUEUE Outgoing; /* bridged: what the driver sent, type byte first */
} RADIO_EXTENSION, *PRADIO_EXTENSION;

extern PBUS_EXTENSION TheBus;
extern KSPIN_LOCK BusLock;

NTSTATUS CompleteIrp(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);

NTSTATUS NTAPI BusAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo);
NTSTATUS BusPnp(PBUS_EXTENSION Bus, PIRP Irp);
NTSTATUS BusPlugRadio(void);
NTSTATUS BusUnplugRadio(void);

NTSTATUS RadioPnp(PRADIO_EXTENSION Radio, PIRP Irp);
NTSTATUS RadioInternalControl(PRADIO_EXTENSION Radio, PIRP Irp);
void RadioInitialize(PRADIO_EXTENSION Radio);
void RadioFailEverything(PRADIO_EXTENSION Radio);
NTSTATUS RadioSetMode(PRADIO_EXTENSION Radio, ULONG Pipe, ULONG Mode);
NTSTATUS RadioQueue(PRADIO_EXTENSION Radio, ULONG Pipe, const UCHAR *Packet, ULONG Length);
void RadioStatistics(PRADIO_EXTENSION Radio, TESTBUS_STATISTICS *Statistics);
NTSTATUS RadioSubmitUrb(PRADIO_EXTENSION Radio, PIRP Irp, PURB Urb);

/* The bridge to a controller outside Wine, through the control device. */
void BridgeInitialize(void);
void BridgeStart(PRADIO_EXTENSION Radio);
NTSTATUS BridgeSend(PRADIO_EXTENSION Radio, UCHAR Type, const UCHAR *Packet, ULONG Length);
NTSTATUS BridgeTake(PIRP Irp);
void BridgeEnd(void);

BOOLEAN QueuePut(PACKET_QUEUE *Queue, const UCHAR *Packet, ULONG Length);
/* One packet with its H4 type byte in front. */
BOOLEAN QueuePutTyped(PACKET_QUEUE *Queue, UCHAR Type, const UCHAR *Packet, ULONG Length);
ULONG QueueTake(PACKET_QUEUE *Queue, PUCHAR Buffer, ULONG Length);
ULONG QueueBytes(const PACKET_QUEUE *Queue);

#endif
