#pragma once
#define USB_SUBMIT_URB          0
#define USB_RESET_PORT          1
#define USB_GET_ROOTHUB_PDO     3
#define USB_GET_PORT_STATUS     4
#define USB_ENABLE_PORT         5
#define USB_GET_HUB_COUNT       6
#define USB_CYCLE_PORT          7
#define USB_GET_HUB_NAME        8
#define USB_IDLE_NOTIFICATION   9
#define USB_GET_BUS_INFO        264
#define USB_GET_CONTROLLER_NAME 265
