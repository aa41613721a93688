/* Programs on the host machine: a program built for the machine is a module
   with a C entry (main); running it loads it from the machine's drive, makes
   it the process's program for the Win32 calls, calls main with its Windows
   path as the only argument and returns main's result (-1 when it cannot
   be loaded). */
#pragma once

#include "win32/windows.h"

WIN32_HOST_API int Win32HostRunProgram(const char* windowsPath);
