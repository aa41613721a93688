// The library's entry point: it remembers the module handle and always
// reports success.
#include <atomic>

#include "internal.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

namespace {

std::atomic<HMODULE> module{nullptr};

}  // namespace

extern "C" {

#ifndef _WIN32
__attribute__((visibility("default")))
#endif
BOOL WINAPI
DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) module.store(instance);
  return TRUE;
}

}  // extern "C"

namespace tavrix {

HMODULE Module() {
#ifndef _WIN32
  // The host's dynamic loader does not call DllMain; the module handle is
  // then the library's load address, as an instance handle is on Windows.
  if (module.load() == nullptr) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&DllMain), &info) != 0)
      module.store(static_cast<HMODULE>(info.dli_fbase));
  }
#endif
  return module.load();
}

}  // namespace tavrix
