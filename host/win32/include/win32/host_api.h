/* The host machine's declarations of the Win32 calls the deliverables make.
   Include "win32/windows.h", not this file: that one picks the platform's
   own headers on Windows. Names, values, widths and record layouts are those
   of 32-bit Windows; the calls reach the host machine running in this
   process (hk::Machine::Current()). */
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define WIN32_HOST_EXTERN extern "C"
#else
#define WIN32_HOST_EXTERN extern
#endif
#define WIN32_HOST_API WIN32_HOST_EXTERN __attribute__((visibility("default")))

/* ---- calling conventions: the host has one ------------------------------ */
#define WINAPI
#define APIENTRY
#define CALLBACK
#define NTAPI
#define WINAPIV

/* ---- types, with Windows' widths ----------------------------------------- */
typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned char UCHAR;
typedef unsigned short WORD;
typedef unsigned short USHORT;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef unsigned int UINT;
typedef int INT;
typedef char CHAR;
typedef uint16_t WCHAR;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef ULONG_PTR SIZE_T;
typedef void VOID;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef CHAR* LPSTR;
typedef CHAR* PSTR;
typedef const CHAR* LPCSTR;
typedef const CHAR* PCSTR;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef WORD* PWORD;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef ULONG* PULONG;
typedef BOOL* PBOOL;
typedef LONG NTSTATUS;

typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef HANDLE HWND;
typedef HANDLE HINSTANCE;
typedef HINSTANCE HMODULE;
typedef PVOID HDEVINFO;
typedef DWORD DEVINST;
typedef DWORD* PDEVINST;
typedef DWORD CONFIGRET;
typedef LONG_PTR(WINAPI* FARPROC)(void);
typedef struct HRSRC__* HRSRC;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;
typedef void* HGLOBAL;

typedef struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;
typedef GUID* LPGUID;
typedef const GUID* LPCGUID;

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

/* Overlapped I/O on device handles: Internal holds the request's NT status
   (STATUS_PENDING until it completes), InternalHigh its byte count. Offset
   and OffsetHigh are a file position, which devices ignore. */
typedef struct _OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    PVOID Pointer;
  };
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define ANYSIZE_ARRAY 1
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

/* ---- DllMain reasons ------------------------------------------------------- */
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

/* ---- files ------------------------------------------------------------------ */
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_OVERLAPPED 0x40000000u

/* ---- system error codes ---------------------------------------------------- */
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_BAD_UNIT 20L
#define ERROR_NOT_READY 21L
#define ERROR_CRC 23L
#define ERROR_READ_FAULT 30L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_DEV_NOT_EXIST 55L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_SEM_TIMEOUT 121L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_BUSY 170L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_INVALID_ORDINAL 182L
#define ERROR_BAD_EXE_FORMAT 193L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_INCOMPLETE 996L
#define ERROR_IO_PENDING 997L
#define ERROR_NOACCESS 998L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_CANTOPEN 1011L
#define ERROR_CANTREAD 1012L
#define ERROR_CANTWRITE 1013L
#define ERROR_KEY_DELETED 1018L
#define ERROR_DLL_INIT_FAILED 1114L
#define ERROR_DEVICE_NOT_CONNECTED 1167L
#define ERROR_NOT_FOUND 1168L
#define ERROR_NO_SYSTEM_RESOURCES 1450L
#define ERROR_TIMEOUT 1460L
#define ERROR_INVALID_USER_BUFFER 1784L
#define ERROR_RESOURCE_DATA_NOT_FOUND 1812L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L

/* ---- device installation services (SetupAPI) ------------------------------- */
#define DIGCF_DEFAULT 0x00000001u
#define DIGCF_PRESENT 0x00000002u
#define DIGCF_ALLCLASSES 0x00000004u
#define DIGCF_PROFILE 0x00000008u
#define DIGCF_DEVICEINTERFACE 0x00000010u

#define SPINT_ACTIVE 0x00000001u
#define SPINT_DEFAULT 0x00000002u
#define SPINT_REMOVED 0x00000004u

/* SetupAPI's records are byte-packed on 32-bit Windows; the pointer-sized
   Reserved fields keep their 32-bit width here, so each record has the size
   its cbSize must name there (28, 28 and 5). The set's own element and
   interface numbers stand in those fields. */
#pragma pack(push, 1)
typedef struct _SP_DEVINFO_DATA {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  DWORD Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

typedef struct _SP_DEVICE_INTERFACE_DATA {
  DWORD cbSize;
  GUID InterfaceClassGuid;
  DWORD Flags;
  DWORD Reserved;
} SP_DEVICE_INTERFACE_DATA, *PSP_DEVICE_INTERFACE_DATA;

typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_A {
  DWORD cbSize;
  CHAR DevicePath[ANYSIZE_ARRAY];
} SP_DEVICE_INTERFACE_DETAIL_DATA_A, *PSP_DEVICE_INTERFACE_DETAIL_DATA_A;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(SP_DEVINFO_DATA) == 28, "SP_DEVINFO_DATA is 28 bytes on 32-bit Windows");
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28,
              "SP_DEVICE_INTERFACE_DATA is 28 bytes on 32-bit Windows");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5,
              "SP_DEVICE_INTERFACE_DETAIL_DATA_A is 5 bytes on 32-bit Windows");
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == 4, "DevicePath at 4");
#endif

/* ---- configuration manager (CfgMgr32) -------------------------------------- */
#define CR_SUCCESS 0x00000000u
#define CR_OUT_OF_MEMORY 0x00000002u
#define CR_INVALID_POINTER 0x00000003u
#define CR_INVALID_FLAG 0x00000004u
#define CR_INVALID_DEVNODE 0x00000005u
#define CR_INVALID_DEVINST CR_INVALID_DEVNODE
#define CR_NO_SUCH_DEVNODE 0x0000000Du
#define CR_NO_SUCH_DEVINST CR_NO_SUCH_DEVNODE
#define CR_FAILURE 0x00000013u
#define CR_BUFFER_SMALL 0x0000001Au
#define CR_INVALID_PROPERTY 0x00000035u
#define CR_NO_SUCH_VALUE 0x00000025u

#define CM_LOCATE_DEVNODE_NORMAL 0x00000000u
#define CM_LOCATE_DEVNODE_PHANTOM 0x00000001u
#define CM_REENUMERATE_NORMAL 0x00000000u
#define CM_REENUMERATE_SYNCHRONOUS 0x00000001u
#define CM_REENUMERATE_RETRY_INSTALLATION 0x00000002u
#define CM_DRP_DEVICEDESC 0x00000001u
#define CM_DRP_SERVICE 0x00000005u
#define CM_DRP_DRIVER 0x0000000Au

/* ---- kernel32 --------------------------------------------------------------- */
WIN32_HOST_API DWORD WINAPI GetLastError(void);
WIN32_HOST_API void WINAPI SetLastError(DWORD dwErrCode);

WIN32_HOST_API HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess,
                                         DWORD dwShareMode,
                                         LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                         DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                         HANDLE hTemplateFile);
WIN32_HOST_API BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                    LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
WIN32_HOST_API BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                     LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
WIN32_HOST_API BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                           DWORD nInBufferSize, LPVOID lpOutBuffer,
                                           DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                           LPOVERLAPPED lpOverlapped);
WIN32_HOST_API BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                               LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
WIN32_HOST_API BOOL WINAPI CancelIo(HANDLE hFile);
WIN32_HOST_API BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped);
WIN32_HOST_API BOOL WINAPI CloseHandle(HANDLE hObject);

WIN32_HOST_API LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength);

/* ntdll: the translation every failing call above makes of its NT status. */
WIN32_HOST_API ULONG NTAPI RtlNtStatusToDosError(NTSTATUS Status);

/* ---- setupapi --------------------------------------------------------------- */
WIN32_HOST_API HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator,
                                                    HWND hwndParent, DWORD Flags);
WIN32_HOST_API BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                                 PSP_DEVINFO_DATA DeviceInfoData);
WIN32_HOST_API BOOL WINAPI SetupDiDeleteDeviceInfo(HDEVINFO DeviceInfoSet,
                                                   PSP_DEVINFO_DATA DeviceInfoData);
WIN32_HOST_API BOOL WINAPI SetupDiEnumDeviceInterfaces(
    HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, const GUID* InterfaceClassGuid,
    DWORD MemberIndex, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
WIN32_HOST_API BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData);
WIN32_HOST_API BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);

/* ---- cfgmgr32 --------------------------------------------------------------- */
WIN32_HOST_API CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber,
                                                      DEVINST dnDevInst, ULONG ulFlags);

/* ---- modules (kernel32) ----------------------------------------------------- */
WIN32_HOST_API HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
WIN32_HOST_API BOOL WINAPI FreeLibrary(HMODULE hLibModule);
WIN32_HOST_API FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
WIN32_HOST_API HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName);
WIN32_HOST_API DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
/* The command line of the program the machine runs (Win32HostRunProgram);
   an empty text outside one. */
WIN32_HOST_API LPSTR WINAPI GetCommandLineA(void);

/* ---- resources (kernel32, user32) -------------------------------------------- */
#define MAKEINTRESOURCEA(i) ((LPSTR)(ULONG_PTR)(WORD)(i))
#define MAKEINTRESOURCE MAKEINTRESOURCEA
#define RT_CURSOR MAKEINTRESOURCEA(1)
#define RT_BITMAP MAKEINTRESOURCEA(2)
#define RT_ICON MAKEINTRESOURCEA(3)
#define RT_MENU MAKEINTRESOURCEA(4)
#define RT_DIALOG MAKEINTRESOURCEA(5)
#define RT_STRING MAKEINTRESOURCEA(6)
#define RT_RCDATA MAKEINTRESOURCEA(10)
#define RT_GROUP_CURSOR MAKEINTRESOURCEA(12)
#define RT_GROUP_ICON MAKEINTRESOURCEA(14)
#define RT_VERSION MAKEINTRESOURCEA(16)
#define RT_MANIFEST MAKEINTRESOURCEA(24)

WIN32_HOST_API HRSRC WINAPI FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType);
WIN32_HOST_API HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo);
WIN32_HOST_API LPVOID WINAPI LockResource(HGLOBAL hResData);
WIN32_HOST_API DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo);
WIN32_HOST_API int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer,
                                      int cchBufferMax);

/* ---- registry (advapi32) ------------------------------------------------------- */
#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)0x80000000u)
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002u)
#define KEY_QUERY_VALUE 0x0001u
#define KEY_SET_VALUE 0x0002u
#define KEY_CREATE_SUB_KEY 0x0004u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_READ 0x00020019u
#define KEY_WRITE 0x00020006u
#define KEY_ALL_ACCESS 0x000F003Fu
/* Constants rather than macros: the driver's platform interface, which the
   host's tests include beside this file, has kernel names of its own. */
enum {
  REG_NONE = 0,
  REG_SZ = 1,
  REG_EXPAND_SZ = 2,
  REG_BINARY = 3,
  REG_DWORD = 4,
  REG_MULTI_SZ = 7
};

WIN32_HOST_API LONG WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);
WIN32_HOST_API LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions,
                                         REGSAM samDesired, PHKEY phkResult);
WIN32_HOST_API LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved,
                                            LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
WIN32_HOST_API LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved,
                                          DWORD dwType, const BYTE* lpData, DWORD cbData);
WIN32_HOST_API LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
WIN32_HOST_API LONG WINAPI RegCloseKey(HKEY hKey);

/* ---- configuration manager: the device tree (cfgmgr32) ------------------------- */
WIN32_HOST_API CONFIGRET WINAPI CM_Locate_DevNodeA(PDEVINST pdnDevInst, LPCSTR pDeviceID,
                                                   ULONG ulFlags);
WIN32_HOST_API CONFIGRET WINAPI CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst,
                                              ULONG ulFlags);
WIN32_HOST_API CONFIGRET WINAPI CM_Get_Child(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags);
WIN32_HOST_API CONFIGRET WINAPI CM_Get_Sibling(PDEVINST pdnDevInst, DEVINST dnDevInst,
                                               ULONG ulFlags);
WIN32_HOST_API CONFIGRET WINAPI CM_Get_DevNode_Registry_PropertyA(DEVINST dnDevInst,
                                                                  ULONG ulProperty,
                                                                  PULONG pulRegDataType,
                                                                  PVOID Buffer, PULONG pulLength,
                                                                  ULONG ulFlags);
WIN32_HOST_API CONFIGRET WINAPI CM_Reenumerate_DevNode(DEVINST dnDevInst, ULONG ulFlags);

/* ---- a device's registry keys (setupapi) ---------------------------------------- */
#define DICS_FLAG_GLOBAL 0x00000001u
#define DICS_FLAG_CONFIGSPECIFIC 0x00000002u
#define DIREG_DEV 0x00000001u
#define DIREG_DRV 0x00000002u

WIN32_HOST_API HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet,
                                                PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope,
                                                DWORD HwProfile, DWORD KeyType, REGSAM samDesired);

/* ---- files on the machine's drive, platform identity (kernel32) ------------ */
#define ERROR_INVALID_DATA 13L
#define ERROR_FILE_EXISTS 80L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_SUCCESS_REBOOT_REQUIRED 3010L
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_HIDDEN 0x00000002u
#define FILE_ATTRIBUTE_SYSTEM 0x00000004u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000u
#define MOVEFILE_REPLACE_EXISTING 0x00000001u
#define MOVEFILE_COPY_ALLOWED 0x00000002u
#define MOVEFILE_DELAY_UNTIL_REBOOT 0x00000004u
#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2

typedef struct _OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  CHAR szCSDVersion[128];
} OSVERSIONINFOA, *POSVERSIONINFOA, *LPOSVERSIONINFOA;
#ifdef __cplusplus
static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA is 148 bytes");
#endif

WIN32_HOST_API DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
WIN32_HOST_API DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName);
WIN32_HOST_API BOOL WINAPI SetFileAttributesA(LPCSTR lpFileName, DWORD dwFileAttributes);
WIN32_HOST_API BOOL WINAPI DeleteFileA(LPCSTR lpFileName);
WIN32_HOST_API BOOL WINAPI MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName);
WIN32_HOST_API BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName,
                                       DWORD dwFlags);
WIN32_HOST_API UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize);
WIN32_HOST_API DWORD WINAPI GetShortPathNameA(LPCSTR lpszLongPath, LPSTR lpszShortPath,
                                              DWORD cchBuffer);
WIN32_HOST_API DWORD WINAPI GetVersion(void);
WIN32_HOST_API BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation);

/* ---- driver packages (SetupAPI) ---------------------------------------------- */
typedef uintptr_t UINT_PTR;
typedef UINT* PUINT;
typedef PVOID HINF;
typedef UINT(CALLBACK* PSP_FILE_CALLBACK_A)(PVOID Context, UINT Notification, UINT_PTR Param1,
                                            UINT_PTR Param2);
#define SPOST_NONE 0
#define SPOST_PATH 1
#define SPOST_URL 2
#define INF_STYLE_NONE 0x00000000u
#define INF_STYLE_OLDNT 0x00000001u
#define INF_STYLE_WIN4 0x00000002u
#define SPINST_LOGCONFIG 0x00000001u
#define SPINST_INIFILES 0x00000002u
#define SPINST_REGISTRY 0x00000004u
#define SPINST_INI2REG 0x00000008u
#define SPINST_FILES 0x00000010u
#define SP_COPY_DELETESOURCE 0x0000001u
#define SP_COPY_REPLACEONLY 0x0000002u
#define SP_COPY_NEWER 0x0000004u
#define SP_COPY_NEWER_OR_SAME SP_COPY_NEWER
#define SP_COPY_NOOVERWRITE 0x0000008u
#define SPFILENOTIFY_STARTQUEUE 0x00000001u
#define SPFILENOTIFY_ENDQUEUE 0x00000002u
#define SPFILENOTIFY_STARTCOPY 0x0000000Bu
#define SPFILENOTIFY_ENDCOPY 0x0000000Cu
#define SPFILENOTIFY_TARGETNEWER 0x00040000u
#define FILEOP_ABORT 0
#define FILEOP_DOIT 1
#define FILEOP_SKIP 2
#define SPDRP_DEVICEDESC 0x00000000u
#define SPDRP_HARDWAREID 0x00000001u
#define ERROR_LINE_NOT_FOUND 0xE0000102L
#define ERROR_NO_SUCH_DEVINST 0xE000020BL

WIN32_HOST_API BOOL WINAPI SetupCopyOEMInfA(PCSTR SourceInfFileName, PCSTR OEMSourceMediaLocation,
                                            DWORD OEMSourceMediaType, DWORD CopyStyle,
                                            PSTR DestinationInfFileName,
                                            DWORD DestinationInfFileNameSize, PDWORD RequiredSize,
                                            PSTR* DestinationInfFileNameComponent);
WIN32_HOST_API HINF WINAPI SetupOpenInfFileA(PCSTR FileName, PCSTR InfClass, DWORD InfStyle,
                                             PUINT ErrorLine);
WIN32_HOST_API void WINAPI SetupCloseInfFile(HINF InfHandle);
WIN32_HOST_API PVOID WINAPI SetupInitDefaultQueueCallback(HWND OwnerWindow);
WIN32_HOST_API void WINAPI SetupTermDefaultQueueCallback(PVOID Context);
WIN32_HOST_API UINT WINAPI SetupDefaultQueueCallbackA(PVOID Context, UINT Notification,
                                                      UINT_PTR Param1, UINT_PTR Param2);
WIN32_HOST_API BOOL WINAPI SetupInstallFromInfSectionA(
    HWND Owner, HINF InfHandle, PCSTR SectionName, UINT Flags, HKEY RelativeKeyRoot,
    PCSTR SourceRootPath, UINT CopyFlags, PSP_FILE_CALLBACK_A MsgHandler, PVOID Context,
    HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData);
WIN32_HOST_API BOOL WINAPI
SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                  DWORD Property, PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                  DWORD PropertyBufferSize, PDWORD RequiredSize);
WIN32_HOST_API BOOL WINAPI SetupDiRemoveDevice(HDEVINFO DeviceInfoSet,
                                               PSP_DEVINFO_DATA DeviceInfoData);

/* ---- user32, comctl32 and Control Panel applets ---------------------------- */
#include "win32/host_user.h"

/* ---- threads, events, critical sections, the clock, thread message queues -- */
#include "win32/host_threads.h"

/* ---- text comparison (kernel32) ---------------------------------------------- */
typedef DWORD LCID;
#define LOCALE_SYSTEM_DEFAULT 0x0800u
#define LOCALE_USER_DEFAULT 0x0400u
#define NORM_IGNORECASE 0x00000001u
#define CSTR_LESS_THAN 1
#define CSTR_EQUAL 2
#define CSTR_GREATER_THAN 3
WIN32_HOST_API int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2);
WIN32_HOST_API int WINAPI CompareStringA(LCID Locale, DWORD dwCmpFlags, PCSTR lpString1,
                                         int cchCount1, PCSTR lpString2, int cchCount2);
