/*
 * Routines the data-path files share among themselves (and with their tests); the
 * other parts of the driver use only what driver/wrenlok.h declares.
 */
#pragma once

#include "wrenlok.h"

/* Ring sizes and transfer sizes of the two receive contexts. */
#define EVENT_RING_SIZE 1024
#define EVENT_READ_SIZE 16
#define ACL_RING_SIZE   4096
#define ACL_READ_SIZE   512

#define EVENT_HEADER_SIZE 2
#define ACL_HEADER_SIZE   4

/* Ring buffer (ring.cpp): the bytes held and the room left, read without the lock. */
ULONG RingBytesHeld(PRingBuffer Ring);
ULONG RingBytesFree(PRingBuffer Ring);
/* Consumes up to *Length bytes without copying them; *Length becomes the number dropped. */
void DiscardRingBuffer(PRingBuffer Ring, PULONG Length);

/* Requests (requests.cpp): TRUE with a device lock reference held; FALSE when the request
   was refused and completed, with *Status the value to return. */
BOOLEAN AdmitRequest(PDEVICE_EXTENSION DeviceExtension, PIRP Irp, NTSTATUS *Status);

/* Read path (read.cpp) */
typedef ULONG (*PACKET_LENGTH_RULE)(const UCHAR *Header);
NTSTATUS GetThreadData(PReceiveThreadContext Context, PUCHAR Destination, PULONG Room, PUCHAR Header,
                       ULONG HeaderSize, PACKET_LENGTH_RULE LengthRule);
ULONG GetEventPacketLength(const UCHAR *Header);
ULONG GetAclPacketLength(const UCHAR *Header);
USHORT ReadUshort(const UCHAR *Bytes);

/* Receive threads (threads.cpp) */
NTSTATUS TranspStartThread(PReceiveThreadContext Context, ULONG RingSize, ULONG ReadSize, USBD_PIPE_HANDLE Pipe);
void TranspStopThread(PReceiveThreadContext Context);
void NTAPI TranspThread(PVOID StartContext);
/* A reader holds the ring between these two; FALSE: no ring to read (threads stopped). */
BOOLEAN AcquireRingForRead(PReceiveThreadContext Context);
void ReleaseRingForRead(PReceiveThreadContext Context);

/* USB transfers (usbio.cpp) */
NTSTATUS UsbSubmitUrbAsync(PDEVICE_EXTENSION DeviceExtension, PURB Urb, PKEVENT Event, PIRP *Request,
                           PIO_STATUS_BLOCK IoStatus);
NTSTATUS UsbCancelAndWait(PKEVENT Event, PIRP Request);
void UsbReleaseRequest(PKEVENT Event, PIRP Request, BOOLEAN Wait);
