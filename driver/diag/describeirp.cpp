/*
 * The %I directive: names an IRP's current stack location, with the minor
 * function and its few interesting parameters for power, WMI and PnP requests.
 */
#include "format.h"
#include "nametables.h"

/*
 * Power states and relation types come from other drivers and may lie outside
 * their enumerations, so they are read as the raw 32-bit value they are.
 */
static ULONG RawValue(const void *Field)
{
    ULONG value;
    RtlCopyMemory(&value, Field, sizeof(value));
    return value;
}

static const char *PowerStateName(const IO_STACK_LOCATION *Stack)
{
    ULONG state = RawValue(&Stack->Parameters.Power.State);
    if (RawValue(&Stack->Parameters.Power.Type) == SystemPowerState) {
        return state < SystemPowerStateNameCount ? SystemPowerStateNames[state] : NULL;
    }
    return state < DevicePowerStateNameCount ? DevicePowerStateNames[state] : NULL;
}

BOOLEAN DescribeIrp(POutputCursor Cursor, PIRP Irp)
{
    if (Irp == NULL) {
        return PutString(Cursor, "(null)", 0);
    }
    const IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG major = stack->MajorFunction;
    ULONG minor = stack->MinorFunction;
    const char *minorName = NULL;
    const char *action = NULL;
    const char *state = NULL;

    if (major >= MajorFunctionNameCount) {
        return FALSE;
    }
    if (PutString(Cursor, MajorFunctionNames[major], 0)) {
        return TRUE;
    }

    switch (major) {
    case IRP_MJ_POWER:
        if (minor < PowerMinorFunctionNameCount) {
            minorName = PowerMinorFunctionNames[minor];
        }
        if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) {
            action = minor == IRP_MN_SET_POWER ? "Set Power" : "Query Power";
            state = PowerStateName(stack);
        }
        break;
    case IRP_MJ_SYSTEM_CONTROL:
        if (minor >= WmiMinorFunctionNameCount) {
            return FALSE;
        }
        minorName = WmiMinorFunctionNames[minor];
        break;
    case IRP_MJ_PNP:
        if (minor < PnpMinorFunctionNameCount) {
            minorName = PnpMinorFunctionNames[minor];
        } else if (PutChar(Cursor, ':') || PutHex(Cursor, minor, 8)) {
            return TRUE;
        }
        if (minor == IRP_MN_QUERY_DEVICE_RELATIONS) {
            ULONG relation = RawValue(&stack->Parameters.QueryDeviceRelations.Type);
            if (relation < DeviceRelationNameCount) {
                action = DeviceRelationNames[relation];
            }
        }
        break;
    default:
        return FALSE;
    }

    if (minorName != NULL && (PutChar(Cursor, ':') || PutString(Cursor, minorName, 0))) {
        return TRUE;
    }
    if (action != NULL && (PutChar(Cursor, ' ') || PutString(Cursor, action, 0))) {
        return TRUE;
    }
    if (state != NULL && (PutChar(Cursor, ' ') || PutString(Cursor, state, 0))) {
        return TRUE;
    }
    return FALSE;
}
