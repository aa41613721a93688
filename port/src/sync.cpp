// The two exported synchronisation records: a critical section and an event.
#include "internal.h"

ZMB_AUTO_CRITICALSECTION::ZMB_AUTO_CRITICALSECTION() { InitializeCriticalSection(&section); }

ZMB_AUTO_CRITICALSECTION::~ZMB_AUTO_CRITICALSECTION() { DeleteCriticalSection(&section); }

ZMB_AUTO_CRITICALSECTION& ZMB_AUTO_CRITICALSECTION::operator=(
    const ZMB_AUTO_CRITICALSECTION& other) {
  if (this != &other) section = other.section;
  return *this;
}

bool ZMB_AUTO_CRITICALSECTION::enter() {
  EnterCriticalSection(&section);
  return true;
}

bool ZMB_AUTO_CRITICALSECTION::leave() {
  LeaveCriticalSection(&section);
  return true;
}

ZMB_EVENT::ZMB_EVENT(bool manualreset, bool signaled)
    : event(CreateEventA(nullptr, manualreset ? TRUE : FALSE, signaled ? TRUE : FALSE, nullptr)) {
  // A failed creation gives null; the object then holds no event.
  if (event == nullptr) event = INVALID_HANDLE_VALUE;
}

ZMB_EVENT::~ZMB_EVENT() {
  if (isvalid()) CloseHandle(event);
}

ZMB_EVENT& ZMB_EVENT::operator=(const ZMB_EVENT& other) {
  event = other.event;
  return *this;
}

bool ZMB_EVENT::isvalid() { return event != INVALID_HANDLE_VALUE && event != nullptr; }

LONG ZMB_EVENT::wait(ULONG milliseconds) {
  if (!isvalid()) return ZMB_E_WRONGSTATE;
  return WaitForSingleObject(event, milliseconds) == WAIT_TIMEOUT ? ZMB_E_TIMEOUT : ZMB_OK;
}

LONG ZMB_EVENT::signal() {
  if (!isvalid()) return ZMB_E_WRONGSTATE;
  return SetEvent(event) ? ZMB_OK : static_cast<LONG>(GetLastError());
}

LONG ZMB_EVENT::reset() {
  if (!isvalid()) return ZMB_E_WRONGSTATE;
  return ResetEvent(event) ? ZMB_OK : static_cast<LONG>(GetLastError());
}

bool ZMB_EVENT::signaled() { return isvalid() && WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }
