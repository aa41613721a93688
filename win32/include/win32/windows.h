// The one Win32 include point. On Windows it is the platform's
// own headers; on the host it is the host machine's declarations of the same
// names, with the same widths (DWORD, LONG and ULONG are 32 bits, BOOL is an
// int, a HANDLE is a pointer) and the 32-bit Windows record layouts.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// clang-format off
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <commctrl.h>
#include <prsht.h>
#include <cpl.h>
// clang-format on
#else
#include "win32/host_api.h"
#endif
