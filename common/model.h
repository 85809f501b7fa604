// Names and identifiers shared by the subsystems.
#pragma once

#include "platform/win32_api.h"

// The printer model: the name of its spooler queue and the port description
// its USB print interface reports.
inline constexpr char kModelName[] = "KX310MQ47H";
inline constexpr wchar_t kModelNameWide[] = L"KX310MQ47H";

// The device interface class of every USB device,
// {A5DCBF10-6530-11D2-901F-00C04FB951ED}. Defined here rather than taken from
// usbiodef.h so that no extra SDK header is needed.
inline constexpr GUID kUsbDeviceInterfaceClass = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

// The status values the queue is given.
inline constexpr DWORD kStatusDoorOpen = PRINTER_STATUS_DOOR_OPEN;
inline constexpr DWORD kStatusPaperOut = PRINTER_STATUS_PAPER_OUT;
inline constexpr DWORD kStatusUserIntervention = PRINTER_STATUS_USER_INTERVENTION;
inline constexpr DWORD kStatusOffline = PRINTER_STATUS_OFFLINE;
