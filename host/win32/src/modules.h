// The loader's view of a module, for the other parts of the subset (the
// resource loader reads a module's compiled resources through it).
#pragma once

#include <cstddef>
#include <cstdint>

#include "win32/windows.h"

namespace win32host {

// The compiled resources of a loaded module (the process's program when
// module is null); false when the handle names no module. A module without
// resources has an empty block.
bool ModuleResources(HMODULE module, const uint8_t** data, size_t* bytes);

}  // namespace win32host
