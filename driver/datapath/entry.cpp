/*
 * Driver entry: reads the configuration, installs AddDevice and the dispatch
 * routines, and nothing more; devices are created by TranspAddDevice. Also the
 * unload routine and CompleteRequest, with which every dispatch routine ends
 * its own requests.
 */
#include "../wrenlok.h"

/*
 * DriverEntry, its banner and its final message are needed once and live in
 * the discardable INIT section. gcc refuses code and data in one named section,
 * so they go into two $-suffixed pieces that the PE linker merges into INIT.
 */
#define INIT_CODE __attribute__((section("INIT$code")))
#define INIT_DATA __attribute__((section("INIT$data")))

INIT_DATA static const char EntryBanner[] =
    "\n\n!!  Bluetooth USB Tranport Layer Driver start  !!\n\nDriverEntry: RegistryPath is %T\n";
INIT_DATA static const char EntryCompleted[] = "DriverEntry completed\n";

extern "C" INIT_CODE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    /* The switch comes from the registry, so nothing is printed before it is read. */
    NTSTATUS status = TranspGetRegistryConfiguration(&RegistryConfiguration, RegistryPath);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    DebugPrint(EntryBanner, RegistryPath);

    /* Cleanup and internal device control stay with the I/O manager's default. */
    DriverObject->DriverExtension->AddDevice = TranspAddDevice;
    DriverObject->DriverUnload = TranspUnload;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = TranspCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = TranspClose;
    DriverObject->MajorFunction[IRP_MJ_PNP] = TranspPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = TranspPower;
    DriverObject->MajorFunction[IRP_MJ_READ] = TranspRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = TranspWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceIoControl;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = TranspSystemControl;

    DebugPrint(EntryCompleted);
    return STATUS_SUCCESS;
}

/* Device objects are gone by now: removal deleted them. */
void TranspUnload(PDRIVER_OBJECT DriverObject)
{
    DebugPrint("\n\n!!  Bluetooth USB Tranport layer Driver unload  !!\n\n");
}

/* Returns the status it stored, so a dispatch routine can complete and return in one step. */
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}
