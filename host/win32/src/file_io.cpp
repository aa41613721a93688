// Handles on devices: CreateFileA turns a user path into the kernel's name and
// opens it through the host machine's I/O manager; reads, writes and device
// control are synchronous and go one at a time per handle, as on a handle
// opened without overlapped I/O.
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "disk_files.h"
#include "handles.h"
#include "kernel/machine.h"
#include "tower/ntstatus.h"

namespace win32host {

namespace {

// A handle on an open device. Closing it sends the cleanup at once, as
// Windows does when the last handle goes; requests in flight keep the
// kernel's file object, and the close waits for them so that it never frees
// it under them.
class DeviceFile final : public Object {
 public:
  DeviceFile(hk::Machine* machine, hk::FileObject* file)
      : Object(ObjectKind::kDeviceFile), machine_(machine), file_(file) {}
  bool ClosedByCloseHandle() const override { return true; }
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
      idle_.notify_all();
    }
  }
  // Cleanup now, close once the requests in flight are done.
  void Close() {
    closing_.store(true);
    // A handle that outlived its machine has nothing left to close.
    if (CurrentMachine() != machine_) return;
    machine_->io().Cleanup(file_);
    {
      std::unique_lock<std::mutex> lock(mutex_);
      idle_.wait(lock, [this] { return inFlight_.load() == 0; });
    }
    machine_->io().CloseFile(file_);
  }
  hk::IoManager& io() { return machine_->io(); }
  hk::FileObject* file() { return file_; }
  // Held around each read, write and device control of the handle.
  hk::HostMutex& serial() { return serial_; }

 private:
  hk::Machine* machine_;
  hk::FileObject* file_;
  std::mutex mutex_;
  std::condition_variable idle_;
  std::atomic<int> inFlight_{0};
  std::atomic<bool> closing_{false};
  // The NT family's I/O manager lets one request at a time through a file
  // object opened for synchronous I/O (without FILE_FLAG_OVERLAPPED, the
  // only kind the subset opens): a write or device control waits while a
  // read on the same handle is blocked in the driver, however long the
  // read's timeouts let it block. Handles of their own do not wait for each
  // other. The close does not take this lock: it sends the cleanup at once.
  // The legacy family (95, 98, Me) passes device requests through VWIN32 to
  // the WDM layer without this file-object lock, as far as its documentation
  // shows: requests of several threads on one handle reach the driver side
  // by side, so a send there does not wait for a blocked receive. The host
  // machine models the NT family.
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

 private:
  std::shared_ptr<DeviceFile> file_;
};

bool StartsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// The calls of the subset carry no overlapped structure; Windows would start
// asynchronous I/O instead, which the subset does not offer.
bool RefuseOverlapped(LPOVERLAPPED overlapped) {
  if (overlapped == nullptr) return false;
  SetLastError(ERROR_NOT_SUPPORTED);
  return true;
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
  if ((dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return INVALID_HANDLE_VALUE;
  }
  // "\\.\X" (a device link) and "\\?\X" (a device interface) both name the
  // kernel's "\??\X"; any other name is a file on the machine's drive.
  if (!StartsWith(lpFileName, "\\\\.\\") && !StartsWith(lpFileName, "\\\\?\\"))
    return OpenDiskFile(lpFileName, dwDesiredAccess, dwShareMode, dwCreationDisposition,
                        dwFlagsAndAttributes);
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
  return InsertHandle(std::make_shared<DeviceFile>(machine, file));
}

}  // extern "C"

namespace {

// Reads and writes alike: synchronous, the byte count reported even when the
// status is a warning.
BOOL Transfer(HANDLE file, void* buffer, DWORD length, LPDWORD transferred, LPOVERLAPPED overlapped,
              bool write) {
  if (transferred != nullptr) *transferred = 0;
  if (RefuseOverlapped(overlapped)) return FALSE;
  std::shared_ptr<Object> object = LookupHandle(file);
  if (object && object->kind() == ObjectKind::kDiskFile)
    return DiskTransfer(file, buffer, length, transferred, write);
  Request request(std::move(object));
  if (request.get() == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<hk::HostMutex> serial(request.get()->serial());
  uint32_t moved = 0;
  hk::IoManager& io = request.get()->io();
  const NTSTATUS status = write ? io.Write(request.get()->file(), buffer, length, &moved)
                                : io.Read(request.get()->file(), buffer, length, &moved);
  if (transferred != nullptr) *transferred = moved;
  if (!tower::NtSuccess(status)) {
    SetLastNtError(status);
    return FALSE;
  }
  return TRUE;
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
  if (RefuseOverlapped(lpOverlapped)) return FALSE;
  Request request(LookupHandle(hDevice));
  if (request.get() == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Buffered: one system buffer as long as the longer length, holding the
  // input; the output comes back for a status that is not an error.
  std::lock_guard<hk::HostMutex> serial(request.get()->serial());
  uint32_t returned = 0;
  const NTSTATUS status =
      request.get()->io().Control(request.get()->file(), dwIoControlCode, lpInBuffer, nInBufferSize,
                                  lpOutBuffer, nOutBufferSize, &returned);
  if (lpBytesReturned != nullptr) *lpBytesReturned = returned;
  // STATUS_TIMEOUT is a success: the call returns TRUE. Warnings fail with
  // their translation but keep the bytes they returned.
  if (!tower::NtSuccess(status)) {
    SetLastNtError(status);
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
