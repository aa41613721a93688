/* How a host deliverable meets the host machine's module loader. Every
   shared library built with tower_module() carries host/win32/module/attach.cpp,
   which announces the library to the loader as soon as the dynamic linker has
   mapped it (linked by a program or loaded by LoadLibraryA), and withdraws it
   when it is unmapped. The loader then calls the module's DllMain, as Windows
   does, and serves its resources. Not part of the Win32 subset's names. */
#pragma once

#include "win32/host_api.h"

typedef BOOL(WINAPI* WIN32_HOST_DLLMAIN)(HINSTANCE instance, DWORD reason, LPVOID reserved);

/* One row of a module's export list (.def) that carries an ordinal; the
   generated table tower_host_ordinals() builds ends with a row of ordinal 0. */
typedef struct WIN32_HOST_EXPORT {
  unsigned short ordinal; /* 1 to 65535 */
  const char* symbol;     /* the function's name in the host library */
  int noName;             /* NONAME: reachable by its ordinal only */
} WIN32_HOST_EXPORT;

typedef struct WIN32_HOST_MODULE {
  const void* anchor;             /* any address inside the module */
  WIN32_HOST_DLLMAIN entry;       /* the module's DllMain, or null when it has none */
  const unsigned char* resources; /* the module's compiled resources (.res), or null */
  size_t resourceBytes;
  const WIN32_HOST_EXPORT* ordinals; /* its exports by ordinal, or null when it has none */
} WIN32_HOST_MODULE;

/* Registers the module and calls its DllMain with DLL_PROCESS_ATTACH.
   Returns the module handle (its load address). */
WIN32_HOST_API HMODULE Win32HostModuleMapped(const WIN32_HOST_MODULE* module);
/* Calls DllMain with DLL_PROCESS_DETACH (once) and forgets the module. */
WIN32_HOST_API void Win32HostModuleUnmapping(HMODULE module);

/* Whether the machine's fault facility refuses this C runtime allocation
   ("malloc", "calloc", "realloc" or "new") of the module that holds `anchor`
   (host/win32/module/crt.cpp asks it for every one); nonzero: refused. */
WIN32_HOST_API int Win32HostAllocationRefused(const char* call, const void* anchor);
