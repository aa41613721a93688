// What the plug-in's sources share.
#pragma once

#include "Celvane.h"
#include "Tavrix.h"

// The entry point the platform calls at process attach and detach.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

namespace celvane {

using Port = ZmbPort_USB_Win32__ThreadSafe;

// ASCII letters compared without case; the command words and the object
// identifier are ASCII.
bool EqualIgnoringCase(const char* a, const char* b);

// The whole-second clock the port's two waits (the queue probe and abort)
// measure with.
DWORD ClockSeconds();

// Fills a descriptor's path from the search's current tower, or, when the
// path cannot be copied, from the descriptor's position.
void FillPath(QIROTOWER_FIND* find, _ZMBPORTDESC* descriptor);

}  // namespace celvane
