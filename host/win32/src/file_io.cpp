// Handles on devices: CreateFileA turns a user path into the kernel's name and
// opens it through the host machine's I/O manager. A handle opened without
// FILE_FLAG_OVERLAPPED makes synchronous requests, one at a time per handle
// on the NT family and side by side on the legacy family; one opened with it
// takes overlapped requests (ReadFile, WriteFile and DeviceIoControl with an
// OVERLAPPED), finished by GetOverlappedResult and cancelled by CancelIo and
// CancelIoEx.
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <list>
#include <mutex>
#include <vector>

#include "disk_files.h"
#include "handles.h"
#include "kernel/machine.h"
#include "threads.h"
#include "tower/ntstatus.h"

namespace win32host {

namespace {

// A request as the handle calls give it: a read, a write or a device control.
struct Call {
  enum Kind { kRead, kWrite, kControl } kind = kRead;
  void* buffer = nullptr;  // reads and writes
  uint32_t length = 0;
  uint32_t code = 0;  // device control
  const void* input = nullptr;
  uint32_t inputLength = 0;
  void* output = nullptr;
  uint32_t outputLength = 0;
};

// What the calls report for a finished request: the byte count even when the
// status is a warning, none for a failed device control, as the synchronous
// calls do.
DWORD BytesOf(const Call& call, NTSTATUS status, uintptr_t information) {
  if (call.kind == Call::kControl && tower::NtError(status)) return 0;
  return static_cast<DWORD>(information);
}

// The status an OVERLAPPED's Internal holds: the low 32 bits, as the I/O
// status block that overlays it on Windows.
ULONG_PTR InternalOf(NTSTATUS status) {
  return static_cast<ULONG_PTR>(static_cast<uint32_t>(status));
}
NTSTATUS StatusOf(ULONG_PTR internal) {
  return static_cast<NTSTATUS>(static_cast<uint32_t>(internal));
}

// A handle on an open device. Closing it sends the cleanup at once, as
// Windows does when the last handle goes; requests in flight keep the
// kernel's file object, and the close waits for them so that it never frees
// it under them. The handle itself is signalled when an overlapped request
// without an event of its own completes, and reset when one starts, as the
// file object's event is on Windows.
//
// Overlapped requests: each is an Op on the handle's list from its issue
// until it has completed and nothing refers to it any more (settled). While
// it is pending the Op keeps the handle alive and holds the handle's count of
// requests in flight, so that the close waits for it. Its PendingIo belongs
// to the Op, and is freed by whoever settles the Op: the issuer or a canceller
// frees it at once, outside the handle's lock; the completion, which must not
// free the request it is completing (a cancel by handle may still hold it),
// hands it to the I/O manager, which frees it at a later asynchronous issue
// (of any handle) or when the machine goes. The results go into the caller's OVERLAPPED at the
// completion, under the handle's lock, so that a request the caller never
// asks about is freed all the same: GetOverlappedResult finds them there.
class DeviceFile final : public Waitable {
 public:
  DeviceFile(hk::Machine* machine, hk::FileObject* file, bool overlapped, bool serialised)
      : Waitable(true, false, ObjectKind::kDeviceFile),
        machine_(machine),
        file_(file),
        overlapped_(overlapped),
        serialised_(serialised) {}
  void OnClose() override { Close(); }

  // Starts a request on the handle; false once the handle is being closed or
  // its machine is gone. Counted without a lock, as every read and write
  // passes here: the count goes up before the closing flag is looked at, and
  // the close sets the flag before it looks at the count, so (both in one
  // total order) either the request sees the close or the close waits for
  // the request.
  bool Begin() {
    inFlight_.fetch_add(1);
    if (closing_.load() || CurrentMachine() != machine_) {
      End();
      return false;
    }
    return true;
  }
  void End() {
    // Only a close waits for the count: the last request out wakes it, under
    // the lock its wait holds between looking and sleeping.
    if (inFlight_.fetch_sub(1) == 1 && closing_.load()) {
      std::lock_guard<std::mutex> lock(mutex_);
      changed_.notify_all();
    }
  }
  // Cleanup now, close once the requests in flight are done. The driver
  // completes in its cleanup the requests it holds for the handle (those
  // pending during a stop or removal query), overlapped ones included.
  void Close() {
    closing_.store(true);
    // A handle that outlived its machine has nothing left to close.
    if (CurrentMachine() != machine_) return;
    machine_->io().Cleanup(file_);
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return inFlight_.load() == 0; });
    }
    machine_->io().CloseFile(file_);
  }
  hk::IoManager& io() { return machine_->io(); }
  hk::FileObject* file() { return file_; }
  // Opened with FILE_FLAG_OVERLAPPED.
  bool overlapped() const { return overlapped_; }

  // A synchronous request, on a handle of either kind.
  NTSTATUS Run(const Call& call, DWORD* bytes) {
    std::unique_lock<hk::HostMutex> serial(serial_, std::defer_lock);
    if (serialised_) serial.lock();
    uint32_t moved = 0;
    hk::IoManager& manager = io();
    NTSTATUS status = tower::STATUS_SUCCESS;
    switch (call.kind) {
      case Call::kRead:
        status = manager.Read(file_, call.buffer, call.length, &moved);
        break;
      case Call::kWrite:
        status = manager.Write(file_, call.buffer, call.length, &moved);
        break;
      case Call::kControl:
        status = manager.Control(file_, call.code, call.input, call.inputLength, call.output,
                                 call.outputLength, &moved);
        break;
    }
    *bytes = moved;
    return status;
  }

  // A synchronous request given an OVERLAPPED (a handle opened without
  // FILE_FLAG_OVERLAPPED): the request runs as any other synchronous one;
  // its OVERLAPPED reads as pending meanwhile, then receives the results,
  // and its event is reset at the start and set at the end, as on Windows.
  void Prepare(LPOVERLAPPED overlapped, Waitable* event) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      overlapped->Internal = InternalOf(tower::STATUS_PENDING);
      overlapped->InternalHigh = 0;
    }
    if (event != nullptr) event->Reset();
  }
  void Record(LPOVERLAPPED overlapped, Waitable* event, NTSTATUS status, DWORD bytes) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      overlapped->InternalHigh = bytes;
      overlapped->Internal = InternalOf(status);
    }
    if (event != nullptr) event->Set();
  }

  // Issues an overlapped request. `self` is this handle, which the request
  // keeps alive while it is pending. True, with the status and byte count,
  // when the request was done before the call returned; false while it is
  // pending.
  bool Start(const std::shared_ptr<DeviceFile>& self, const Call& call, LPOVERLAPPED overlapped,
             std::shared_ptr<Waitable> event, NTSTATUS* status, DWORD* bytes) {
    Op* op = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ops_.emplace_back();
      op = &ops_.back();
      op->owner = self;
      op->overlapped = overlapped;
      op->event = std::move(event);
      op->thread = GetCurrentThreadId();
      overlapped->Internal = InternalOf(tower::STATUS_PENDING);
      overlapped->InternalHigh = 0;
      inFlight_.fetch_add(1);  // given back by the completion
    }
    // Not signalled until this request (or another) completes.
    if (op->event)
      op->event->Reset();
    else
      Reset();
    const hk::IoCompletion then{&DeviceFile::Completed, op};
    std::unique_ptr<hk::PendingIo> pending;
    hk::IoManager& manager = io();
    switch (call.kind) {
      case Call::kRead:
        pending = manager.ReadAsync(file_, call.buffer, call.length, then);
        break;
      case Call::kWrite:
        pending = manager.WriteAsync(file_, call.buffer, call.length, then);
        break;
      case Call::kControl:
        pending = manager.ControlAsync(file_, call.code, call.input, call.inputLength, call.output,
                                       call.outputLength, then);
        break;
    }
    // A cancel that came while the request was being issued is carried out
    // now that there is a request to cancel.
    hk::PendingIo* cancel = nullptr;
    bool done = false;
    Settled settled;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      op->io = std::move(pending);
      if (op->cancelRequested && !op->finished) {
        cancel = op->io.get();
        ++op->pins;
      }
      op->issued = true;
      done = op->finished;
      if (done) {
        *status = StatusOf(overlapped->Internal);
        *bytes = BytesOf(call, *status, overlapped->InternalHigh);
      }
      settled = Settle(op);
    }
    if (cancel != nullptr) Unpin(op, cancel);
    return done;
  }

  // GetOverlappedResult's part: true, with the results, once no request of
  // the handle with this OVERLAPPED is pending; false while one is and the
  // caller does not wait.
  bool Result(LPOVERLAPPED overlapped, bool wait, NTSTATUS* status, ULONG_PTR* bytes) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto pending = [this, overlapped] {
      for (const Op& op : ops_)
        if (op.overlapped == overlapped && !op.finished) return true;
      return false;
    };
    if (pending()) {
      if (!wait) return false;
      changed_.wait(lock, [&] { return !pending(); });
    }
    *status = StatusOf(overlapped->Internal);
    *bytes = overlapped->InternalHigh;
    return true;
  }

  // Cancels the pending overlapped requests issued by `thread` (0: by any
  // thread) with `overlapped` (null: with any); returns how many there were.
  size_t Cancel(DWORD thread, LPOVERLAPPED overlapped) {
    std::vector<std::pair<Op*, hk::PendingIo*>> issued;
    size_t count = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (Op& op : ops_) {
        if (op.finished || (thread != 0 && op.thread != thread) ||
            (overlapped != nullptr && op.overlapped != overlapped))
          continue;
        ++count;
        if (!op.issued) {
          op.cancelRequested = true;  // the issuer cancels it
          continue;
        }
        ++op.pins;
        issued.emplace_back(&op, op.io.get());
      }
    }
    // Outside the lock: the driver's cancel routine completes the request
    // here, and the completion takes the lock.
    for (const auto& [op, pending] : issued) Unpin(op, pending);
    return count;
  }

  // Synchronous requests in the driver besides the caller's own call (which
  // holds one count) and the pending overlapped ones.
  bool OthersInFlight() {
    std::lock_guard<std::mutex> lock(mutex_);
    int pendingOps = 0;
    for (const Op& op : ops_)
      if (!op.finished) ++pendingOps;
    return inFlight_.load() - pendingOps > 1;
  }

 private:
  struct Op {
    std::shared_ptr<DeviceFile> owner;  // while pending: the handle stays
    LPOVERLAPPED overlapped = nullptr;
    std::shared_ptr<Waitable> event;    // null: the handle is signalled
    DWORD thread = 0;                   // the issuer, for CancelIo
    std::unique_ptr<hk::PendingIo> io;  // handed over once issued
    bool issued = false;                // the issuer has handed the request over
    bool finished = false;              // completed; the results are in
    bool cancelRequested = false;       // cancelled before it was handed over
    int pins = 0;                       // cancellers using `io` outside the lock
  };
  // What settling an Op takes off it, to be let go outside the handle's lock.
  struct Settled {
    std::unique_ptr<hk::PendingIo> io;
    std::shared_ptr<DeviceFile> owner;
  };

  // The completion of an overlapped request, in the completing thread.
  static void Completed(void* context, NTSTATUS status, uintptr_t information) {
    Op* op = static_cast<Op*>(context);
    DeviceFile* self = op->owner.get();
    std::shared_ptr<DeviceFile> keep;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      op->overlapped->InternalHigh = information;
      op->overlapped->Internal = InternalOf(status);
      op->finished = true;
      if (op->event)
        op->event->Set();
      else
        self->Set();
      Settled settled = self->Settle(op);
      // Not freed here: see the class's comment.
      if (settled.io) self->io().Retire(std::move(settled.io));
      keep = std::move(settled.owner);
      self->inFlight_.fetch_sub(1);
      self->changed_.notify_all();
    }
    // The last reference may go here, once the lock is released; nothing of
    // the handle is touched after.
  }

  // Takes a finished Op off the list once nobody refers to it (under the lock).
  Settled Settle(Op* op) {
    Settled settled;
    if (!op->finished || !op->issued || op->pins > 0) return settled;
    settled.io = std::move(op->io);
    settled.owner = std::move(op->owner);
    ops_.remove_if([op](const Op& each) { return &each == op; });
    return settled;
  }

  // Cancels a pinned request, then lets go of it (outside the lock).
  void Unpin(Op* op, hk::PendingIo* pending) {
    io().Cancel(*pending);
    Settled settled;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --op->pins;
      settled = Settle(op);
    }
  }

  hk::Machine* machine_;
  hk::FileObject* file_;
  std::mutex mutex_;
  // Wakes the close (no request in flight any more) and GetOverlappedResult
  // (a request completed).
  std::condition_variable changed_;
  std::atomic<int> inFlight_{0};
  std::atomic<bool> closing_{false};
  std::list<Op> ops_;  // under mutex_
  const bool overlapped_;
  // The NT family's I/O manager lets one request at a time through a file
  // object opened for synchronous I/O (without FILE_FLAG_OVERLAPPED): a write
  // or device control waits while a read on the same handle is blocked in the
  // driver, however long the read's timeouts let it block. Handles of their
  // own do not wait for each other, and neither do the requests of a handle
  // opened for overlapped I/O. The close does not take this lock: it sends
  // the cleanup at once. The legacy family (95, 98, Me) passes device
  // requests through VWIN32 to the WDM layer without this file-object lock,
  // as far as its documentation shows: requests of several threads on one
  // handle reach the driver side by side, so a send there does not wait for
  // a blocked receive. The host machine does as the family it runs as:
  // `serialised_` is set for a synchronous handle on the NT family only.
  const bool serialised_;
  hk::HostMutex serial_;
};

// Holds a request on a handle from its start to its end.
class Request {
 public:
  // `object` is what the handle names, looked up once by the caller.
  explicit Request(std::shared_ptr<Object> object) {
    if (object && object->kind() == ObjectKind::kDeviceFile) {
      file_ = std::static_pointer_cast<DeviceFile>(std::move(object));
      if (!file_->Begin()) file_.reset();
    }
  }
  ~Request() {
    if (file_) file_->End();
  }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;
  DeviceFile* get() { return file_.get(); }
  const std::shared_ptr<DeviceFile>& shared() { return file_; }

 private:
  std::shared_ptr<DeviceFile> file_;
};

bool StartsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// The event an OVERLAPPED names, as the I/O manager takes it: null for none,
// false for a handle that names no event. The low bit (which on Windows keeps
// the completion from a completion port) is not part of the handle.
bool EventOf(LPOVERLAPPED overlapped, std::shared_ptr<Waitable>* event) {
  event->reset();
  const auto value = reinterpret_cast<uintptr_t>(overlapped->hEvent) & ~uintptr_t{1};
  if (value == 0) return true;
  *event = Lookup<Event>(reinterpret_cast<HANDLE>(value));
  return *event != nullptr;
}

// The result of a finished request, as every call reports it.
BOOL Report(NTSTATUS status) {
  // STATUS_TIMEOUT is a success: the call returns TRUE. Warnings fail with
  // their translation but keep the bytes they returned.
  if (!tower::NtSuccess(status)) {
    SetLastNtError(status);
    return FALSE;
  }
  return TRUE;
}

// A read, write or device control on a device handle. Without an
// OVERLAPPED, or on a handle opened without FILE_FLAG_OVERLAPPED, it is
// synchronous (a given OVERLAPPED then only receives the results, and its
// event is set); with one on an overlapped handle it is issued
// asynchronously and reported done or pending.
BOOL Issue(Request& request, const Call& call, LPDWORD bytes, LPOVERLAPPED overlapped) {
  DeviceFile* file = request.get();
  std::shared_ptr<Waitable> event;
  if (overlapped != nullptr && !EventOf(overlapped, &event)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  DWORD moved = 0;
  NTSTATUS status = tower::STATUS_SUCCESS;
  if (overlapped == nullptr || !file->overlapped()) {
    if (overlapped != nullptr) file->Prepare(overlapped, event.get());
    status = file->Run(call, &moved);
    if (overlapped != nullptr) file->Record(overlapped, event.get(), status, moved);
  } else if (!file->Start(request.shared(), call, overlapped, std::move(event), &status, &moved)) {
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  if (bytes != nullptr) *bytes = moved;
  return Report(status);
}

}  // namespace

}  // namespace win32host

using namespace win32host;

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  // Access, sharing and security are the driver's business (the tower's
  // device is exclusive whatever the caller asks for).
  (void)dwDesiredAccess;
  (void)dwShareMode;
  (void)lpSecurityAttributes;
  (void)hTemplateFile;
  if (lpFileName == nullptr || dwCreationDisposition < CREATE_NEW ||
      dwCreationDisposition > TRUNCATE_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const bool overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
  // "\\.\X" (a device link) and "\\?\X" (a device interface) both name the
  // kernel's "\??\X"; any other name is a file on the machine's drive.
  if (!StartsWith(lpFileName, "\\\\.\\") && !StartsWith(lpFileName, "\\\\?\\")) {
    // The subset's disk files are synchronous only.
    if (overlapped) {
      SetLastError(ERROR_NOT_SUPPORTED);
      return INVALID_HANDLE_VALUE;
    }
    return OpenDiskFile(lpFileName, dwDesiredAccess, dwShareMode, dwCreationDisposition,
                        dwFlagsAndAttributes);
  }
  hk::Machine* machine = CurrentMachine();
  if (machine == nullptr) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const std::u16string kernelPath = u"\\??\\" + hk::ToU16(lpFileName + 4);
  hk::FileObject* file = nullptr;
  const NTSTATUS status = machine->io().Open(kernelPath, &file);
  if (!tower::NtSuccess(status)) {
    SetLastNtError(status);
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(ERROR_SUCCESS);
  // Windows 98 takes overlapped requests on devices too (not on disk files),
  // so both families accept the flag; see DeviceFile::serial_ for the rest.
  const bool serialised = !overlapped && !machine->identity().Legacy();
  return InsertHandle(std::make_shared<DeviceFile>(machine, file, overlapped, serialised));
}

}  // extern "C"

namespace {

// Reads and writes alike.
BOOL Transfer(HANDLE file, void* buffer, DWORD length, LPDWORD transferred, LPOVERLAPPED overlapped,
              bool write) {
  if (transferred != nullptr) *transferred = 0;
  std::shared_ptr<Object> object = LookupHandle(file);
  if (object && object->kind() == ObjectKind::kDiskFile) {
    // The subset's disk files take no OVERLAPPED.
    if (overlapped != nullptr) {
      SetLastError(ERROR_NOT_SUPPORTED);
      return FALSE;
    }
    return DiskTransfer(file, buffer, length, transferred, write);
  }
  Request request(std::move(object));
  if (request.get() == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  Call call;
  call.kind = write ? Call::kWrite : Call::kRead;
  call.buffer = buffer;
  call.length = length;
  return Issue(request, call, transferred, overlapped);
}

}  // namespace

extern "C" {

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  return Transfer(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped, false);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  return Transfer(hFile, const_cast<void*>(lpBuffer), nNumberOfBytesToWrite, lpNumberOfBytesWritten,
                  lpOverlapped, true);
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
  if (lpBytesReturned != nullptr) *lpBytesReturned = 0;
  Request request(LookupHandle(hDevice));
  if (request.get() == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Buffered: one system buffer as long as the longer length, holding the
  // input; the output comes back for a status that is not an error, at the
  // completion (for an overlapped request, that may be after the return).
  Call call;
  call.kind = Call::kControl;
  call.code = dwIoControlCode;
  call.input = lpInBuffer;
  call.inputLength = nInBufferSize;
  call.output = lpOutBuffer;
  call.outputLength = nOutBufferSize;
  return Issue(request, call, lpBytesReturned, lpOverlapped);
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
  std::shared_ptr<Object> object = LookupHandle(hFile);
  if (!object || object->kind() != ObjectKind::kDeviceFile) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (lpOverlapped == nullptr || lpNumberOfBytesTransferred == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Windows waits on the OVERLAPPED's event (or the handle); the host waits
  // for the request itself, which ends at the same moment and leaves an
  // auto-reset event alone. An OVERLAPPED that no request of the handle
  // ever took stays incomplete even with bWait: nothing would complete it.
  auto* file = static_cast<DeviceFile*>(object.get());
  NTSTATUS status = tower::STATUS_PENDING;
  ULONG_PTR bytes = 0;
  if (!file->Result(lpOverlapped, bWait != FALSE, &status, &bytes) ||
      status == tower::STATUS_PENDING) {
    SetLastError(ERROR_IO_INCOMPLETE);
    return FALSE;
  }
  *lpNumberOfBytesTransferred = static_cast<DWORD>(bytes);
  return Report(status);
}

BOOL WINAPI CancelIo(HANDLE hFile) {
  // The calling thread's overlapped requests on the handle, as on Windows;
  // its synchronous ones cannot be in flight while it is here. (Windows
  // before Vista also cancels a thread's requests when the thread ends; the
  // host leaves them to complete.)
  Request request(LookupHandle(hFile));
  if (request.get() == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  request.get()->Cancel(GetCurrentThreadId(), nullptr);
  return TRUE;
}

BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) {
  // Windows has this from Vista on; the host offers it on every version it
  // runs as. Requests of any thread: with an OVERLAPPED, the overlapped
  // requests that carry it; without, every request on the handle, the
  // synchronous ones of other threads included.
  Request request(LookupHandle(hFile));
  if (request.get() == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  DeviceFile* file = request.get();
  bool found = file->Cancel(0, lpOverlapped) > 0;
  if (lpOverlapped == nullptr && file->OthersInFlight()) {
    file->io().CancelIo(file->file());
    found = true;
  }
  if (!found) {
    SetLastError(ERROR_NOT_FOUND);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  // Devices, threads and events are closed here, disk files by their own
  // room; a device-information set has its own call and stays as it is.
  if (IsDiskFile(hObject)) return CloseDiskFile(hObject);
  std::shared_ptr<Object> object = LookupHandle(hObject);
  if (!object || !object->ClosedByCloseHandle() || RemoveHandle(hObject) != object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  object->OnClose();
  return TRUE;
}

}  // extern "C"
