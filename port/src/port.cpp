// The port object: creation, reference counting, opening and closing, the
// search for towers, timeouts, the line test and the state word.
#include <cstdio>
#include <cstring>
#include <new>

#include "internal.h"

namespace celvane {

bool EqualIgnoringCase(const char* a, const char* b) {
  auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  for (; *a != '\0' && *b != '\0'; ++a, ++b)
    if (lower(*a) != lower(*b)) return false;
  return *a == *b;
}

DWORD ClockSeconds() { return GetTickCount() / 1000; }

void FillPath(QIROTOWER_FIND* find, _ZMBPORTDESC* descriptor) {
  if (!QIROTowerGetPathNameCopy(find, descriptor->path, sizeof(descriptor->path)))
    std::snprintf(descriptor->path, sizeof(descriptor->path), "\\\\.\\QIROTOWER%u",
                  static_cast<unsigned>(descriptor->index));
}

}  // namespace celvane

using celvane::Port;

IZmbPort* Port::create() {
  // Out of memory is a null object; a worker that failed to start is not
  // reported here (only the transfers that need it fail later).
  return new (std::nothrow) Port();
}

Port::ZmbPort_USB_Win32__ThreadSafe()
    : savedrange(0),
      savedlinkmode(0),
      refcount(1),
      txmode(ZMB_PORTMODE_SYNC),
      txcallback(nullptr),
      rxmode(ZMB_PORTMODE_SYNC),
      rxcallback(nullptr),
      state(0),
      towerhandle(INVALID_HANDLE_VALUE),
      sendthread(nullptr),
      sendthreadid(0),
      recvthread(nullptr),
      recvthreadid(0),
      dying(false) {
  // The ten locks are constructed in their order above; the workers start
  // last, send thread first.
  initcommthread(threadsend, &sendthreadid, &sendthread);
  initcommthread(threadrecv, &recvthreadid, &recvthread);
}

ULONG Port::addref() { return static_cast<ULONG>(refcount.fetch_add(1) + 1); }

ULONG Port::release() {
  const LONG left = refcount.fetch_sub(1) - 1;
  if (left > 0) return static_cast<ULONG>(left);
  if (onworkerthread()) {
    // A completion callback gave up the last reference: the destructor would
    // wait for the very thread it runs on. That worker finishes what its
    // queue holds and then destroys the object itself.
    dying.store(true);
    return 0;
  }
  delete this;
  return 0;
}

LONG Port::open(const _ZMBPORTDESC* descriptor, const char* mode) {
  if (descriptor == nullptr) return ZMB_E_INVALIDARG;
  return open(descriptor->path, mode);
}

LONG Port::open(const char* path, const char* mode) {
  if (path == nullptr || path[0] == '\0') return ZMB_E_INVALIDARG;
  if (towerhandle.load() != INVALID_HANDLE_VALUE) return ZMB_E_ALREADYOPEN;
  openlock.enter();
  // Looked at again under the lock: of two opens that both passed the test
  // above, the second must not replace (and so lose) the first one's handle.
  if (towerhandle.load() != INVALID_HANDLE_VALUE) {
    openlock.leave();
    return ZMB_E_ALREADYOPEN;
  }
  // Read and write, exclusive, existing only, synchronous I/O.
  HANDLE handle =
      CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    openlock.leave();
    return ZMB_E_OPENFAILED;
  }
  towerhandle.store(handle);
  statelock.enter();
  setstate(getstate() | ZMB_PORTSTATE_OPEN);
  statelock.leave();
  savedrange.store(0);
  savedlinkmode.store(0);
  LONG result = ZMB_OK;
  // Any mode runs the default command (the text itself is not read).
  if (mode != nullptr) result = devicecontrol(nullptr, nullptr, 0);
  if (ZMB_FAILED(result)) close();
  openlock.leave();
  return result;
}

LONG Port::close() {
  // Whoever takes the handle closes it; a second close finds none.
  HANDLE handle = towerhandle.load();
  if (handle == INVALID_HANDLE_VALUE) return ZMB_E_NOTOPEN;
  setstate(0);
  handle = towerhandle.exchange(INVALID_HANDLE_VALUE);
  if (handle == INVALID_HANDLE_VALUE) return ZMB_E_NOTOPEN;
  CloseHandle(handle);
  return ZMB_OK;
}

LONG Port::findfirst(_ZMBPORTDESC* descriptor) {
  if (descriptor == nullptr) return ZMB_E_INVALIDARG;
  findlock.enter();
  std::memset(descriptor, 0, sizeof(*descriptor));
  descriptor->index = 1;
  QIROTOWER_FIND* find = QIROTowerFindFirst(QIROTOWER_FIND_PRESENT);
  if (find == nullptr) {
    findlock.leave();
    return ZMB_E_NOPORT;
  }
  celvane::FillPath(find, descriptor);
  QIROTowerFindStop(find);
  findlock.leave();
  return ZMB_OK;
}

LONG Port::findnext(_ZMBPORTDESC* previous, _ZMBPORTDESC* next) {
  if (previous == nullptr || next == nullptr) return ZMB_E_INVALIDARG;
  // Read before anything is written: previous and next may be one record.
  const ULONG wanted = previous->index;
  QIROTOWER_FIND* find = QIROTowerFindFirst(QIROTOWER_FIND_PRESENT);
  if (find == nullptr) return ZMB_E_NOPORT;
  ULONG position = 1;
  while (wanted >= position) {
    if (!QIROTowerFindNext(find)) {
      QIROTowerFindStop(find);
      return ZMB_E_NOPORT;
    }
    ++position;
  }
  findlock.enter();
  std::memset(next, 0, sizeof(*next));
  next->index = position;
  celvane::FillPath(find, next);
  findlock.leave();
  QIROTowerFindStop(find);
  return ZMB_OK;
}

LONG Port::settimeout(ULONG first, ULONG second) {
  if ((getstate() & ZMB_PORTSTATE_OPEN) == 0) return ZMB_E_NOTOPEN;
  timeoutlock.enter();
  // The write timeout (per byte) takes the first value too.
  const BOOL ok = QIROTowerSetTimeouts(towerhandle.load(), first, second, first);
  timeoutlock.leave();
  return ok ? ZMB_OK : ZMB_E_SETTIMEOUTFAILED;
}

LONG Port::gettimeout(ULONG* first, ULONG* second) {
  if (first == nullptr || second == nullptr) return ZMB_E_INVALIDARG;
  if ((getstate() & ZMB_PORTSTATE_OPEN) == 0) return ZMB_E_NOTOPEN;
  DWORD firstByte = 0;
  DWORD interChar = 0;
  DWORD write = 0;
  if (!QIROTowerGetTimeouts(towerhandle.load(), &firstByte, &interChar, &write))
    return ZMB_E_GETTIMEOUTFAILED;
  *first = firstByte;
  *second = interChar;
  return ZMB_OK;
}

bool Port::islineon() {
  if ((getstate() & ZMB_PORTSTATE_OPEN) == 0) return false;
  const HANDLE handle = towerhandle.load();
  if (handle == INVALID_HANDLE_VALUE) return false;
  WORD word = 0;
  if (!QIROTowerGetState(handle, &word)) return false;
  // Present, started, open and reader active.
  return word == 0x000F;
}

LONG Port::getthroughput(ULONG* throughput) {
  (void)throughput;
  return ZMB_E_NOTSUPPORTED;
}

ULONG Port::getstate() { return state.load(); }

ULONG Port::setstate(ULONG newstate) { return state.exchange(newstate); }
