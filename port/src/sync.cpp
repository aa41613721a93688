// The two exported synchronisation records: a critical section and an event.
#include <map>

#include "internal.h"

namespace {

// Holds a critical section for a scope, so that an allocation that fails
// inside cannot leave it entered.
class SectionGuard {
 public:
  explicit SectionGuard(CRITICAL_SECTION* section) : section_(section) {
    EnterCriticalSection(section_);
  }
  ~SectionGuard() { LeaveCriticalSection(section_); }
  SectionGuard(const SectionGuard&) = delete;
  SectionGuard& operator=(const SectionGuard&) = delete;

 private:
  CRITICAL_SECTION* section_;
};

// Event handles that more than one ZMB_EVENT holds after a copy assignment,
// with how many holders each has beyond the first. Only the last holder
// closes the handle: closing it once per holder would close whatever handle
// the system has handed out under that value in between.
class SharedEvents {
 public:
  SharedEvents() { InitializeCriticalSection(&lock_); }
  ~SharedEvents() { DeleteCriticalSection(&lock_); }
  SharedEvents(const SharedEvents&) = delete;
  SharedEvents& operator=(const SharedEvents&) = delete;

  void AddHolder(HANDLE event) {
    SectionGuard guard(&lock_);
    ++extra_[event];
  }
  // True when the caller was the handle's last holder and must close it.
  bool DropHolder(HANDLE event) {
    SectionGuard guard(&lock_);
    auto it = extra_.find(event);
    if (it == extra_.end()) return true;
    if (--it->second == 0) extra_.erase(it);
    return false;
  }

 private:
  CRITICAL_SECTION lock_;
  std::map<HANDLE, unsigned> extra_;
};

SharedEvents& Shared() {
  static SharedEvents shared;
  return shared;
}

bool Holds(HANDLE event) { return event != INVALID_HANDLE_VALUE && event != nullptr; }

void Release(HANDLE event) {
  if (Holds(event) && Shared().DropHolder(event)) CloseHandle(event);
}

}  // namespace

ZMB_AUTO_CRITICALSECTION::ZMB_AUTO_CRITICALSECTION() { InitializeCriticalSection(&section); }

ZMB_AUTO_CRITICALSECTION::~ZMB_AUTO_CRITICALSECTION() { DeleteCriticalSection(&section); }

// Each object keeps the section it initialised, in whatever state it is. A
// copy of another's raw section data would leave both deleting one lock at
// destruction, and this one's own lock never deleted; a copied section is
// no lock the platform supports.
ZMB_AUTO_CRITICALSECTION& ZMB_AUTO_CRITICALSECTION::operator=(
    const ZMB_AUTO_CRITICALSECTION& other) {
  (void)other;
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

ZMB_EVENT::~ZMB_EVENT() { Release(event); }

// Both objects then hold one handle, counted, so that it is closed once, by
// its last holder; the event this object held before is let go the same way.
ZMB_EVENT& ZMB_EVENT::operator=(const ZMB_EVENT& other) {
  if (event == other.event) return *this;
  if (Holds(other.event)) Shared().AddHolder(other.event);
  Release(event);
  event = other.event;
  return *this;
}

bool ZMB_EVENT::isvalid() { return Holds(event); }

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
