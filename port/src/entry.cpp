// The plug-in's exports: the object a stack asks for by its identifier, and
// the registration entries a stack may call.
#include <new>

#include "internal.h"

extern "C" {

LONG WINAPI LoDllGetObject(const char* identifier, IZmbPort** object) {
  if (identifier == nullptr || identifier[0] == '\0' || object == nullptr) return ZMB_E_INVALIDARG;
  // Never a non-null object with a failure.
  *object = nullptr;
  if (!celvane::EqualIgnoringCase(identifier, ZMB_PORT_OBJECT_USB)) return ZMB_E_NOTSUPPORTED;
  IZmbPort* port = ZmbPort_USB_Win32__ThreadSafe::create();
  if (port == nullptr) return ZMB_E_OUTOFMEMORY;
  *object = port;
  return ZMB_OK;
}

// Nothing to register: one body serves both entries (the other is an alias).
LONG WINAPI LoDllRegister(void) { return 0; }

#ifndef _WIN32
LONG WINAPI LoDllUnregister(void) __attribute__((alias("LoDllRegister")));
#endif

// The library's load and unload notifications have nothing to do.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reason;
  (void)reserved;
  return TRUE;
}

}  // extern "C"
