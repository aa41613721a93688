/* Quenta: the tower's setup library. It removes old tower device entries,
   installs the driver's INF from a source directory and makes Plug and Play
   scan the device tree again. */
#pragma once

#include "win32/windows.h"

#ifdef __cplusplus
#define QUENTA_EXTERN extern "C"
#else
#define QUENTA_EXTERN extern
#endif
#if defined(QUENTA_BUILD) && !defined(_WIN32)
#define QUENTA_API QUENTA_EXTERN __attribute__((visibility("default")))
#else
#define QUENTA_API QUENTA_EXTERN
#endif

/* Result codes of QIROTowerSetup. */
#define QIROTOWER_SETUP_OK 0
#define QIROTOWER_SETUP_UNSUPPORTED_WINDOWS (-1)
#define QIROTOWER_SETUP_COPY_FAILED (-5)
#define QIROTOWER_SETUP_NO_SOURCE_DIRECTORY (-8)
#define QIROTOWER_SETUP_NO_VERSION (-9)

/* Installs the driver from `source` (a directory holding Ostrel.inf); the two
   reserved arguments are 0. Returns one of the codes above. */
QUENTA_API LONG WINAPI QIROTowerSetup(DWORD reserved1, LPCSTR source, DWORD reserved2);
/* Scans the whole device tree again; 1 when the scan was carried out. */
QUENTA_API LONG WINAPI QIROTowerReenumerateUSB(void);
/* One stored value that nothing in the library calls or reads otherwise. */
QUENTA_API LONG WINAPI QIROTowerSetupSetCallback(ULONG_PTR callback);
QUENTA_API ULONG_PTR WINAPI QIROTowerSetupGetCallback(void);
