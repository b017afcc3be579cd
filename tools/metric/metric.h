/*
 * Marrick: names the network connection of every Bluetooth IP adapter and
 * gives its TCP/IP interface the metric 25.
 */
#pragma once

#include <windows.h>
#include <setupapi.h>

/* The Bluetooth IP adapter's first hardware identifier. */
#define BLUETOOTH_IP_HARDWARE_ID "{ef1e4740-9554-11d6-8d2b-0090cc083aa5}\\ven_1&dev_0&subsys_1"

#define BLUETOOTH_CONNECTION_NAME "Bluetooth IP Connection"
#define BLUETOOTH_INTERFACE_METRIC 25

#define CONNECTION_KEY_FORMAT "SYSTEM\\CurrentControlSet\\Control\\Network\\%s\\%s\\Connection"
#define INTERFACE_KEY_FORMAT  "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\%s"

/* The whole run; always 0. */
int RunMetric(void);

/* TRUE when at least one adapter was updated; otherwise the last error says why. */
BOOL UpdateBluetoothAdapters(void);
BOOL IsBluetoothIpAdapter(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData);
/* TRUE when both the connection key and the interface key were reached. */
BOOL UpdateAdapterRegistry(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData);
/* "<label>: <code>:<system text>" on standard error; nothing when the system has no text. */
void ReportError(LPCSTR Label);
