// Compiled into every host deliverable (tower_module() adds it last, so the
// module's own static objects are built before DllMain runs, as the C
// runtime's start-up does on Windows). It is the host's counterpart of the
// image loader's notifications: mapped -> DLL_PROCESS_ATTACH, unmapped ->
// DLL_PROCESS_DETACH, whether the module was linked by the program or
// loaded by LoadLibraryA.
#include "win32/host_module.h"

// Bound inside the module (hidden), so that a DllMain of another module can
// never stand in for this one; null when the module has none.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
    __attribute__((weak, visibility("hidden")));

// The module's compiled resources, when tower_add_resources() embedded them.
extern "C" const unsigned char tower_module_resources[] __attribute__((weak, visibility("hidden")));
extern "C" const unsigned char tower_module_resources_end[]
    __attribute__((weak, visibility("hidden")));

// The exports its .def file numbers, when tower_host_ordinals() generated
// their table.
extern "C" const WIN32_HOST_EXPORT tower_module_ordinals[]
    __attribute__((weak, visibility("hidden")));

namespace {

HMODULE self = nullptr;

__attribute__((constructor)) void Mapped() {
  WIN32_HOST_MODULE module{};
  module.anchor = reinterpret_cast<const void*>(&Mapped);
  module.entry = DllMain;
  if (tower_module_resources != nullptr && tower_module_resources_end != nullptr) {
    module.resources = tower_module_resources;
    module.resourceBytes = static_cast<size_t>(tower_module_resources_end - tower_module_resources);
  }
  module.ordinals = tower_module_ordinals;
  self = Win32HostModuleMapped(&module);
}

__attribute__((destructor)) void Unmapping() { Win32HostModuleUnmapping(self); }

}  // namespace
