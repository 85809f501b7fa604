// Move-only owners for the handles, keys and buffers the service opens.
//
// Each owner closes what it holds exactly once, with the call that belongs to
// that kind of handle. A default-constructed owner holds nothing.
#pragma once

#include <utility>

#include "platform/win32_api.h"

template <typename Traits>
class UniqueResource {
 public:
  using Value = typename Traits::Value;

  UniqueResource() noexcept : value_(Traits::Empty()) {}
  explicit UniqueResource(Value value) noexcept : value_(Traits::IsValid(value) ? value : Traits::Empty()) {}
  UniqueResource(UniqueResource&& other) noexcept : value_(other.Release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  ~UniqueResource() { Reset(); }

  [[nodiscard]] Value Get() const noexcept { return value_; }
  [[nodiscard]] bool IsValid() const noexcept { return Traits::IsValid(value_); }
  explicit operator bool() const noexcept { return IsValid(); }

  // Closes what is held (if anything) and takes ownership of `value`.
  void Reset(Value value = Traits::Empty()) noexcept {
    const Value old = std::exchange(value_, Traits::IsValid(value) ? value : Traits::Empty());
    if (Traits::IsValid(old)) Traits::Close(old);
  }
  [[nodiscard]] Value Release() noexcept { return std::exchange(value_, Traits::Empty()); }

 private:
  Value value_;
};

// Kernel objects: files, devices, events, threads. Both null and
// INVALID_HANDLE_VALUE mean "none", since calls differ in which they return.
struct KernelHandleTraits {
  using Value = HANDLE;
  static Value Empty() noexcept { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Value v) noexcept { return v != nullptr && v != INVALID_HANDLE_VALUE; }
  static void Close(Value v) noexcept { CloseHandle(v); }
};
using UniqueHandle = UniqueResource<KernelHandleTraits>;

struct PrinterHandleTraits {
  using Value = HANDLE;
  static Value Empty() noexcept { return nullptr; }
  static bool IsValid(Value v) noexcept { return v != nullptr && v != INVALID_HANDLE_VALUE; }
  static void Close(Value v) noexcept { ClosePrinter(v); }
};
using PrinterHandle = UniqueResource<PrinterHandleTraits>;

struct RegistryKeyTraits {
  using Value = HKEY;
  static Value Empty() noexcept { return nullptr; }
  static bool IsValid(Value v) noexcept { return v != nullptr; }
  static void Close(Value v) noexcept { RegCloseKey(v); }
};
using RegistryKey = UniqueResource<RegistryKeyTraits>;

struct ServiceHandleTraits {
  using Value = SC_HANDLE;
  static Value Empty() noexcept { return nullptr; }
  static bool IsValid(Value v) noexcept { return v != nullptr; }
  static void Close(Value v) noexcept { CloseServiceHandle(v); }
};
using ServiceHandle = UniqueResource<ServiceHandleTraits>;

struct DeviceInfoSetTraits {
  using Value = HDEVINFO;
  static Value Empty() noexcept { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Value v) noexcept { return v != nullptr && v != INVALID_HANDLE_VALUE; }
  static void Close(Value v) noexcept { SetupDiDestroyDeviceInfoList(v); }
};
using DeviceInfoSet = UniqueResource<DeviceInfoSetTraits>;

struct DeviceNotificationTraits {
  using Value = HDEVNOTIFY;
  static Value Empty() noexcept { return nullptr; }
  static bool IsValid(Value v) noexcept { return v != nullptr; }
  static void Close(Value v) noexcept { UnregisterDeviceNotification(v); }
};
using DeviceNotification = UniqueResource<DeviceNotificationTraits>;

struct GlobalMemoryTraits {
  using Value = HGLOBAL;
  static Value Empty() noexcept { return nullptr; }
  static bool IsValid(Value v) noexcept { return v != nullptr; }
  static void Close(Value v) noexcept { GlobalFree(v); }
};
using GlobalMemory = UniqueResource<GlobalMemoryTraits>;

// An event source's handle, from RegisterEventSourceW.
struct EventSourceTraits {
  using Value = HANDLE;
  static Value Empty() noexcept { return nullptr; }
  static bool IsValid(Value v) noexcept { return v != nullptr; }
  static void Close(Value v) noexcept { DeregisterEventSource(v); }
};
using EventSource = UniqueResource<EventSourceTraits>;
