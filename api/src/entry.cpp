// The library's entry point: it remembers the module handle and always
// reports success. The platform's loader calls it at process attach and
// detach, on the host as on Windows.
#include <atomic>

#include "internal.h"

namespace {

std::atomic<HMODULE> module{nullptr};

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) module.store(instance);
  return TRUE;
}

namespace tavrix {

HMODULE Module() { return module.load(); }

}  // namespace tavrix
