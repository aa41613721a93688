/* Celvane: the port plug-in through which the Zembo communication stack
   sends and receives over a USB tower.

   A stack binds the plug-in by one plain export: it loads the library by file
   name, looks up "LoDllGetObject" and calls it with the object identifier
   "QIRO.Zmb.CommStack.Port.USB". It receives an IZmbPort with one reference,
   calls it only through the interface's table of 21 operations, in the order
   declared below, and gives the reference back with release. Class names are
   decorated differently by every compiler, so a stack never binds them by
   name. Every operation that can fail returns a 32-bit result whose bit 31
   is set for failure. */
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "win32/windows.h"

/* The platform compiler's member calling convention: thiscall on 32-bit
   Windows (the object in ECX, the callee pops), the only one on the host. */
#if defined(_WIN32) && defined(__i386__)
#define ZMB_CALL __attribute__((thiscall))
#else
#define ZMB_CALL
#endif

/* Exported classes and functions of the plug-in. */
#if defined(_WIN32)
#ifdef CELVANE_BUILD
#define ZMB_EXPORT __declspec(dllexport)
#else
#define ZMB_EXPORT __declspec(dllimport)
#endif
#else
#define ZMB_EXPORT __attribute__((visibility("default")))
#endif

/* ---- result codes: failure when bit 31 is set --------------------------------- */
#define ZMB_OK ((LONG)0x00000000)
#define ZMB_S_PENDING ((LONG)0x21000001)
#define ZMB_E_INVALIDARG ((LONG)0xE1000001u)
#define ZMB_E_NOTSUPPORTED ((LONG)0xE1000002u)
#define ZMB_E_OUTOFMEMORY ((LONG)0xE1000003u)
#define ZMB_E_ALREADYOPEN ((LONG)0xE1000101u)
#define ZMB_E_NOTOPEN ((LONG)0xE1000102u)
#define ZMB_E_BUSY ((LONG)0xE1000103u)
#define ZMB_E_NOPORT ((LONG)0xE1000104u)
#define ZMB_E_TIMEOUT ((LONG)0xE1000105u)
#define ZMB_E_WRONGSTATE ((LONG)0xE1000106u)
#define ZMB_E_ABORTED ((LONG)0xE1000108u)
#define ZMB_E_OPENFAILED ((LONG)0xE1000110u)
#define ZMB_E_SENDFAILED ((LONG)0xE1000111u)
#define ZMB_E_RECVFAILED ((LONG)0xE1000112u)
#define ZMB_E_DEVICEFAILED ((LONG)0xE1000113u)
#define ZMB_E_SETTIMEOUTFAILED ((LONG)0xE1000115u)
#define ZMB_E_GETTIMEOUTFAILED ((LONG)0xE1000116u)
#define ZMB_E_THREADFAILED ((LONG)0xE1000117u)
#define ZMB_E_CLEARFAILED ((LONG)0xE100011Au)
#define ZMB_E_RECONNECTFAILED ((LONG)0xE100011Du)
/* The top two bits 10 and 11 are failures, 00 and 01 successes. */
#define ZMB_FAILED(result) ((((ULONG)(result)) & 0x80000000u) != 0)
#define ZMB_SUCCEEDED(result) (!ZMB_FAILED(result))

/* ---- the port state word ----------------------------------------------------- */
#define ZMB_PORTSTATE_OPEN 0x01u
#define ZMB_PORTSTATE_SENDING 0x02u
#define ZMB_PORTSTATE_RECEIVING 0x04u
#define ZMB_PORTSTATE_ABORTSEND 0x20u
#define ZMB_PORTSTATE_ABORTRECV 0x40u

/* ---- transfer modes and sides ----------------------------------------------- */
#define ZMB_PORTMODE_SYNC 1u
#define ZMB_PORTMODE_CALLBACK 2u
#define ZMB_PORT_TX 1u
#define ZMB_PORT_RX 2u

/* ---- the worker threads' messages (internal to the port) --------------------- */
#define ZMBPORT_MSG_INIT (WM_APP + 0x100)
#define ZMBPORT_MSG_SEND (WM_APP + 0x101)
#define ZMBPORT_MSG_RECV (WM_APP + 0x102)
#define ZMBPORT_MSG_QUIT (WM_APP + 0x110)

/* The object identifier a stack asks LoDllGetObject for (letter case aside). */
#define ZMB_PORT_OBJECT_USB "QIRO.Zmb.CommStack.Port.USB"

/* A tower found by findfirst / findnext and opened by open. */
typedef struct _ZMBPORTDESC {
  ULONG index;    /* position among the present towers, from 1 */
  char path[260]; /* device path, NUL-terminated */
} ZMBPORTDESC;
static_assert(sizeof(ULONG) == 4, "ULONG is 32 bits on every target");
static_assert(sizeof(_ZMBPORTDESC) == 264, "_ZMBPORTDESC is 264 bytes");
static_assert(offsetof(_ZMBPORTDESC, index) == 0, "_ZMBPORTDESC.index at 0");
static_assert(offsetof(_ZMBPORTDESC, path) == 4, "_ZMBPORTDESC.path at 4");

/* Completion of a queued transfer: (direction, result, buffer, count,
   context); the port ignores the value it returns. */
typedef LONG(WINAPI* ZMBPORTCALLBACK)(ULONG direction, LONG result, unsigned char* buffer,
                                      ULONG count, void* context);

/* The stack's port interface: no data, 21 operations in this order, no
   virtual destructor (a port is destroyed only by release). */
class ZMB_EXPORT IZmbPort {
 public:
  virtual ULONG ZMB_CALL addref() = 0;
  virtual ULONG ZMB_CALL release() = 0;
  virtual LONG ZMB_CALL open(const _ZMBPORTDESC* descriptor, const char* mode) = 0;
  virtual LONG ZMB_CALL open(const char* path, const char* mode) = 0;
  virtual LONG ZMB_CALL close() = 0;
  virtual LONG ZMB_CALL send(const unsigned char* data, ULONG length, ULONG* sent,
                             void* context) = 0;
  virtual LONG ZMB_CALL recv(unsigned char* buffer, ULONG length, ULONG* received,
                             void* context) = 0;
  virtual LONG ZMB_CALL settimeout(ULONG first, ULONG second) = 0;
  virtual LONG ZMB_CALL gettimeout(ULONG* first, ULONG* second) = 0;
  virtual LONG ZMB_CALL devicecontrol(const char* command, char* reply, int replysize) = 0;
  virtual LONG ZMB_CALL findfirst(_ZMBPORTDESC* descriptor) = 0;
  virtual LONG ZMB_CALL findnext(_ZMBPORTDESC* previous, _ZMBPORTDESC* next) = 0;
  virtual LONG ZMB_CALL settxmode(ULONG mode, ZMBPORTCALLBACK callback) = 0;
  virtual LONG ZMB_CALL gettxmode(ULONG* mode, ZMBPORTCALLBACK* callback) = 0;
  virtual LONG ZMB_CALL setrxmode(ULONG mode, ZMBPORTCALLBACK callback) = 0;
  virtual LONG ZMB_CALL getrxmode(ULONG* mode, ZMBPORTCALLBACK* callback) = 0;
  virtual bool ZMB_CALL islineon() = 0;
  virtual LONG ZMB_CALL getthroughput(ULONG* throughput) = 0;
  virtual ULONG ZMB_CALL getstate() = 0;
  virtual LONG ZMB_CALL clear(ULONG sides) = 0;
  virtual LONG ZMB_CALL abort(ULONG sides) = 0;

 protected:
  IZmbPort() = default;
  IZmbPort(const IZmbPort&) = default;
  IZmbPort& operator=(const IZmbPort&) = default;
  ~IZmbPort() = default;
};
static_assert(sizeof(IZmbPort) == sizeof(void*), "IZmbPort holds only its operation table");

/* Slots of the operation table, for callers that reach it without the class
   (a stack written in C, or compiled by another compiler). */
enum ZMBPORT_SLOT {
  ZMBPORT_SLOT_ADDREF,
  ZMBPORT_SLOT_RELEASE,
  ZMBPORT_SLOT_OPEN_DESC,
  ZMBPORT_SLOT_OPEN_PATH,
  ZMBPORT_SLOT_CLOSE,
  ZMBPORT_SLOT_SEND,
  ZMBPORT_SLOT_RECV,
  ZMBPORT_SLOT_SETTIMEOUT,
  ZMBPORT_SLOT_GETTIMEOUT,
  ZMBPORT_SLOT_DEVICECONTROL,
  ZMBPORT_SLOT_FINDFIRST,
  ZMBPORT_SLOT_FINDNEXT,
  ZMBPORT_SLOT_SETTXMODE,
  ZMBPORT_SLOT_GETTXMODE,
  ZMBPORT_SLOT_SETRXMODE,
  ZMBPORT_SLOT_GETRXMODE,
  ZMBPORT_SLOT_ISLINEON,
  ZMBPORT_SLOT_GETTHROUGHPUT,
  ZMBPORT_SLOT_GETSTATE,
  ZMBPORT_SLOT_CLEAR,
  ZMBPORT_SLOT_ABORT,
  ZMBPORT_SLOT_COUNT
};

/* One platform critical section. It does not lock by scope: callers pair
   enter and leave. Copy assignment leaves each object its own section: a
   section's raw data copied is no lock the platform supports, and both
   objects would delete one lock when they go. */
struct ZMB_EXPORT ZMB_AUTO_CRITICALSECTION {
  ZMB_CALL ZMB_AUTO_CRITICALSECTION();
  ZMB_CALL ~ZMB_AUTO_CRITICALSECTION();
  ZMB_AUTO_CRITICALSECTION(const ZMB_AUTO_CRITICALSECTION&) = delete;
  ZMB_AUTO_CRITICALSECTION& ZMB_CALL operator=(const ZMB_AUTO_CRITICALSECTION& other);
  bool ZMB_CALL enter();
  bool ZMB_CALL leave();

  CRITICAL_SECTION section;
};

/* One platform event. Copy assignment copies the handle: both objects then
   refer to one event, which the last of them to go closes. The holders are
   counted by the assignments: a handle written into `event` by hand, or
   taken out of it, is outside that count. */
struct ZMB_EXPORT ZMB_EVENT {
  explicit ZMB_CALL ZMB_EVENT(bool manualreset = false, bool signaled = false);
  ZMB_CALL ~ZMB_EVENT();
  ZMB_EVENT(const ZMB_EVENT&) = delete;
  ZMB_EVENT& ZMB_CALL operator=(const ZMB_EVENT& other);
  bool ZMB_CALL isvalid();
  LONG ZMB_CALL wait(ULONG milliseconds);
  LONG ZMB_CALL signal();
  LONG ZMB_CALL reset();
  bool ZMB_CALL signaled();

  HANDLE event;
};

/* The USB tower's port. Made only by create (or LoDllGetObject). */
class ZMB_EXPORT ZmbPort_USB_Win32__ThreadSafe : public IZmbPort {
 public:
  static IZmbPort* ZMB_CALL create();

  ULONG ZMB_CALL addref() override;
  ULONG ZMB_CALL release() override;
  LONG ZMB_CALL open(const _ZMBPORTDESC* descriptor, const char* mode) override;
  LONG ZMB_CALL open(const char* path, const char* mode) override;
  LONG ZMB_CALL close() override;
  LONG ZMB_CALL send(const unsigned char* data, ULONG length, ULONG* sent, void* context) override;
  LONG ZMB_CALL recv(unsigned char* buffer, ULONG length, ULONG* received, void* context) override;
  LONG ZMB_CALL settimeout(ULONG first, ULONG second) override;
  LONG ZMB_CALL gettimeout(ULONG* first, ULONG* second) override;
  LONG ZMB_CALL devicecontrol(const char* command, char* reply, int replysize) override;
  LONG ZMB_CALL findfirst(_ZMBPORTDESC* descriptor) override;
  LONG ZMB_CALL findnext(_ZMBPORTDESC* previous, _ZMBPORTDESC* next) override;
  LONG ZMB_CALL settxmode(ULONG mode, ZMBPORTCALLBACK callback) override;
  LONG ZMB_CALL gettxmode(ULONG* mode, ZMBPORTCALLBACK* callback) override;
  LONG ZMB_CALL setrxmode(ULONG mode, ZMBPORTCALLBACK callback) override;
  LONG ZMB_CALL getrxmode(ULONG* mode, ZMBPORTCALLBACK* callback) override;
  bool ZMB_CALL islineon() override;
  LONG ZMB_CALL getthroughput(ULONG* throughput) override;
  ULONG ZMB_CALL getstate() override;
  LONG ZMB_CALL clear(ULONG sides) override;
  LONG ZMB_CALL abort(ULONG sides) override;

 protected:
  ZMB_CALL ZmbPort_USB_Win32__ThreadSafe();
  ZmbPort_USB_Win32__ThreadSafe(const ZmbPort_USB_Win32__ThreadSafe&) = delete;
  ZmbPort_USB_Win32__ThreadSafe& operator=(const ZmbPort_USB_Win32__ThreadSafe&) = delete;

  /* After the 21 operations, in this order. */
  virtual ZMB_CALL ~ZmbPort_USB_Win32__ThreadSafe();
  virtual ULONG ZMB_CALL setstate(ULONG state);
  virtual LONG ZMB_CALL sendwait(const unsigned char* data, ULONG length, ULONG* written);
  virtual LONG ZMB_CALL recvwait(unsigned char* buffer, ULONG length, ULONG* read);

  LONG ZMB_CALL initcommthread(LPTHREAD_START_ROUTINE function, DWORD* threadid, HANDLE* thread);
  LONG ZMB_CALL findopenfirstport();
  LONG ZMB_CALL restoreconnection();

  static DWORD WINAPI threadsend(LPVOID port);
  static DWORD WINAPI threadrecv(LPVOID port);
  static LONG ZMB_CALL flagtospeed(USHORT flag, ULONG* baud);
  static LONG ZMB_CALL speedtoflag(ULONG baud, USHORT* flag);

  /* Fields, in order. */
  std::atomic<ULONG> savedrange;    /* a 16-bit value */
  std::atomic<ULONG> savedlinkmode; /* a 16-bit value */
  std::atomic<LONG> refcount;
  std::atomic<ULONG> txmode;
  std::atomic<ZMBPORTCALLBACK> txcallback;
  std::atomic<ULONG> rxmode;
  std::atomic<ZMBPORTCALLBACK> rxcallback;
  std::atomic<ULONG> state;
  std::atomic<HANDLE> towerhandle;
  HANDLE sendthread;
  DWORD sendthreadid;
  HANDLE recvthread;
  DWORD recvthreadid;
  ZMB_AUTO_CRITICALSECTION openlock;
  ZMB_AUTO_CRITICALSECTION sendlock;
  ZMB_AUTO_CRITICALSECTION recvlock;
  ZMB_AUTO_CRITICALSECTION timeoutlock;
  ZMB_AUTO_CRITICALSECTION controllock;
  ZMB_AUTO_CRITICALSECTION txmodelock;
  ZMB_AUTO_CRITICALSECTION rxmodelock;
  ZMB_AUTO_CRITICALSECTION sparelock;
  ZMB_AUTO_CRITICALSECTION findlock;
  ZMB_AUTO_CRITICALSECTION statelock;

 private:
  DWORD ZMB_CALL worker(ULONG direction);
  void ZMB_CALL stopthread(HANDLE* thread, DWORD* threadid);
  bool ZMB_CALL onworkerthread();
  LONG ZMB_CALL runcommand(const char* command, char* reply, int replysize);

  /* Set when the last reference went on a worker thread (from a completion
     callback): that worker destroys the object once its queue is empty. */
  std::atomic<bool> dying;
};

/* The plug-in's exports, by their undecorated names. */
extern "C" {
ZMB_EXPORT LONG WINAPI LoDllGetObject(const char* identifier, IZmbPort** object);
ZMB_EXPORT LONG WINAPI LoDllRegister(void);
ZMB_EXPORT LONG WINAPI LoDllUnregister(void);
}
typedef LONG(WINAPI* LODLLGETOBJECT)(const char* identifier, IZmbPort** object);
