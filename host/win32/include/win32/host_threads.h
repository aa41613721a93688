/* The host machine's declarations of Win32 threads, events, critical
   sections, waits, the tick clock and per-thread message queues. Included by
   "win32/host_api.h"; names, values and behaviour are those of Windows. */
#pragma once

/* ---- types ------------------------------------------------------------------ */
typedef uintptr_t UINT_PTR;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef DWORD(WINAPI* PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

typedef struct tagPOINT {
  LONG x;
  LONG y;
} POINT, *PPOINT, *LPPOINT;

typedef struct tagMSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
} MSG, *PMSG, *LPMSG;

/* The fields of Windows' record, with the host's pointer widths. The host
   keeps its lock object in LockSemaphore; a raw copy of the record refers to
   the same lock, as a copied section does on Windows. */
typedef struct _RTL_CRITICAL_SECTION {
  PVOID DebugInfo;
  LONG LockCount;
  LONG RecursionCount;
  HANDLE OwningThread;
  HANDLE LockSemaphore;
  ULONG_PTR SpinCount;
} RTL_CRITICAL_SECTION, CRITICAL_SECTION, *LPCRITICAL_SECTION, *PCRITICAL_SECTION;

/* ---- values ----------------------------------------------------------------- */
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 259u
#define CREATE_SUSPENDED 0x00000004u
#define ERROR_INVALID_THREAD_ID 1444L
#define ERROR_NOT_ENOUGH_QUOTA 1816L

#define WM_NULL 0x0000
#define WM_QUIT 0x0012
#define WM_USER 0x0400
#define WM_APP 0x8000
#define PM_NOREMOVE 0x0000u
#define PM_REMOVE 0x0001u

/* ---- kernel32: threads, waits, events, critical sections, time ------------- */
WIN32_HOST_API HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes,
                                          SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                                          LPVOID lpParameter, DWORD dwCreationFlags,
                                          LPDWORD lpThreadId);
WIN32_HOST_API DWORD WINAPI GetCurrentThreadId(void);
WIN32_HOST_API BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
WIN32_HOST_API DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
WIN32_HOST_API HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes,
                                          BOOL bManualReset, BOOL bInitialState, LPCSTR lpName);
WIN32_HOST_API BOOL WINAPI SetEvent(HANDLE hEvent);
WIN32_HOST_API BOOL WINAPI ResetEvent(HANDLE hEvent);
WIN32_HOST_API void WINAPI Sleep(DWORD dwMilliseconds);
WIN32_HOST_API DWORD WINAPI GetTickCount(void);
WIN32_HOST_API void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WIN32_HOST_API void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WIN32_HOST_API void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WIN32_HOST_API BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WIN32_HOST_API void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

/* ---- user32: per-thread message queues ------------------------------------- */
WIN32_HOST_API BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam,
                                              LPARAM lParam);
WIN32_HOST_API BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin,
                                       UINT wMsgFilterMax);
WIN32_HOST_API BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin,
                                        UINT wMsgFilterMax, UINT wRemoveMsg);
WIN32_HOST_API void WINAPI PostQuitMessage(int nExitCode);
