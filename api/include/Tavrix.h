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

/* ---- Default configuration, restart and re-enumeration ---------------------- */

/* The stored defaults the driver reads for every tower: range, link mode and
   timeouts and buffer size at each open, high power at each start. Key
   "SYSTEM\CurrentControlSet\Services\QIROUSBTower\Parameters" under
   HKEY_LOCAL_MACHINE, one REG_DWORD per field. Size is set by the caller. */
typedef struct QIROTOWER_CONFIG {
  uint32_t Size; /* at least 32 */
  uint32_t IRRange;
  uint32_t LinkMode;
  uint32_t HighPower;
  uint32_t Timeout_Read_1st; /* ms */
  uint32_t Timeout_Read_ic;  /* ms */
  uint32_t Timeout_Write;    /* ms per byte */
  uint32_t BufferSize;       /* bytes */
} QIROTOWER_CONFIG;

#ifdef __cplusplus
static_assert(sizeof(QIROTOWER_CONFIG) == 32, "QIROTOWER_CONFIG is 32 bytes");
static_assert(offsetof(QIROTOWER_CONFIG, IRRange) == 4, "QIROTOWER_CONFIG.IRRange");
static_assert(offsetof(QIROTOWER_CONFIG, LinkMode) == 8, "QIROTOWER_CONFIG.LinkMode");
static_assert(offsetof(QIROTOWER_CONFIG, HighPower) == 12, "QIROTOWER_CONFIG.HighPower");
static_assert(offsetof(QIROTOWER_CONFIG, Timeout_Read_1st) == 16,
              "QIROTOWER_CONFIG.Timeout_Read_1st");
static_assert(offsetof(QIROTOWER_CONFIG, Timeout_Read_ic) == 20,
              "QIROTOWER_CONFIG.Timeout_Read_ic");
static_assert(offsetof(QIROTOWER_CONFIG, Timeout_Write) == 24, "QIROTOWER_CONFIG.Timeout_Write");
static_assert(offsetof(QIROTOWER_CONFIG, BufferSize) == 28, "QIROTOWER_CONFIG.BufferSize");
#endif

TAVRIX_API BOOL WINAPI QIROTowerGetFactoryConfig(QIROTOWER_CONFIG* config);
TAVRIX_API BOOL WINAPI QIROTowerGetDefaultConfig(QIROTOWER_CONFIG* config);
TAVRIX_API BOOL WINAPI QIROTowerSetDefaultConfig(const QIROTOWER_CONFIG* config);
/* Restarts the tower so that it reads the stored defaults again; a
   successful restart closes the handle (the tower comes back as a new
   device). */
TAVRIX_API BOOL WINAPI QIROTowerRestart(HANDLE tower);
/* Restarts every tower that can be opened (one held open elsewhere cannot). */
TAVRIX_API BOOL WINAPI QIROTowerRestartAll(void);
TAVRIX_API BOOL WINAPI QIROTowerReenumerateAll(void);
/* Whether the first USB host controller is there. */
TAVRIX_API BOOL WINAPI QIROTowerIsUSBEnabled(void);

/* ---- Device diagnostics and problem descriptions ------------------------------ */

/* What the system knows about a tower's connection, without asking the tower.
   Texts are zero-terminated in the system code page. */
typedef struct QIROTOWER_DEVICEINFO {
  uint32_t Size;          /* not examined; left 0 */
  uint32_t DevNodeStatus; /* the device node's status bits; 0 when unavailable */
  uint32_t StatusValid;   /* 1 when the status could be read */
  uint32_t ProblemNumber; /* 0 = none; 24 (no such device) when the status is unavailable */
  uint32_t TowerNumber;   /* position in the search + 1 */
  char DeviceDesc[128];
  char DevicePath[260];
  uint32_t HubBusPowered; /* 1: the parent hub is bus-powered (no long range) */
  uint32_t Reserved;
  char ParentDesc[128];
  char DriverVersion[64];
  char DriverDesc[260];
  char ProviderName[128];
} QIROTOWER_DEVICEINFO;

typedef struct QIROTOWER_HCINFO {
  uint32_t OpenError; /* the error of opening the host controller, or 0 */
  char DriverKeyName[260];
  char HostControllerDesc[128];
} QIROTOWER_HCINFO;

#ifdef __cplusplus
static_assert(sizeof(QIROTOWER_DEVICEINFO) == 996, "QIROTOWER_DEVICEINFO is 996 bytes");
static_assert(offsetof(QIROTOWER_DEVICEINFO, DevNodeStatus) == 4, "DEVICEINFO.DevNodeStatus");
static_assert(offsetof(QIROTOWER_DEVICEINFO, StatusValid) == 8, "DEVICEINFO.StatusValid");
static_assert(offsetof(QIROTOWER_DEVICEINFO, ProblemNumber) == 12, "DEVICEINFO.ProblemNumber");
static_assert(offsetof(QIROTOWER_DEVICEINFO, TowerNumber) == 16, "DEVICEINFO.TowerNumber");
static_assert(offsetof(QIROTOWER_DEVICEINFO, DeviceDesc) == 20, "DEVICEINFO.DeviceDesc");
static_assert(offsetof(QIROTOWER_DEVICEINFO, DevicePath) == 148, "DEVICEINFO.DevicePath");
static_assert(offsetof(QIROTOWER_DEVICEINFO, HubBusPowered) == 408, "DEVICEINFO.HubBusPowered");
static_assert(offsetof(QIROTOWER_DEVICEINFO, Reserved) == 412, "DEVICEINFO.Reserved");
static_assert(offsetof(QIROTOWER_DEVICEINFO, ParentDesc) == 416, "DEVICEINFO.ParentDesc");
static_assert(offsetof(QIROTOWER_DEVICEINFO, DriverVersion) == 544, "DEVICEINFO.DriverVersion");
static_assert(offsetof(QIROTOWER_DEVICEINFO, DriverDesc) == 608, "DEVICEINFO.DriverDesc");
static_assert(offsetof(QIROTOWER_DEVICEINFO, ProviderName) == 868, "DEVICEINFO.ProviderName");
static_assert(sizeof(QIROTOWER_HCINFO) == 392, "QIROTOWER_HCINFO is 392 bytes");
static_assert(offsetof(QIROTOWER_HCINFO, DriverKeyName) == 4, "HCINFO.DriverKeyName");
static_assert(offsetof(QIROTOWER_HCINFO, HostControllerDesc) == 264, "HCINFO.HostControllerDesc");
#endif

TAVRIX_API BOOL WINAPI QIROTowerGetDeviceInfo(QIROTOWER_FIND* find, QIROTOWER_DEVICEINFO* info);
TAVRIX_API BOOL WINAPI QIROTowerGetDeviceInfoByNumber(DWORD number, DWORD mode,
                                                      QIROTOWER_DEVICEINFO* info);
TAVRIX_API BOOL WINAPI QIROTowerGetHostControllerInfo(DWORD number, QIROTOWER_HCINFO* info);
/* The text of a configuration-manager problem number; never more than size
   bytes, terminator included. */
TAVRIX_API BOOL WINAPI QIROTowerGetProblemDesc(DWORD problem, char* buffer, DWORD size);
