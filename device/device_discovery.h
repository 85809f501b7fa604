// Recognising the model's printer among USB devices, and opening it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/unique_resource.h"

// The registry key name of the USB print interface that belongs to the device
// with interface path `path`: the path with every "\" made "#", cut at its
// last "#", followed by the print interface class. Empty when `path` has no
// "#" or "\" to cut at, or nothing before the cut.
std::wstring PrintInterfaceKeyName(std::wstring_view path);

// True when the device interface path carries the model's USB numbers
// (vendor "0483", product "5741"; case-sensitive substrings), whether or not
// its print interface is known yet.
bool HasModelUsbNumbers(std::wstring_view path);

// What the device's print interface reports as its "Port Description".
enum class PrintInterface {
  Unknown,     // no print interface, or no description yet (its driver writes it late)
  Model,       // the model name: the model's printer
  OtherModel,  // another name: another printer on the same USB chip
};
// Reads only the registry, never the device, so it also answers for a device
// that has just been unplugged.
PrintInterface ReadPrintInterface(std::wstring_view path);
// True when the device's print interface reports the model name.
bool IsModelDevice(std::wstring_view path);

// Finds the first present USB device that carries the model's USB numbers and
// whose print interface reports the model name, and opens it for exclusive,
// unbuffered, synchronous access. Holds nothing when there is none or the open
// fails. With `path`, also gives the device interface path of the printer
// found.
UniqueHandle OpenPrinterDevice(std::wstring* path = nullptr);

// The interface paths of the present USB devices that carry the model's USB
// numbers, in the Setup API's order.
std::vector<std::wstring> PresentModelUsbDevices();
