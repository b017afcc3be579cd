/*
 * Routines the lifecycle files share among themselves: passing Plug and Play
 * requests down, the start and stop sequences, the power handlers and the
 * USB descriptor reads behind the configuration select.
 */
#pragma once

#include "wrenlok.h"

/* Plug and Play (pnp.cpp, pnpstart.cpp, forward.cpp) */
NTSTATUS ForwardIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ForwardIrpAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);
const char *PnpMinorFunctionString(UCHAR MinorFunction);
NTSTATUS PnpStartDeviceHandler(PDEVICE_EXTENSION DeviceExtension, PIRP Irp);
NTSTATUS PnpQueryCapabilitiesHandler(PDEVICE_EXTENSION DeviceExtension, PIRP Irp);
void PnpStopDevice(PDEVICE_EXTENSION DeviceExtension);

/* Power (power.cpp, powerup.cpp) */
DEVICE_POWER_STATE DevicePowerForSystemState(SYSTEM_POWER_STATE SystemState);
NTSTATUS SetPowerHandler(PDEVICE_EXTENSION DeviceExtension, PIRP Irp);
NTSTATUS DefaultPowerHandler(PDEVICE_EXTENSION DeviceExtension, PIRP Irp);
NTSTATUS NTAPI OnCompleteIncreaseSystemPower(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS NTAPI OnCompleteIncreaseDevicePower(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
void NTAPI OnCompleteDeviceSetPowerIncrease(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                            POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus);
void NTAPI OnCompleteDeviceSetPowerDecrease(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                            POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus);

/* USB configuration (usbconfig.cpp, usbdescriptor.cpp, usbdump.cpp) */
NTSTATUS UsbGetConfigurationDescriptors(PDEVICE_EXTENSION DeviceExtension,
                                        PUSB_CONFIGURATION_DESCRIPTOR *Descriptors, UCHAR Index,
                                        PULONG Size);
NTSTATUS UsbGetSpecifiedDescriptor(PDEVICE_EXTENSION DeviceExtension, PVOID *Descriptor, UCHAR Type,
                                   PULONG Size);
void UsbDumpInterface(PUSBD_INTERFACE_INFORMATION Interface);

/* A descriptor read and the deselect both live in one URB of this size. */
#define DESCRIPTOR_URB_SIZE sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)
