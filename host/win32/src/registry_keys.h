// Open registry keys for the other parts of the subset (SetupAPI opens a
// device's driver key).
#pragma once

#include <string>

#include "win32/windows.h"

namespace win32host {

// A new handle on a key of the machine's store, by its store path.
HKEY OpenStoreKey(const std::string& path);

}  // namespace win32host
