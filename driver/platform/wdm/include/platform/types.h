// Storage of the synchronisation objects on the Windows kernel, sized and
// aligned for the kernel structures of the architecture being built. The
// driver logic sees only bytes; the kernel side (wdm/) checks every size
// against the kernel headers, so the logic never needs those headers itself.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace plat {

#if defined(_WIN64)
inline constexpr size_t kMutexBytes = 24;      // KEVENT (synchronization)
inline constexpr size_t kEventBytes = 24;      // KEVENT
inline constexpr size_t kHoldQueueBytes = 40;  // lock, list head, owner callback and context
#else
inline constexpr size_t kMutexBytes = 16;
inline constexpr size_t kEventBytes = 16;
inline constexpr size_t kHoldQueueBytes = 20;
#endif

struct SpinLock {
  uintptr_t lock;  // KSPIN_LOCK
};
struct Mutex {
  alignas(8) unsigned char storage[kMutexBytes];
};
struct Event {
  alignas(8) unsigned char storage[kEventBytes];
};
struct HoldQueue {
  alignas(8) unsigned char storage[kHoldQueueBytes];
};
struct InterfaceName {
  uint16_t length;  // UNICODE_STRING: bytes in use, bytes allocated, text
  uint16_t maximumLength;
  char16_t* buffer;
};

}  // namespace plat
