// Deleting a file now, or at the next restart of the PC when it cannot go
// now: through the platform's delayed move on the NT family from 4.0 on,
// through Wininit.ini's [rename] list on the legacy family.
#pragma once

#include "win32/windows.h"

namespace menvok {

// True when the file was deleted or its deletion scheduled; *scheduled says
// which. With `defer` no immediate deletion is tried. The last error is left
// as the steps set it (ERROR_SUCCESS_REBOOT_REQUIRED after Wininit.ini).
bool DeleteFileOrScheduleOnReboot(const char* path, bool defer, bool* scheduled);

// directory + "\" (unless it ends in one) + name into out (MAX_PATH
// characters); false when any of the three is missing or the result does not
// fit.
bool JoinPath(char* out, const char* directory, const char* name);

}  // namespace menvok
