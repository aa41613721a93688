// Per-thread message queues of the Win32 subset, with Windows' posting rules:
// a thread has no queue until it first asks for a message (GetMessageA or
// PeekMessageA), and until then PostThreadMessageA to it fails with
// ERROR_INVALID_THREAD_ID; posted messages come out in the order posted; a
// queue holds at most 10000 posted messages; WM_QUIT makes GetMessageA
// return 0 and is retrieved whatever the filter; the queue goes with its
// thread.
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "faults/faults.h"
#include "handles.h"
#include "threads.h"

namespace win32host {

namespace {

// Windows' default limit of posted messages per queue.
constexpr size_t kPostedLimit = 10000;

class Queue {
 public:
  bool Post(const MSG& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (messages_.size() >= kPostedLimit) return false;
    messages_.push_back(message);
    arrived_.notify_one();
    return true;
  }
  void PostQuit(int code) {
    std::lock_guard<std::mutex> lock(mutex_);
    quitPending_ = true;
    quitCode_ = code;
    arrived_.notify_one();
  }
  // Takes (or, without remove, copies) the first message that passes the
  // filter; waits for one when asked to.
  bool Take(MSG* out, HWND window, UINT first, UINT last, bool remove, bool wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      for (auto it = messages_.begin(); it != messages_.end(); ++it) {
        if (!Passes(*it, window, first, last)) continue;
        *out = *it;
        if (remove) messages_.erase(it);
        return true;
      }
      // The quit flag of PostQuitMessage is seen once the posted messages
      // before it are gone, and is cleared by taking it.
      if (quitPending_) {
        *out = MSG{};
        out->message = WM_QUIT;
        out->wParam = static_cast<WPARAM>(quitCode_);
        out->time = GetTickCount();
        if (remove) quitPending_ = false;
        return true;
      }
      if (!wait) return false;
      arrived_.wait(lock);
    }
  }

 private:
  static bool Passes(const MSG& m, HWND window, UINT first, UINT last) {
    // A null window takes every message of the thread; -1 only those posted
    // to the thread itself, which here are all of them.
    if (window != nullptr && window != reinterpret_cast<HWND>(-1) && m.hwnd != window) return false;
    if (m.message == WM_QUIT) return true;
    if (first == 0 && last == 0) return true;
    return m.message >= first && m.message <= last;
  }

  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<MSG> messages_;
  bool quitPending_ = false;
  int quitCode_ = 0;
};

struct Queues {
  std::mutex mutex;
  std::map<DWORD, std::shared_ptr<Queue>> byThread;
};

Queues& AllQueues() {
  static Queues* queues = new Queues;  // outlives every thread's exit
  return *queues;
}

std::shared_ptr<Queue> Find(DWORD thread) {
  Queues& all = AllQueues();
  std::lock_guard<std::mutex> lock(all.mutex);
  auto it = all.byThread.find(thread);
  return it == all.byThread.end() ? nullptr : it->second;
}

void Drop(DWORD thread) {
  Queues& all = AllQueues();
  std::lock_guard<std::mutex> lock(all.mutex);
  all.byThread.erase(thread);
}

// Drops the queue of a thread the subset did not start (the main thread, a
// test's own threads) when that thread ends.
struct QueueOwner {
  DWORD thread = 0;
  ~QueueOwner() {
    if (thread != 0) Drop(thread);
  }
};
thread_local QueueOwner owner;

// The calling thread's queue, made on first use.
std::shared_ptr<Queue> OwnQueue() {
  const DWORD id = GetCurrentThreadId();
  Queues& all = AllQueues();
  std::lock_guard<std::mutex> lock(all.mutex);
  std::shared_ptr<Queue>& queue = all.byThread[id];
  if (!queue) {
    queue = std::make_shared<Queue>();
    owner.thread = id;
  }
  return queue;
}

}  // namespace

void DropCurrentThreadQueue() {
  if (owner.thread != 0) Drop(owner.thread);
  owner.thread = 0;
}

}  // namespace win32host

using namespace win32host;

extern "C" {

BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
  if (AnyFaultArmed())
    if (auto code = Injected(hk::fault::kPostThreadMessageA, std::to_string(Msg))) {
      SetLastError(*code);
      return FALSE;
    }
  std::shared_ptr<Queue> queue = Find(idThread);
  if (!queue) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE;
  }
  MSG message{};
  message.message = Msg;
  message.wParam = wParam;
  message.lParam = lParam;
  message.time = GetTickCount();
  if (!queue->Post(message)) {
    SetLastError(ERROR_NOT_ENOUGH_QUOTA);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
  if (lpMsg == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  OwnQueue()->Take(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, true, true);
  return lpMsg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                         UINT wRemoveMsg) {
  if (lpMsg == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const bool remove = (wRemoveMsg & PM_REMOVE) != 0;
  return OwnQueue()->Take(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, remove, false) ? TRUE : FALSE;
}

void WINAPI PostQuitMessage(int nExitCode) { OwnQueue()->PostQuit(nExitCode); }

}  // extern "C"
