/* Programs on the host machine: a program built for the machine is a module
   with a C entry (main); running it loads it from the machine's drive, makes
   it the process's program for the Win32 calls, calls main with its Windows
   path as the only argument and returns main's result (-1 when it cannot
   be loaded). */
#pragma once

#include "win32/windows.h"

WIN32_HOST_API int Win32HostRunProgram(const char* windowsPath);
/* The same with a command line of its own, as a shell or CreateProcess
   gives one: GetCommandLineA returns it, and main gets it split as the C
   runtime splits it (the first argument up to the next quote when it
   starts with one, else up to a blank; then blank-separated arguments with
   quotes and backslashes as the runtime reads them). The module loaded is
   still the one windowsPath names. */
WIN32_HOST_API int Win32HostRunProgramWithCommandLine(const char* windowsPath,
                                                      const char* commandLine);
