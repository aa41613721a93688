// What the Win32 subset's thread and message-queue halves share.
#pragma once

#include <condition_variable>
#include <mutex>

#include "handles.h"
#include "win32/windows.h"

namespace win32host {

// An object a wait can be satisfied by: signalled or not, reset by a
// satisfied wait when it is an auto-reset event. Threads, events and the
// handles on devices (which a completed overlapped request without an event
// of its own signals, as on Windows) are such objects.
class Waitable : public Object {
 public:
  Waitable(bool manualReset, bool signalled, ObjectKind kind = ObjectKind::kOther)
      : Object(kind), manualReset_(manualReset), signalled_(signalled) {}
  bool ClosedByCloseHandle() const override { return true; }

  DWORD Wait(DWORD milliseconds);
  void Set();
  void Reset();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  const bool manualReset_;
  bool signalled_;
};

class Event final : public Waitable {
 public:
  Event(bool manualReset, bool signalled) : Waitable(manualReset, signalled) {}
};

// Called by a thread made with CreateThread when its start routine has
// returned, before its handle is signalled: its message queue goes with it,
// so posts to its id fail from then on, as they do on Windows.
void DropCurrentThreadQueue();

}  // namespace win32host
