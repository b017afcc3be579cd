/*
 * Receive threads: while the device is open, one thread per USB IN pipe keeps a transfer
 * going and appends what arrives to its ring, so reception never waits for a reader.
 * A thread asks USB for data only while its ring has room for a whole transfer, and
 * goes on as soon as a read has made that room.
 */
#include "datapath/datapath.h"

void InitializeReceiveThread(PDEVICE_EXTENSION DeviceExtension, PReceiveThreadContext Context)
{
    Context->Running = 0;
    KeInitializeEvent(&Context->ExitEvent, NotificationEvent, FALSE);
    Context->ThreadObject = NULL;
    Context->StopRequest = 0;
    RtlZeroMemory(&Context->Ring, sizeof(Context->Ring));
    Context->ReceiveBuffer = NULL;
    KeInitializeEvent(&Context->SpaceEvent, NotificationEvent, FALSE);
    Context->ReadSize = 0;
    Context->PipeHandle = NULL;
    Context->DeviceExtension = DeviceExtension;
    Context->RingOpen = 0;
    Context->RingUsers = 0;
    KeInitializeEvent(&Context->RingIdleEvent, NotificationEvent, FALSE);
    Context->DiscardRemaining = 0;
}

BOOLEAN AcquireRingForRead(PReceiveThreadContext Context)
{
    InterlockedIncrement(&Context->RingUsers);
    if (InterlockedCompareExchange(&Context->RingOpen, 0, 0) != 0)
        return TRUE;
    ReleaseRingForRead(Context);
    return FALSE;
}

void ReleaseRingForRead(PReceiveThreadContext Context)
{
    if (InterlockedDecrement(&Context->RingUsers) == 0 && InterlockedCompareExchange(&Context->RingOpen, 0, 0) == 0)
        KeSetEvent(&Context->RingIdleEvent, IO_NO_INCREMENT, FALSE);
}

/* Turns new readers away and waits for the ones inside to leave; afterwards the ring and
   the receive buffer can be freed under nobody's feet. */
static void CloseRingAndWait(PReceiveThreadContext Context)
{
    KeClearEvent(&Context->RingIdleEvent);
    InterlockedExchange(&Context->RingOpen, 0);
    if (InterlockedCompareExchange(&Context->RingUsers, 0, 0) != 0)
        KeWaitForSingleObject(&Context->RingIdleEvent, Executive, KernelMode, FALSE, NULL);
}

static void FreeReceiveStorage(PReceiveThreadContext Context)
{
    ExFreePool(Context->ReceiveBuffer);
    Context->ReceiveBuffer = NULL;
    FreeRingBuffer(&Context->Ring);
}

NTSTATUS TranspStartThread(PReceiveThreadContext Context, ULONG RingSize, ULONG ReadSize, USBD_PIPE_HANDLE Pipe)
{
    if (ReadFlag(&Context->Running))
        return STATUS_SUCCESS;

    WriteFlag(&Context->StopRequest, 0);
    KeClearEvent(&Context->ExitEvent);

    if (!NT_SUCCESS(AllocateRingBuffer(&Context->Ring, RingSize)))
        return STATUS_INSUFFICIENT_RESOURCES;

    Context->ReceiveBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, RingSize, WRENLOK_POOL_TAG);
    if (Context->ReceiveBuffer == NULL) {
        FreeRingBuffer(&Context->Ring);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    KeClearEvent(&Context->SpaceEvent);
    Context->ReadSize = ReadSize;
    Context->PipeHandle = Pipe;
    Context->DiscardRemaining = 0;

    /* A kernel handle: no user process can close it or put another object in its slot
       before the reference below, which takes nothing but a thread. */
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE threadHandle;
    NTSTATUS status =
        PsCreateSystemThread(&threadHandle, THREAD_ALL_ACCESS, &attributes, NULL, NULL, TranspThread, Context);
    if (!NT_SUCCESS(status)) {
        FreeReceiveStorage(Context);
        return status;
    }

    /* ntoskrnl exports the thread type's POBJECT_TYPE itself, and the DDK headers we
       build with import it as a POBJECT_TYPE*: the imported value is the type.
       *PsThreadType would pass the type's first word, which every reference then
       fails (or, on Wine, faults on). */
    status = ObReferenceObjectByHandle(threadHandle, THREAD_ALL_ACCESS, reinterpret_cast<POBJECT_TYPE>(PsThreadType),
                                       KernelMode, &Context->ThreadObject, NULL);
    if (NT_SUCCESS(status)) {
        ZwClose(threadHandle);
        WriteFlag(&Context->Running, 1);
        InterlockedExchange(&Context->RingOpen, 1);
        DebugPrint("TranspStartThread: Completed\n");
        return STATUS_SUCCESS;
    }

    /* The thread runs but cannot be waited on by its object: ask it to end, wait for its
       last touch of the context, and give back the handle it was created with. */
    Context->ThreadObject = NULL;
    WriteFlag(&Context->StopRequest, 1);
    KeWaitForSingleObject(&Context->ExitEvent, Executive, KernelMode, FALSE, NULL);
    ZwClose(threadHandle);
    FreeReceiveStorage(Context);
    return status;
}

void TranspStopThread(PReceiveThreadContext Context)
{
    if (ReadFlag(&Context->Running)) {
        CloseRingAndWait(Context);
        WriteFlag(&Context->StopRequest, 1);
        KeWaitForSingleObject(Context->ThreadObject, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(Context->ThreadObject);
        Context->ThreadObject = NULL;
        /* Bytes still in the ring are lost with it. */
        FreeReceiveStorage(Context);
    }
    DebugPrint("TranspStopThread: Completed\n");
}

/* Opens and closes may come from several threads at once: one of them at a time starts or
   stops the pair, so a context is never started or stopped twice over. */
static void AcquireThreadControl(PDEVICE_EXTENSION DeviceExtension)
{
    KeWaitForSingleObject(&DeviceExtension->ThreadControlEvent, Executive, KernelMode, FALSE, NULL);
}

static void ReleaseThreadControl(PDEVICE_EXTENSION DeviceExtension)
{
    KeSetEvent(&DeviceExtension->ThreadControlEvent, IO_NO_INCREMENT, FALSE);
}

NTSTATUS StartReceiveThreads(PDEVICE_EXTENSION DeviceExtension)
{
    AcquireThreadControl(DeviceExtension);

    NTSTATUS status = TranspStartThread(&DeviceExtension->EventThread, EVENT_RING_SIZE, EVENT_READ_SIZE,
                                        DeviceExtension->InterruptPipe);
    if (NT_SUCCESS(status)) {
        status = TranspStartThread(&DeviceExtension->AclThread, ACL_RING_SIZE, ACL_READ_SIZE,
                                   DeviceExtension->BulkInPipe);
        if (!NT_SUCCESS(status))
            TranspStopThread(&DeviceExtension->EventThread);
        else
            status = STATUS_SUCCESS;
    }

    ReleaseThreadControl(DeviceExtension);
    return status;
}

/* An open arrives in the thread of the user process that opens. Windows 2000 wants
   system threads created from the system process only, and XP would put the handle in
   the opening process's table without OBJ_KERNEL_HANDLE: the start is carried to the
   system process by a work item, and the open waits for it at PASSIVE_LEVEL. */
typedef struct _SYSTEM_PROCESS_START {
    PDEVICE_EXTENSION DeviceExtension;
    NTSTATUS Status;
    KEVENT Done;
} SYSTEM_PROCESS_START, *PSYSTEM_PROCESS_START;

static void NTAPI StartThreadsInWorkItem(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    PSYSTEM_PROCESS_START start = (PSYSTEM_PROCESS_START)Context;
    start->Status = StartReceiveThreads(start->DeviceExtension);
    KeSetEvent(&start->Done, IO_NO_INCREMENT, FALSE);
}

NTSTATUS StartReceiveThreadsInSystemProcess(PDEVICE_EXTENSION DeviceExtension)
{
    PIO_WORKITEM item = IoAllocateWorkItem(DeviceExtension->fdo);
    if (item == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    SYSTEM_PROCESS_START start;
    start.DeviceExtension = DeviceExtension;
    start.Status = STATUS_UNSUCCESSFUL;
    KeInitializeEvent(&start.Done, NotificationEvent, FALSE);
    IoQueueWorkItem(item, StartThreadsInWorkItem, DelayedWorkQueue, &start);
    KeWaitForSingleObject(&start.Done, Executive, KernelMode, FALSE, NULL);
    IoFreeWorkItem(item);
    return start.Status;
}

void StopReceiveThreads(PDEVICE_EXTENSION DeviceExtension)
{
    AcquireThreadControl(DeviceExtension);
    TranspStopThread(&DeviceExtension->AclThread);
    TranspStopThread(&DeviceExtension->EventThread);
    ReleaseThreadControl(DeviceExtension);
}

void NTAPI TranspThread(PVOID StartContext)
{
    PReceiveThreadContext context = (PReceiveThreadContext)StartContext;

    DebugPrint("TranspThread: Start\n");
    KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);

    LARGE_INTEGER timeout;
    timeout.QuadPart = ONE_SECOND_TIMEOUT;
    BOOLEAN usbError = FALSE;

    while (!ReadFlag(&context->StopRequest)) {
        if (usbError) {
            DebugPrint("TranspThread: USB ERROR.\n");
            KeDelayExecutionThread(KernelMode, FALSE, &timeout);
            usbError = FALSE;
            continue;
        }

        /* Cleared before the test, so a read that makes room in between still wakes us. */
        KeClearEvent(&context->SpaceEvent);
        if (RingBytesFree(&context->Ring) < context->ReadSize) {
            DebugPrint("TranspThread: Receive buffer is full.\n");
            KeWaitForSingleObject(&context->SpaceEvent, Executive, KernelMode, FALSE, &timeout);
            continue;
        }

        ULONG length = context->ReadSize;
        NTSTATUS status = UsbReceive(context, context->ReceiveBuffer, &length);
        if (!NT_SUCCESS(status))
            usbError = TRUE;
        else if (length != 0)
            WriteRingBuffer(&context->Ring, context->ReceiveBuffer, &length);
    }

    WriteFlag(&context->Running, 0);
    KeSetEvent(&context->ExitEvent, IO_NO_INCREMENT, FALSE);
    DebugPrint("TranspThread: Terminate\n");
    PsTerminateSystemThread(STATUS_SUCCESS);
}
