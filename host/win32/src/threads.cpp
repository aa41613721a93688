// Threads, waits, events, critical sections, Sleep and the tick clock of the
// Win32 subset, with Windows' behaviour: a thread handle is signalled when
// the thread has ended and stays so; an auto-reset event lets one wait
// through and resets itself; a critical section may be entered again by the
// thread that holds it.
#include "threads.h"

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "faults/faults.h"
#include "handles.h"

namespace win32host {

DWORD Waitable::Wait(DWORD milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto ready = [this] { return signalled_; };
  if (milliseconds == INFINITE) {
    changed_.wait(lock, ready);
  } else if (!changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), ready)) {
    return WAIT_TIMEOUT;
  }
  if (!manualReset_) signalled_ = false;
  return WAIT_OBJECT_0;
}

void Waitable::Set() {
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = true;
  // An auto-reset event releases one waiter; the others keep waiting.
  if (manualReset_)
    changed_.notify_all();
  else
    changed_.notify_one();
}

void Waitable::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = false;
}

namespace {

// Thread ids are multiples of 4 and never 0, as on Windows; each thread
// gets one the first time it needs it (or from CreateThread before it runs).
std::atomic<DWORD> nextThreadId{0x104};
thread_local DWORD currentThreadId = 0;

DWORD NewThreadId() { return nextThreadId.fetch_add(4); }

class Thread final : public Waitable {
 public:
  Thread() : Waitable(true, false) {}
  void Finish(DWORD code) {
    exitCode_.store(code);
    Set();
  }
  DWORD exitCode() const { return exitCode_.load(); }

 private:
  std::atomic<DWORD> exitCode_{STILL_ACTIVE};
};

// The lock behind a critical section: reentrant for its owner.
struct SectionLock {
  std::recursive_mutex mutex;
};

SectionLock* LockOf(LPCRITICAL_SECTION section) {
  return static_cast<SectionLock*>(section->LockSemaphore);
}

// The file name of the module a thread's function lives in ("Celvane.dll"),
// the subject of the facility's CreateThread.
std::string ModuleNameOf(const void* code) {
  Dl_info info{};
  if (dladdr(code, &info) == 0 || info.dli_fname == nullptr) return std::string();
  const std::string path = info.dli_fname;
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A site whose subject is the module that called it: named only when a
// fault is armed at all, as looking the module up is not free.
std::optional<uint32_t> InjectedForCaller(const char* site, const void* returnAddress) {
  if (!AnyFaultArmed()) return std::nullopt;
  return Injected(site, ModuleNameOf(returnAddress));
}

}  // namespace

}  // namespace win32host

using namespace win32host;

extern "C" {

DWORD WINAPI GetCurrentThreadId(void) {
  if (currentThreadId == 0) currentThreadId = NewThreadId();
  return currentThreadId;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId) {
  // Security and stack size are the platform's business; a default stack
  // serves every thread the deliverables start.
  (void)lpThreadAttributes;
  (void)dwStackSize;
  if (lpStartAddress == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if ((dwCreationFlags & CREATE_SUSPENDED) != 0) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  if (AnyFaultArmed())
    if (auto code = Injected(hk::fault::kCreateThread,
                             ModuleNameOf(reinterpret_cast<const void*>(lpStartAddress)))) {
      SetLastError(*code);
      return nullptr;
    }
  auto thread = std::make_shared<Thread>();
  const DWORD id = NewThreadId();
  try {
    std::thread([thread, id, lpStartAddress, lpParameter] {
      currentThreadId = id;
      const DWORD code = lpStartAddress(lpParameter);
      DropCurrentThreadQueue();
      thread->Finish(code);
    }).detach();
  } catch (const std::system_error&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (lpThreadId != nullptr) *lpThreadId = id;
  SetLastError(ERROR_SUCCESS);
  return InsertHandle(thread);
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  std::shared_ptr<Thread> thread = Lookup<Thread>(hThread);
  if (!thread || lpExitCode == nullptr) {
    SetLastError(thread ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *lpExitCode = thread->exitCode();
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  std::shared_ptr<Waitable> object = Lookup<Waitable>(hHandle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return object->Wait(dwMilliseconds);
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCSTR lpName) {
  (void)lpEventAttributes;
  // Named events are shared between processes; the subset has one process.
  if (lpName != nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  if (auto code = InjectedForCaller(hk::fault::kCreateEventA, __builtin_return_address(0))) {
    SetLastError(*code);
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  return InsertHandle(std::make_shared<Event>(bManualReset != FALSE, bInitialState != FALSE));
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
  std::shared_ptr<Event> event = Lookup<Event>(hEvent);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (auto code = InjectedForCaller(hk::fault::kSetEvent, __builtin_return_address(0))) {
    SetLastError(*code);
    return FALSE;
  }
  event->Set();
  return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
  std::shared_ptr<Event> event = Lookup<Event>(hEvent);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (auto code = InjectedForCaller(hk::fault::kResetEvent, __builtin_return_address(0))) {
    SetLastError(*code);
    return FALSE;
  }
  event->Reset();
  return TRUE;
}

void WINAPI Sleep(DWORD dwMilliseconds) {
  // Sleep(0) gives up the rest of the time slice and returns at once when
  // no other thread is ready to run.
  if (dwMilliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

DWORD WINAPI GetTickCount(void) {
  // Milliseconds of a monotonic clock, wrapping at 32 bits as Windows' does.
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  *lpCriticalSection = CRITICAL_SECTION{};
  lpCriticalSection->LockSemaphore = new SectionLock;
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  delete LockOf(lpCriticalSection);
  lpCriticalSection->LockSemaphore = nullptr;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  LockOf(lpCriticalSection)->mutex.lock();
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  return LockOf(lpCriticalSection)->mutex.try_lock() ? TRUE : FALSE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  LockOf(lpCriticalSection)->mutex.unlock();
}

}  // extern "C"
