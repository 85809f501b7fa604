// Compile-time proof that the records the service sizes with sizeof have the
// layout of the Windows data model it is built for. The code fills in cbSize
// and dbcc_size fields and steps through arrays with sizeof; the system reads
// those records with these exact sizes, so a header or packing mismatch must
// stop the build rather than reach a machine.
#include <cstddef>

#include "platform/win32_api.h"

#ifndef _WIN32
#error "record_layout.cpp belongs to the Windows build only"
#endif

#if defined(_WIN64)
static_assert(sizeof(void*) == 8);
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32);
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) == 4);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 8);
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == 32);
static_assert(sizeof(PORT_INFO_2W) == 32);
static_assert(sizeof(SERVICE_STATUS) == 7 * 4);
#else
static_assert(sizeof(void*) == 4);
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28);
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) == 4);
// setupapi.h packs this record to 1 byte on 32-bit Windows: DWORD + one WCHAR.
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 6);
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == 32);
static_assert(sizeof(PORT_INFO_2W) == 5 * 4);
static_assert(sizeof(SERVICE_STATUS) == 7 * 4);
#endif

// Layout facts that hold on both: the device path in a notification record
// starts after the header and the class GUID, and WCHAR is 2 bytes.
static_assert(sizeof(WCHAR) == 2);
static_assert(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) == 28);
static_assert(sizeof(DEV_BROADCAST_HDR) == 12);
