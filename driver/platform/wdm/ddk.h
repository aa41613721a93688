// The kernel headers, for the Windows side of the platform only. The driver
// logic never includes them.
//
// Order matters: the driver's own status constants come first (they refuse to
// follow the kernel's macros of the same names), so this header is included
// after platform/platform.h, and from here on the kernel's STATUS_* macros are
// the ones in force. Code below this point names statuses only through them.
#pragma once

#include "platform/platform.h"

// The kernel headers define these two themselves; the compiler's intrinsic
// header would define them a second time.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
// The x64 headers build their store fence on an SSE builtin, which the
// kernel's no-SSE code generation lacks; a locked no-op on the stack orders
// stores just as well and needs no vector state.
#if defined(__x86_64__)
#define __INTRINSIC_DEFINED___faststorefence
static inline void __faststorefence(void) {
  __asm__ __volatile__("lock orl $0, (%%rsp)" ::: "memory");
}
#endif
// Keep the pool tag: without this the headers route tagged allocations to the
// untagged call.
#define POOL_TAGGING 1

#include <ntddk.h>

#include <usb.h>
#include <usbioctl.h>
// The USB library's header declares its routines without C linkage.
extern "C" {
#include <usbdlib.h>
}

namespace plat {

// Every pool block of the driver carries this tag ("Wdm " read as bytes).
inline constexpr ULONG kWdmPoolTag = tower::kPoolTag;
static_assert(tower::kPoolTag == 0x206D6457u);

// The storage the logic holds must fit the kernel objects placed in it.
static_assert(sizeof(::KSPIN_LOCK) == sizeof(SpinLock));
static_assert(sizeof(::KEVENT) == sizeof(Mutex::storage));
static_assert(alignof(::KEVENT) <= alignof(Mutex));
static_assert(sizeof(::KEVENT) == sizeof(Event::storage));
static_assert(alignof(::KEVENT) <= alignof(Event));
static_assert(sizeof(::UNICODE_STRING) == sizeof(InterfaceName));
static_assert(offsetof(::UNICODE_STRING, Length) == offsetof(InterfaceName, length));
static_assert(offsetof(::UNICODE_STRING, MaximumLength) == offsetof(InterfaceName, maximumLength));
static_assert(offsetof(::UNICODE_STRING, Buffer) == offsetof(InterfaceName, buffer));
static_assert(sizeof(wchar_t) == sizeof(char16_t));
static_assert(sizeof(::GUID) == sizeof(tower::Guid));

// Spin locks by the routines each architecture's kernel exports: the x86
// kernel has the fastcall pair, the x64 kernel only the raise-to-dispatch
// acquire and the plain release.
inline KIRQL AcquireSpin(::KSPIN_LOCK* lock) {
#if defined(_WIN64)
  return KeAcquireSpinLockRaiseToDpc(lock);
#else
  return KfAcquireSpinLock(lock);
#endif
}
inline void ReleaseSpin(::KSPIN_LOCK* lock, KIRQL previous) {
#if defined(_WIN64)
  KeReleaseSpinLock(lock, previous);
#else
  KfReleaseSpinLock(lock, previous);
#endif
}

inline ::KEVENT* K(Mutex* mutex) { return reinterpret_cast<::KEVENT*>(mutex->storage); }
inline ::KEVENT* K(Event* event) { return reinterpret_cast<::KEVENT*>(event->storage); }
inline ::KSPIN_LOCK* K(SpinLock* lock) { return reinterpret_cast<::KSPIN_LOCK*>(&lock->lock); }
inline ::IRP* K(Request* request) { return reinterpret_cast<::IRP*>(request); }
inline Request* R(::IRP* irp) { return reinterpret_cast<Request*>(irp); }
inline ::DEVICE_OBJECT* K(Device* device) { return reinterpret_cast<::DEVICE_OBJECT*>(device); }
inline Device* D(::DEVICE_OBJECT* device) { return reinterpret_cast<Device*>(device); }
inline ::DRIVER_OBJECT* K(Driver* driver) { return reinterpret_cast<::DRIVER_OBJECT*>(driver); }
inline ::URB* K(TransferBlock* block) { return reinterpret_cast<::URB*>(block); }

// A counted string over terminated 16-bit text; the text is not copied.
inline ::UNICODE_STRING CountedText(const char16_t* text) {
  ::UNICODE_STRING counted{};
  if (text == nullptr) return counted;
  size_t chars = 0;
  while (text[chars] != 0) ++chars;
  // Longer text does not fit a counted string: cut it at the largest length.
  const size_t maxChars = 0xFFFE / sizeof(WCHAR) - 1;
  if (chars > maxChars) chars = maxChars;
  counted.Length = static_cast<USHORT>(chars * sizeof(WCHAR));
  counted.MaximumLength = static_cast<USHORT>(counted.Length + sizeof(WCHAR));
  counted.Buffer = const_cast<PWSTR>(reinterpret_cast<const WCHAR*>(text));
  return counted;
}

// Fills a block with zeroes. A loop the compiler cannot turn into a call to
// the C runtime's memset, which the kernel images of old do not all export.
inline void Zero(void* block, size_t bytes) {
  auto* p = static_cast<volatile UCHAR*>(block);
  for (size_t i = 0; i < bytes; ++i) p[i] = 0;
}

inline void Copy(void* to, const void* from, size_t bytes) {
  auto* d = static_cast<volatile UCHAR*>(to);
  const auto* s = static_cast<const UCHAR*>(from);
  for (size_t i = 0; i < bytes; ++i) d[i] = s[i];
}

// Completion routine of a request the sender waits for: signals the KEVENT
// given as context and keeps the request, which goes back to its sender (to
// free, or to complete again).
::NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID event);

}  // namespace plat
