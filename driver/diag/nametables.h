/* Readable names of IRP function codes and power states, each table with its bound. */
#pragma once

#include <ntddk.h>

extern const char *const MajorFunctionNames[];
extern const ULONG MajorFunctionNameCount;

extern const char *const PnpMinorFunctionNames[];
extern const ULONG PnpMinorFunctionNameCount;

extern const char *const PowerMinorFunctionNames[];
extern const ULONG PowerMinorFunctionNameCount;

extern const char *const WmiMinorFunctionNames[];
extern const ULONG WmiMinorFunctionNameCount;

extern const char *const SystemPowerStateNames[];
extern const ULONG SystemPowerStateNameCount;

extern const char *const DevicePowerStateNames[];
extern const ULONG DevicePowerStateNameCount;

/* By Parameters.QueryDeviceRelations.Type. */
extern const char *const DeviceRelationNames[];
extern const ULONG DeviceRelationNameCount;
