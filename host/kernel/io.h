// The I/O manager: handles on devices, and the requests that handle
// operations, Plug and Play and power become.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kernel/kernel.h"

namespace hk {

// What the issuer of a request that nobody waits on (overlapped I/O) learns
// when it is done: called once, in the completing thread, after the results
// are in and the PendingIo's waiters are woken, with the results themselves,
// so that it need not touch the PendingIo (whose owner may free it at once).
struct IoCompletion {
  void (*routine)(void* context, NTSTATUS status, uintptr_t information) = nullptr;
  void* context = nullptr;
};

// One request in flight, issued by the I/O manager.
class PendingIo final {
 public:
  ~PendingIo();
  // One is made and freed for every request: their blocks are kept for reuse.
  static void* operator new(size_t bytes);
  static void operator delete(void* block);
  PendingIo(const PendingIo&) = delete;
  PendingIo& operator=(const PendingIo&) = delete;

  // True once the request has been completed.
  bool Wait(std::chrono::milliseconds limit);
  bool Done();
  NTSTATUS status();
  uintptr_t information();
  uint64_t id() const { return id_; }
  // Position of this request's completion among all completions.
  uint64_t finishOrder();

 private:
  friend class IoManager;
  PendingIo(Kernel& kernel, Irp* irp) : kernel_(kernel), irp_(irp), id_(irp->id) {}
  void Finished(Irp* irp);
  // Waits, and takes status and information under the same lock.
  bool WaitResult(std::chrono::milliseconds limit, NTSTATUS* status, uintptr_t* information);

  Kernel& kernel_;
  Irp* irp_;
  uint64_t id_;
  IoCompletion then_;
  // Set by the completion after it has written the results below, and its
  // last touch of this object: the owner reads them once it sees the set.
  Event done_{false, false};
  NTSTATUS status_ = tower::STATUS_PENDING;
  uintptr_t information_ = 0;
  uint64_t finishOrder_ = 0;
  std::vector<uint8_t> systemBuffer_;
  void* userOutput_ = nullptr;
  uint32_t userOutputLength_ = 0;
};

class IoManager {
 public:
  explicit IoManager(Kernel& kernel) : kernel_(kernel) {}
  // Frees the retired requests (the kernel outlives the I/O manager).
  ~IoManager();
  IoManager(const IoManager&) = delete;
  IoManager& operator=(const IoManager&) = delete;

  // How long a synchronous call waits before the verifier calls the request lost.
  void SetHangLimit(std::chrono::milliseconds limit) { hangLimit_ = limit; }

  // Opens a kernel path (\??\X, \Device\X or a device-interface path).
  NTSTATUS Open(const std::u16string& path, FileObject** file);
  // Cleanup, then close.
  NTSTATUS Close(FileObject* file);
  // The two halves, as Windows sends them: the cleanup when the last handle
  // goes, the close once no request holds the file object any more.
  NTSTATUS Cleanup(FileObject* file);
  NTSTATUS CloseFile(FileObject* file);

  NTSTATUS Read(FileObject* file, void* buffer, uint32_t length, uint32_t* transferred);
  NTSTATUS Write(FileObject* file, const void* buffer, uint32_t length, uint32_t* transferred);
  NTSTATUS Control(FileObject* file, uint32_t code, const void* input, uint32_t inputLength,
                   void* output, uint32_t outputLength, uint32_t* returned);

  // `then`, when it has a routine, is called at the completion (which may
  // come before these return).
  std::unique_ptr<PendingIo> ReadAsync(FileObject* file, void* buffer, uint32_t length,
                                       IoCompletion then = {});
  std::unique_ptr<PendingIo> WriteAsync(FileObject* file, const void* buffer, uint32_t length,
                                        IoCompletion then = {});
  std::unique_ptr<PendingIo> ControlAsync(FileObject* file, uint32_t code, const void* input,
                                          uint32_t inputLength, void* output, uint32_t outputLength,
                                          IoCompletion then = {});
  // Cancels every request of the handle still in flight.
  void CancelIo(FileObject* file);
  // Cancels one request; its owner keeps it alive meanwhile.
  void Cancel(PendingIo& io);
  // Takes a request that is done and that its issuer no longer looks at,
  // from a context that must not free it (a completion: a canceller may
  // still hold the request). It is freed at a later asynchronous issue, in
  // a thread that holds nothing of it, or when the I/O manager goes.
  void Retire(std::unique_ptr<PendingIo> io);

  // Runs remove once no handle is open on the stack whose top is `top` (at
  // once when none is); from then on new opens fail. This is when the Plug
  // and Play manager sends the removal of a device that was surprise-removed.
  void RemoveWhenIdle(DeviceObject* top, std::function<void()> remove);
  // Runs every removal still waiting for handles to close (machine shutdown).
  void ForcePendingRemovals();

  // Plug and Play and power requests to the top of a physical device's stack.
  NTSTATUS SendPnp(DeviceObject* physical, uint8_t minor);
  // The same, handing back the request to look at once it is done.
  std::unique_ptr<PendingIo> SendPnpAsync(DeviceObject* physical, uint8_t minor);
  NTSTATUS QueryCapabilities(DeviceObject* physical, uint16_t version, uint32_t* flags);
  NTSTATUS SendPower(DeviceObject* physical, uint8_t minor, uint8_t type, uint32_t state);

 private:
  std::unique_ptr<PendingIo> Issue(Irp* irp, IoCompletion then = {});
  // Frees what was retired, outside the lock.
  void FreeRetired();
  NTSTATUS Finish(std::unique_ptr<PendingIo> io, uintptr_t* information);

  void ReleaseFile(DeviceObject* top);

  Kernel& kernel_;
  std::chrono::milliseconds hangLimit_{30000};
  std::map<DeviceObject*, std::function<void()>> pendingRemovals_;  // under the objects lock
  std::atomic<uint64_t> nextFileId_{1};
  std::mutex retiredMutex_;
  std::vector<std::unique_ptr<PendingIo>> retired_;  // under retiredMutex_
  std::atomic<size_t> retiredCount_{0};              // looked at without the lock
};

}  // namespace hk
