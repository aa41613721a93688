#include "kernel/io.h"

#include <algorithm>
#include <cstring>

namespace hk {

using namespace tower;

namespace {

// Never destroyed: a request the verifier called lost is kept alive past the
// end of the program's other objects.
BlockCache& PendingIoBlocks() {
  static BlockCache* const blocks = new BlockCache(sizeof(PendingIo));
  return *blocks;
}

}  // namespace

// Final: nothing larger is ever made through this.
void* PendingIo::operator new(size_t) { return PendingIoBlocks().Allocate(); }

void PendingIo::operator delete(void* block) { PendingIoBlocks().Free(block); }

PendingIo::~PendingIo() {
  // A request that never finished stays live, for the verifier to name.
  if (done_.IsSignalled()) kernel_.FreeIrp(irp_);
}

bool PendingIo::WaitResult(std::chrono::milliseconds limit, NTSTATUS* status,
                           uintptr_t* information) {
  if (!Wait(limit)) return false;
  *status = status_;
  *information = information_;
  return true;
}

void PendingIo::Finished(Irp* irp) {
  status_ = irp->status;
  information_ = irp->information;
  finishOrder_ = irp->finishOrder;
  // Buffered control: the output goes back to the caller for a status that
  // is not an error, as many bytes as the driver reported.
  if (userOutput_ != nullptr && !NtError(status_)) {
    const size_t bytes = std::min<size_t>(information_, userOutputLength_);
    if (bytes > 0) std::memcpy(userOutput_, systemBuffer_.data(), bytes);
  }
  // Taken before the set, which is the last touch of this object.
  const IoCompletion then = then_;
  const NTSTATUS status = status_;
  const uintptr_t information = information_;
  done_.Set();
  if (then.routine != nullptr) then.routine(then.context, status, information);
}

bool PendingIo::Wait(std::chrono::milliseconds limit) {
  if (done_.IsSignalled()) return true;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  return done_.WaitUntil(&deadline);
}

bool PendingIo::Done() { return done_.IsSignalled(); }

// Before the completion these read as a request still pending.
NTSTATUS PendingIo::status() { return Done() ? status_ : tower::STATUS_PENDING; }

uint64_t PendingIo::finishOrder() { return Done() ? finishOrder_ : 0; }

uintptr_t PendingIo::information() { return Done() ? information_ : 0; }

std::unique_ptr<PendingIo> IoManager::Issue(Irp* irp, IoCompletion then) {
  std::unique_ptr<PendingIo> io(new PendingIo(kernel_, irp));
  PendingIo* raw = io.get();
  raw->then_ = then;
  irp->onFinished = [](Irp* done, void* context) {
    static_cast<PendingIo*>(context)->Finished(done);
  };
  irp->onFinishedContext = raw;
  {
    std::lock_guard<HostMutex> lock(kernel_.irpMutex_);
    irp->issuedFile = irp->file;
  }
  return io;
}

NTSTATUS IoManager::Finish(std::unique_ptr<PendingIo> io, uintptr_t* information) {
  NTSTATUS status = STATUS_PENDING;
  uintptr_t done = 0;
  if (!io->WaitResult(hangLimit_, &status, &done)) {
    kernel_.verifier().Report(io->irp_->Describe() + " was never completed");
    (void)io.release();  // the request may still be completed late; keep it alive
    if (information != nullptr) *information = 0;
    return STATUS_PENDING;
  }
  if (information != nullptr) *information = done;
  return status;
}

NTSTATUS IoManager::Open(const std::u16string& path, FileObject** file) {
  *file = nullptr;
  DeviceObject* named = kernel_.Resolve(path);
  if (named == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (named->initialising) return STATUS_NO_SUCH_DEVICE;
  DeviceObject* top = kernel_.TopOfStack(named);
  {
    std::lock_guard<std::mutex> lock(kernel_.objectsMutex_);
    if (top->deleted || top->removing) return STATUS_DELETE_PENDING;
    // An exclusive device admits one open handle at a time.
    if (top->exclusive && top->openFiles > 0) return STATUS_ACCESS_DENIED;
    ++top->openFiles;
  }
  auto* object = new FileObject();
  object->id = nextFileId_.fetch_add(1);
  object->device = top;

  Irp* irp = kernel_.AllocateIrp();
  irp->major = IrpMajor::Create;
  irp->file = object;
  auto io = Issue(irp);
  kernel_.CallDriver(top, irp);
  const NTSTATUS status = Finish(std::move(io), nullptr);
  if (!NtSuccess(status)) {
    delete object;
    ReleaseFile(top);
    return status;
  }
  *file = object;
  return status;
}

NTSTATUS IoManager::Close(FileObject* file) {
  Cleanup(file);
  return CloseFile(file);
}

NTSTATUS IoManager::Cleanup(FileObject* file) {
  if (file->cleanedUp) return STATUS_SUCCESS;
  Irp* cleanup = kernel_.AllocateIrp();
  cleanup->major = IrpMajor::Cleanup;
  cleanup->file = file;
  auto io = Issue(cleanup);
  kernel_.CallDriver(file->device, cleanup);
  const NTSTATUS status = Finish(std::move(io), nullptr);
  file->cleanedUp = true;
  return status;
}

NTSTATUS IoManager::CloseFile(FileObject* file) {
  DeviceObject* device = file->device;
  Irp* close = kernel_.AllocateIrp();
  close->major = IrpMajor::Close;
  close->file = file;
  auto io = Issue(close);
  kernel_.CallDriver(device, close);
  const NTSTATUS status = Finish(std::move(io), nullptr);
  delete file;
  ReleaseFile(device);
  return status;
}

void IoManager::ReleaseFile(DeviceObject* top) {
  std::function<void()> remove;
  {
    std::lock_guard<std::mutex> lock(kernel_.objectsMutex_);
    if (--top->openFiles == 0) {
      auto it = pendingRemovals_.find(top);
      if (it != pendingRemovals_.end()) {
        remove = std::move(it->second);
        pendingRemovals_.erase(it);
        top->removing = true;
      }
    }
  }
  if (remove) remove();
}

void IoManager::RemoveWhenIdle(DeviceObject* top, std::function<void()> remove) {
  {
    std::lock_guard<std::mutex> lock(kernel_.objectsMutex_);
    if (top->openFiles > 0) {
      pendingRemovals_[top] = std::move(remove);
      return;
    }
    top->removing = true;
  }
  remove();
}

void IoManager::ForcePendingRemovals() {
  for (;;) {
    std::function<void()> remove;
    {
      std::lock_guard<std::mutex> lock(kernel_.objectsMutex_);
      if (pendingRemovals_.empty()) return;
      remove = std::move(pendingRemovals_.begin()->second);
      pendingRemovals_.begin()->first->removing = true;
      pendingRemovals_.erase(pendingRemovals_.begin());
    }
    remove();
  }
}

IoManager::~IoManager() { FreeRetired(); }

void IoManager::Retire(std::unique_ptr<PendingIo> io) {
  std::lock_guard<std::mutex> lock(retiredMutex_);
  retired_.push_back(std::move(io));
  retiredCount_.store(retired_.size());
}

void IoManager::FreeRetired() {
  if (retiredCount_.load() == 0) return;
  std::vector<std::unique_ptr<PendingIo>> freeing;
  {
    std::lock_guard<std::mutex> lock(retiredMutex_);
    freeing.swap(retired_);
    retiredCount_.store(0);
  }
  // Freeing a request waits for the cancellations that still hold it; one
  // may be completing another request that wants to retire it meanwhile.
  freeing.clear();
}

void IoManager::Cancel(PendingIo& io) {
  io.irp_->cancelRefs.fetch_add(1);
  kernel_.CancelIrp(io.irp_);
  io.irp_->cancelRefs.fetch_sub(1);
}

std::unique_ptr<PendingIo> IoManager::ReadAsync(FileObject* file, void* buffer, uint32_t length,
                                                IoCompletion then) {
  FreeRetired();
  Irp* irp = kernel_.AllocateIrp();
  irp->major = IrpMajor::Read;
  irp->file = file;
  irp->dataBuffer = buffer;
  irp->dataLength = length;
  auto io = Issue(irp, then);
  kernel_.CallDriver(file->device, irp);
  return io;
}

std::unique_ptr<PendingIo> IoManager::WriteAsync(FileObject* file, const void* buffer,
                                                 uint32_t length, IoCompletion then) {
  FreeRetired();
  Irp* irp = kernel_.AllocateIrp();
  irp->major = IrpMajor::Write;
  irp->file = file;
  irp->dataBuffer = const_cast<void*>(buffer);
  irp->dataLength = length;
  auto io = Issue(irp, then);
  kernel_.CallDriver(file->device, irp);
  return io;
}

std::unique_ptr<PendingIo> IoManager::ControlAsync(FileObject* file, uint32_t code,
                                                   const void* input, uint32_t inputLength,
                                                   void* output, uint32_t outputLength,
                                                   IoCompletion then) {
  FreeRetired();
  Irp* irp = kernel_.AllocateIrp();
  irp->major = IrpMajor::DeviceControl;
  irp->file = file;
  irp->ioctl = code;
  irp->inputLength = inputLength;
  irp->outputLength = outputLength;
  auto io = Issue(irp, then);
  // One system buffer, as long as the longer of the two, holding the input.
  const size_t bytes = std::max(inputLength, outputLength);
  io->systemBuffer_.assign(bytes, 0);
  if (input != nullptr && inputLength > 0)
    std::memcpy(io->systemBuffer_.data(), input, inputLength);
  irp->systemBuffer = bytes > 0 ? io->systemBuffer_.data() : nullptr;
  io->userOutput_ = output;
  io->userOutputLength_ = output != nullptr ? outputLength : 0;
  kernel_.CallDriver(file->device, irp);
  return io;
}

NTSTATUS IoManager::Read(FileObject* file, void* buffer, uint32_t length, uint32_t* transferred) {
  uintptr_t information = 0;
  const NTSTATUS status = Finish(ReadAsync(file, buffer, length), &information);
  if (transferred != nullptr) *transferred = static_cast<uint32_t>(information);
  return status;
}

NTSTATUS IoManager::Write(FileObject* file, const void* buffer, uint32_t length,
                          uint32_t* transferred) {
  uintptr_t information = 0;
  const NTSTATUS status = Finish(WriteAsync(file, buffer, length), &information);
  if (transferred != nullptr) *transferred = static_cast<uint32_t>(information);
  return status;
}

NTSTATUS IoManager::Control(FileObject* file, uint32_t code, const void* input,
                            uint32_t inputLength, void* output, uint32_t outputLength,
                            uint32_t* returned) {
  uintptr_t information = 0;
  const NTSTATUS status =
      Finish(ControlAsync(file, code, input, inputLength, output, outputLength), &information);
  if (returned != nullptr) *returned = NtError(status) ? 0 : static_cast<uint32_t>(information);
  return status;
}

void IoManager::CancelIo(FileObject* file) {
  std::vector<Irp*> mine;
  {
    std::lock_guard<HostMutex> lock(kernel_.irpMutex_);
    for (Irp* irp = kernel_.liveIrps_; irp != nullptr; irp = irp->liveNext)
      if (irp->issuedFile == file) {
        irp->cancelRefs.fetch_add(1);
        mine.push_back(irp);
      }
    // Oldest first, as they were issued.
    std::reverse(mine.begin(), mine.end());
  }
  // Cancel routines run without the kernel's request list locked: they take
  // the driver's own locks.
  for (Irp* irp : mine) {
    kernel_.CancelIrp(irp);
    irp->cancelRefs.fetch_sub(1);
  }
}

NTSTATUS IoManager::SendPnp(DeviceObject* physical, uint8_t minor) {
  return Finish(SendPnpAsync(physical, minor), nullptr);
}

std::unique_ptr<PendingIo> IoManager::SendPnpAsync(DeviceObject* physical, uint8_t minor) {
  Irp* irp = kernel_.AllocateIrp();
  irp->major = IrpMajor::Pnp;
  irp->minor = minor;
  irp->status = STATUS_NOT_SUPPORTED;  // what a Plug and Play request starts with
  DeviceObject* top = kernel_.TopOfStack(physical);
  auto io = Issue(irp);
  kernel_.CallDriver(top, irp);
  return io;
}

NTSTATUS IoManager::QueryCapabilities(DeviceObject* physical, uint16_t version, uint32_t* flags) {
  Irp* irp = kernel_.AllocateIrp();
  irp->major = IrpMajor::Pnp;
  irp->minor = 0x09;
  irp->status = STATUS_NOT_SUPPORTED;
  irp->capsVersion = version;
  irp->capsFlags = *flags;
  DeviceObject* top = kernel_.TopOfStack(physical);
  auto io = Issue(irp);
  kernel_.CallDriver(top, irp);
  if (!io->Wait(hangLimit_)) return Finish(std::move(io), nullptr);
  *flags = irp->capsFlags;
  return Finish(std::move(io), nullptr);
}

NTSTATUS IoManager::SendPower(DeviceObject* physical, uint8_t minor, uint8_t type, uint32_t state) {
  Irp* irp = kernel_.AllocateIrp();
  irp->major = IrpMajor::Power;
  irp->minor = minor;
  irp->powerType = type;
  irp->powerState = state;
  DeviceObject* top = kernel_.TopOfStack(physical);
  auto io = Issue(irp);
  kernel_.CallDriver(top, irp);
  return Finish(std::move(io), nullptr);
}

}  // namespace hk
