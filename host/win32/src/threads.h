// What the Win32 subset's thread and message-queue halves share.
#pragma once

#include "win32/windows.h"

namespace win32host {

// Called by a thread made with CreateThread when its start routine has
// returned, before its handle is signalled: its message queue goes with it,
// so posts to its id fail from then on, as they do on Windows.
void DropCurrentThreadQueue();

}  // namespace win32host
