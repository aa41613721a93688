/* Tavrix: the tower access library.

   Applications find towers with the search functions, open a tower's device
   path themselves (CreateFileA: read and write access, open existing) and pass
   the handle to the control and status functions and to their own reads and
   writes. Every function returns 1 for success and 0 for failure, with the
   reason in the thread's last error (GetLastError); a tower that carried out a
   request but answered with a nonzero status byte gives 0xE2000000 | status.
   The exceptions: QIROTowerFindFirst (a search context or null),
   QIROTowerGetPathName (a text) and QIROTowerGetWin32Error (an error code).

   The control records are the driver's, from tower/ioctl.h. */
#pragma once

#include "tower/ioctl.h"
#include "win32/windows.h"

#ifdef __cplusplus
#define TAVRIX_EXTERN extern "C"
#else
#define TAVRIX_EXTERN extern
#endif

/* The library's own build exports; on Windows its .def file names the
   exports, undecorated. */
#if defined(TAVRIX_BUILD) && !defined(_WIN32)
#define TAVRIX_API TAVRIX_EXTERN __attribute__((visibility("default")))
#else
#define TAVRIX_API TAVRIX_EXTERN
#endif

/* Search modes of QIROTowerFindFirst. */
#define QIROTOWER_FIND_INSTALLED 1 /* every tower ever installed that has a device node */
#define QIROTOWER_FIND_PRESENT 2   /* towers plugged in now */
/* Any other value lists every tower ever installed, plugged in or not. */

/* The error of a tower's nonzero status byte: severity error, customer bit,
   facility 0x200, the status in the low 16 bits. */
#define QIROTOWER_ERROR_BASE 0xE2000000u

/* The search context: made by QIROTowerFindFirst, freed by QIROTowerFindStop.
   Callers treat it as opaque and pass its address. */
typedef struct QIROTOWER_FIND {
  uint32_t DeviceInfoSet;     /* the platform's device-information set; 0 = none */
  uint8_t DeviceInfoData[28]; /* the current element (SP_DEVINFO_DATA, size field 28) */
  uint32_t Index;             /* of the current element, from 0 */
  uint32_t Mode;              /* as given to QIROTowerFindFirst */
  char PathName[260];         /* the current tower's device path; empty when unreadable */
} QIROTOWER_FIND;

#ifdef __cplusplus
static_assert(sizeof(QIROTOWER_FIND) == 300, "QIROTOWER_FIND is 300 bytes");
static_assert(offsetof(QIROTOWER_FIND, DeviceInfoData) == 4, "QIROTOWER_FIND.DeviceInfoData");
static_assert(offsetof(QIROTOWER_FIND, Index) == 32, "QIROTOWER_FIND.Index");
static_assert(offsetof(QIROTOWER_FIND, Mode) == 36, "QIROTOWER_FIND.Mode");
static_assert(offsetof(QIROTOWER_FIND, PathName) == 40, "QIROTOWER_FIND.PathName");
#endif

/* ---- Tower handles and enumeration ----------------------------------------- */
TAVRIX_API QIROTOWER_FIND* WINAPI QIROTowerFindFirst(DWORD mode);
TAVRIX_API BOOL WINAPI QIROTowerFindNext(QIROTOWER_FIND* find);
TAVRIX_API BOOL WINAPI QIROTowerFindPrev(QIROTOWER_FIND* find);
TAVRIX_API BOOL WINAPI QIROTowerFindStop(QIROTOWER_FIND* find);
TAVRIX_API const char* WINAPI QIROTowerGetPathName(QIROTOWER_FIND* find);
TAVRIX_API BOOL WINAPI QIROTowerGetPathNameCopy(QIROTOWER_FIND* find, char* buffer, DWORD size);
TAVRIX_API DWORD WINAPI QIROTowerGetWin32Error(DWORD status);

/* ---- Control and status: settings --------------------------------------------- */
TAVRIX_API BOOL WINAPI QIROTowerSetRange(HANDLE tower, WORD range);
TAVRIX_API BOOL WINAPI QIROTowerGetRange(HANDLE tower, WORD* range);
TAVRIX_API BOOL WINAPI QIROTowerSetLinkMode(HANDLE tower, WORD mode);
TAVRIX_API BOOL WINAPI QIROTowerGetLinkMode(HANDLE tower, WORD* mode);
TAVRIX_API BOOL WINAPI QIROTowerSetEndianness(HANDLE tower, WORD value);
TAVRIX_API BOOL WINAPI QIROTowerGetEndianness(HANDLE tower, WORD* value);
TAVRIX_API BOOL WINAPI QIROTowerSetLedMode(HANDLE tower, BYTE mode);
TAVRIX_API BOOL WINAPI QIROTowerGetLedMode(HANDLE tower, BYTE* mode);
TAVRIX_API BOOL WINAPI QIROTowerSetLedState(HANDLE tower, BYTE led, BYTE state);
TAVRIX_API BOOL WINAPI QIROTowerGetLedState(HANDLE tower, BYTE led, BYTE* state);
TAVRIX_API BOOL WINAPI QIROTowerSetCarrierFrequency(HANDLE tower, WORD frequency);
TAVRIX_API BOOL WINAPI QIROTowerGetCarrierFrequency(HANDLE tower, WORD* frequency);
TAVRIX_API BOOL WINAPI QIROTowerSetCarrierDutyCycle(HANDLE tower, WORD selector, WORD dutyCycle);
TAVRIX_API BOOL WINAPI QIROTowerGetCarrierDutyCycle(HANDLE tower, WORD selector, WORD* dutyCycle);
TAVRIX_API BOOL WINAPI QIROTowerSetIRCParm(HANDLE tower, BYTE id, BYTE value, WORD index);
TAVRIX_API BOOL WINAPI QIROTowerGetIRCParm(HANDLE tower, BYTE id, BYTE* value);
TAVRIX_API BOOL WINAPI QIROTowerSetIRCPacketSize(HANDLE tower, BYTE value);
TAVRIX_API BOOL WINAPI QIROTowerGetIRCPacketSize(HANDLE tower, BYTE* value);
TAVRIX_API BOOL WINAPI QIROTowerSetIRCTimeFrame(HANDLE tower, BYTE value);
TAVRIX_API BOOL WINAPI QIROTowerGetIRCTimeFrame(HANDLE tower, BYTE* value);
TAVRIX_API BOOL WINAPI QIROTowerSetIRSpeed(HANDLE tower, WORD transmit, WORD receive);
TAVRIX_API BOOL WINAPI QIROTowerGetIRSpeed(HANDLE tower, WORD* transmit, WORD* receive);
TAVRIX_API BOOL WINAPI QIROTowerSetTimeouts(HANDLE tower, DWORD firstByte, DWORD interChar,
                                            DWORD write);
TAVRIX_API BOOL WINAPI QIROTowerGetTimeouts(HANDLE tower, DWORD* firstByte, DWORD* interChar,
                                            DWORD* write);

/* ---- Control and status: actions and status ----------------------------------- */
TAVRIX_API BOOL WINAPI QIROTowerFlush(HANDLE tower, WORD flags);
TAVRIX_API BOOL WINAPI QIROTowerReset(HANDLE tower);
TAVRIX_API BOOL WINAPI QIROTowerResetCommStats(HANDLE tower);
TAVRIX_API BOOL WINAPI QIROTowerGetErrorState(HANDLE tower, WORD* state);
TAVRIX_API BOOL WINAPI QIROTowerGetState(HANDLE tower, WORD* state);
TAVRIX_API BOOL WINAPI QIROTowerGetVersion(HANDLE tower, QIROTOWER_VERSION* version);
TAVRIX_API BOOL WINAPI QIROTowerGetCaps(HANDLE tower, WORD selector, QIROTOWER_CAPS* caps);
TAVRIX_API BOOL WINAPI QIROTowerGetCommStats(HANDLE tower, QIROTOWER_COMMSTATS* stats);
TAVRIX_API BOOL WINAPI QIROTowerGetCopyright(HANDLE tower, char* buffer, DWORD size);
TAVRIX_API BOOL WINAPI QIROTowerGetCredits(HANDLE tower, char* buffer, DWORD size);
