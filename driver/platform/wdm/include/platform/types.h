// Storage of the synchronisation objects on the Windows kernel, sized and
// aligned for the i686 kernel structures. The driver logic sees only bytes;
// the kernel side (wdm/) checks every size against the kernel headers, so the
// logic never needs those headers itself.
#pragma once

#include <stdint.h>

namespace plat {

struct SpinLock {
  uintptr_t lock;  // KSPIN_LOCK
};
struct Mutex {
  alignas(8) unsigned char storage[32];  // KMUTEX
};
struct Event {
  alignas(8) unsigned char storage[16];  // KEVENT
};
struct HoldQueue {
  alignas(8) unsigned char storage[20];  // the queue's lock, list head and owner
};
struct InterfaceName {
  uint16_t length;  // UNICODE_STRING: bytes in use, bytes allocated, text
  uint16_t maximumLength;
  char16_t* buffer;
};

}  // namespace plat
