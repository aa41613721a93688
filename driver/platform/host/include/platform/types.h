// Storage of the synchronisation objects on the host machine: each points at
// the host kernel's own object, made at init and freed at destroy.
#pragma once

namespace plat {

struct SpinLock {
  void* impl;
};
struct Mutex {
  void* impl;
};
struct Event {
  void* impl;
};
struct HoldQueue {
  void* impl;
};
struct InterfaceName {
  char16_t* link;  // the interface's symbolic link, owned by this name
};

}  // namespace plat
