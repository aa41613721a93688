// Storage of the synchronisation objects on the Windows kernel, sized for the
// i686 kernel structures (checked against ntddk.h where they are used).
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
  uintptr_t lock;  // KSPIN_LOCK guarding the list
  void* head;      // LIST_ENTRY of held IRPs
  void* tail;
  void (*onCancel)(void*, struct Request*);
  void* context;
};
struct InterfaceName {
  uint16_t length;  // UNICODE_STRING
  uint16_t maximumLength;
  char16_t* buffer;
};

}  // namespace plat
