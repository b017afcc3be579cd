/*
 * Wrenlok: the device extension and the records the driver's parts share,
 * with the routines one part calls in another.
 */
#pragma once

#include <ntddk.h>
/* The USB headers declare the USBD routines without C linkage of their own. */
extern "C" {
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
}

/* Every buffer the driver allocates for itself carries this tag: "Wdm ". */
#define WRENLOK_POOL_TAG 0x206D6457

/* Relative time-outs in 100-nanosecond units. */
#define ONE_SECOND_TIMEOUT  (-10000000LL)
#define FIVE_SECOND_TIMEOUT (-50000000LL)

/* HCI packet-type bytes of the user-visible stream. */
#define HCI_COMMAND_PACKET 0x01
#define HCI_ACL_PACKET     0x02
#define HCI_EVENT_PACKET   0x04

/* ReadOrder: which ring the next read tries first. */
#define READ_EVENT_FIRST 1
#define READ_ACL_FIRST   2

/* Byte ring with one producer (a receive thread) and one consumer (the read path). */
typedef struct _RingBuffer {
    KSPIN_LOCK Lock;    /* guards every change of Count */
    ULONG WriteIndex;   /* producer's */
    ULONG ReadIndex;    /* consumer's */
    volatile ULONG Count;
    ULONG Size;
    PUCHAR Buffer;
} RingBuffer, *PRingBuffer;

struct _DEVICE_EXTENSION;

/* One per USB IN pipe: the thread that keeps a transfer going and its ring. */
typedef struct _ReceiveThreadContext {
    volatile UCHAR Running;
    KEVENT ExitEvent;
    PVOID ThreadObject;
    volatile UCHAR StopRequest;
    RingBuffer Ring;
    PUCHAR ReceiveBuffer;
    KEVENT SpaceEvent;
    ULONG ReadSize;
    USBD_PIPE_HANDLE PipeHandle;
    struct _DEVICE_EXTENSION *DeviceExtension;
    /* Keeps the ring and its storage alive while a read copies out of it: readers count
       themselves in RingUsers while RingOpen is set; a stop clears RingOpen and waits
       on RingIdleEvent for the last reader to leave before it frees anything. */
    volatile LONG RingOpen;
    volatile LONG RingUsers;
    KEVENT RingIdleEvent;
    /* Bytes of a packet too long for the ring still to be dropped from the stream
       (consumer side). */
    ULONG DiscardRemaining;
} ReceiveThreadContext, *PReceiveThreadContext;

typedef struct _DEVICE_EXTENSION {
    PDEVICE_OBJECT fdo;
    PDEVICE_OBJECT pdo;
    PDEVICE_OBJECT NextStackDevice;
    UNICODE_STRING SymbolicLinkName;
    volatile UCHAR Started;
    volatile UCHAR RefuseIo;
    volatile LONG OpenHandles;
    volatile LONG LockCount;
    volatile UCHAR Stopping;
    KEVENT StoppingEvent;
    DEVICE_POWER_STATE DevicePowerState;
    USBD_PIPE_HANDLE InterruptPipe;
    USBD_PIPE_HANDLE BulkInPipe;
    USBD_PIPE_HANDLE BulkOutPipe;
    ReceiveThreadContext EventThread;
    ReceiveThreadContext AclThread;
    volatile LONG ReadOrder;
    PIRP PendingSystemPowerIrp;
    /* 1 while a read takes a packet out of the rings: reads are never serialized by
       waiting, a read that finds another one under way returns with no data. */
    volatile LONG ReadInProgress;
    /* Synchronization event, signalled when free: starting and stopping the receive
       threads is done by one caller at a time. Set up once, by TranspAddDevice. */
    KEVENT ThreadControlEvent;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

/* Flags and counts that one thread writes and another polls without a lock: whole loads
   and stores, ordered with the memory accesses around them. */
static inline UCHAR ReadFlag(volatile UCHAR *Flag) { return __atomic_load_n(Flag, __ATOMIC_ACQUIRE); }
static inline void WriteFlag(volatile UCHAR *Flag, UCHAR Value) { __atomic_store_n(Flag, Value, __ATOMIC_RELEASE); }
static inline ULONG ReadCount(volatile ULONG *Count) { return __atomic_load_n(Count, __ATOMIC_ACQUIRE); }
static inline void WriteCount(volatile ULONG *Count, ULONG Value) { __atomic_store_n(Count, Value, __ATOMIC_RELEASE); }

/* The driver's one setting, read from the service key at load. */
typedef struct _REGISTRY_CONFIGURATION {
    ULONG DebugLevel;
} REGISTRY_CONFIGURATION, *PREGISTRY_CONFIGURATION;

/* Driver-wide state. */
extern ULONG DeviceAdded;
extern REGISTRY_CONFIGURATION RegistryConfiguration;

/* Entry (datapath/entry.cpp) */
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
void NTAPI TranspUnload(PDRIVER_OBJECT DriverObject);

/* Ring buffer (datapath/ring.cpp) */
NTSTATUS AllocateRingBuffer(PRingBuffer Ring, ULONG Size);
NTSTATUS FreeRingBuffer(PRingBuffer Ring);
void WriteRingBuffer(PRingBuffer Ring, const UCHAR *Source, PULONG Length);
void ReadRingBuffer(PRingBuffer Ring, PUCHAR Destination, PULONG Length, BOOLEAN Peek);

/* Open, close, read, write, device control (datapath/requests.cpp) */
NTSTATUS NTAPI TranspCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI TranspClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI TranspRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI TranspWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DeviceIoControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/* Receive threads (datapath/threads.cpp) */
void InitializeReceiveThread(PDEVICE_EXTENSION DeviceExtension, PReceiveThreadContext Context);
NTSTATUS StartReceiveThreads(PDEVICE_EXTENSION DeviceExtension);
/* The same from a user request's thread: the threads are created in the system process. */
NTSTATUS StartReceiveThreadsInSystemProcess(PDEVICE_EXTENSION DeviceExtension);
void StopReceiveThreads(PDEVICE_EXTENSION DeviceExtension);

/* USB transfers (datapath/usbio.cpp) */
NTSTATUS UsbSendHciCommand(PDEVICE_EXTENSION DeviceExtension, PVOID Command, ULONG Length);
NTSTATUS UsbSendAclData(PDEVICE_EXTENSION DeviceExtension, PVOID Packet, ULONG Length);
NTSTATUS UsbReceive(PReceiveThreadContext Context, PVOID Buffer, PULONG Length);
NTSTATUS UsbCallSync(PDEVICE_EXTENSION DeviceExtension, PVOID Argument1, ULONG IoControlCode, PVOID Argument2);
NTSTATUS UsbResetPipe(PDEVICE_EXTENSION DeviceExtension, USBD_PIPE_HANDLE Pipe);
NTSTATUS NTAPI OnCompleteSetEvent(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

/* Device lock (lifecycle/lock.cpp) */
BOOLEAN LockDevice(PDEVICE_EXTENSION DeviceExtension);
void UnlockDevice(PDEVICE_EXTENSION DeviceExtension);

/* Device creation and naming (lifecycle/adddevice.cpp) */
NTSTATUS NTAPI TranspAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS CreateDosLink(PDEVICE_EXTENSION DeviceExtension);
NTSTATUS DeleteDosLink(PDEVICE_EXTENSION DeviceExtension);

/* Plug and Play (lifecycle/pnp.cpp) */
NTSTATUS NTAPI TranspPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI TranspSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/* Power (lifecycle/power.cpp) */
NTSTATUS NTAPI TranspPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void SetPowerState(PDEVICE_EXTENSION DeviceExtension, DEVICE_POWER_STATE State);

/* USB configuration (lifecycle/usbconfig.cpp) */
NTSTATUS UsbCheckPort(PDEVICE_EXTENSION DeviceExtension);
NTSTATUS UsbSelectConfiguration(PDEVICE_EXTENSION DeviceExtension);
NTSTATUS UsbDeselectConfiguration(PDEVICE_EXTENSION DeviceExtension);
void UsbDumpDeviceInfo(PDEVICE_EXTENSION DeviceExtension);

/* Registry configuration (lifecycle/registry.cpp) */
NTSTATUS TranspGetRegistryConfiguration(PREGISTRY_CONFIGURATION Configuration, PUNICODE_STRING RegistryPath);

/* Diagnostics: DebugPrint and friends are in diag/debug.h. */
#include "diag/debug.h"
