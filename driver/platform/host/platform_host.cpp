// The driver's kernel operations on the host machine's kernel.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "kernel/kernel.h"
#include "platform/platform.h"
#include "usb/stack.h"

namespace plat {

using namespace tower;

namespace {

hk::Kernel& K() { return hk::Kernel::Current(); }
hk::Irp* I(Request* request) { return reinterpret_cast<hk::Irp*>(request); }
Request* R(hk::Irp* irp) { return reinterpret_cast<Request*>(irp); }
hk::DeviceObject* D(Device* device) { return reinterpret_cast<hk::DeviceObject*>(device); }
Device* D(hk::DeviceObject* device) { return reinterpret_cast<Device*>(device); }
hk::DriverObject* Drv(Driver* driver) { return reinterpret_cast<hk::DriverObject*>(driver); }

// The completion routine of a request sent down to be waited for: the
// request comes back to the driver above.
bool SignalDone(hk::Irp*, void* context) {
  static_cast<hk::Event*>(context)->Set();
  return false;
}

std::u16string Text(const char16_t* text) { return text == nullptr ? std::u16string() : text; }

}  // namespace

void* PoolAlloc(size_t bytes, uint32_t tag) { return K().PoolAllocate(bytes, tag); }
void PoolFree(void* block) { K().PoolFree(block); }

bool MayBlock() { return hk::MayBlockNow(); }

void SpinLockInit(SpinLock* lock, const char* name) { lock->impl = new hk::SpinLock(name); }
void SpinLockDestroy(SpinLock* lock) {
  delete static_cast<hk::SpinLock*>(lock->impl);
  lock->impl = nullptr;
}
Irql SpinLockAcquire(SpinLock* lock) {
  return static_cast<Irql>(static_cast<hk::SpinLock*>(lock->impl)->Acquire());
}
void SpinLockRelease(SpinLock* lock, Irql previous) {
  static_cast<hk::SpinLock*>(lock->impl)->Release(previous);
}

void MutexInit(Mutex* mutex, const char* name) { mutex->impl = new hk::Mutex(name); }
void MutexDestroy(Mutex* mutex) {
  delete static_cast<hk::Mutex*>(mutex->impl);
  mutex->impl = nullptr;
}
void MutexAcquire(Mutex* mutex) { static_cast<hk::Mutex*>(mutex->impl)->Acquire(); }
void MutexRelease(Mutex* mutex) { static_cast<hk::Mutex*>(mutex->impl)->Release(); }

void EventInit(Event* event, EventType type, bool signalled) {
  event->impl = new hk::Event(type == EventType::Synchronization, signalled);
}
void EventDestroy(Event* event) {
  delete static_cast<hk::Event*>(event->impl);
  event->impl = nullptr;
}
void EventSet(Event* event) {
  static_cast<hk::Event*>(event->impl)->Set();
  // Nothing of the event or its owner is touched from here on: a waiter may
  // already have freed both.
  K().PauseAfterCompletionEvent();
}
void EventClear(Event* event) { static_cast<hk::Event*>(event->impl)->Clear(); }
int64_t Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
             .count() /
         100 * K().ClockSpeed();
}

NTSTATUS EventWait(Event* event, const int64_t* timeout) {
  // Relative waits run on the driver's clock (Kernel::SetClockSpeed), as
  // Now() does.
  if (timeout == nullptr || *timeout >= 0)
    return static_cast<hk::Event*>(event->impl)->Wait(timeout);
  const int64_t onHost = K().HostWait(*timeout);
  return static_cast<hk::Event*>(event->impl)->Wait(&onHost);
}

// ---- requests -------------------------------------------------------------------

Major RequestMajor(Request* request) { return static_cast<Major>(I(request)->major); }
uint8_t RequestMinor(Request* request) { return I(request)->minor; }
const void* RequestFile(Request* request) { return I(request)->file; }
void* RequestDataBuffer(Request* request) { return I(request)->dataBuffer; }
ULONG RequestDataLength(Request* request) { return I(request)->dataLength; }
ULONG RequestIoctlCode(Request* request) { return I(request)->ioctl; }
void* RequestSystemBuffer(Request* request) { return I(request)->systemBuffer; }
ULONG RequestInputLength(Request* request) { return I(request)->inputLength; }
ULONG RequestOutputLength(Request* request) { return I(request)->outputLength; }
PowerStateType RequestPowerType(Request* request) {
  return static_cast<PowerStateType>(I(request)->powerType);
}
ULONG RequestPowerState(Request* request) { return I(request)->powerState; }
uint16_t RequestCapabilitiesVersion(Request* request) { return I(request)->capsVersion; }
ULONG* RequestCapabilitiesFlags(Request* request) { return &I(request)->capsFlags; }

void RequestSetInformation(Request* request, uintptr_t information) {
  I(request)->information = information;
}

void RequestSetStatus(Request* request, NTSTATUS status) { I(request)->status = status; }

void RequestComplete(Request* request, NTSTATUS status, uintptr_t information) {
  K().CompleteIrp(I(request), status, information);
}

NTSTATUS PassDown(Device* lower, Request* request) { return K().CallDriver(D(lower), I(request)); }

NTSTATUS PassDownAndWait(Device* lower, Request* request) {
  hk::Irp* irp = I(request);
  hk::Event done(false, false);
  irp->completionRoutines.push_back({&SignalDone, &done});
  K().CallDriver(D(lower), irp);
  done.Wait(nullptr);
  return irp->status;
}

void PowerStartNext(Request* request) { (void)request; }

NTSTATUS PowerPassDown(Device* lower, Request* request) { return PassDown(lower, request); }

// ---- the hold queue -------------------------------------------------------------

namespace {

// One lock order: the queue's lock, then a request's cancel lock. A cancel
// routine runs with the cancel lock released and takes only the queue's.
struct Queue {
  hk::SpinLock lock{"HoldQueue.Lock"};
  std::vector<hk::Irp*> held;  // arrival order
  HoldCancelled onCancel;
  void* context;
};

// Runs when a held request is cancelled: the queue gives it up and its owner
// completes it.
void CancelHeld(hk::Irp* irp) {
  auto* queue = static_cast<Queue*>(irp->cancelContext);
  {
    hk::SpinGuard guard(queue->lock);
    auto it = std::find(queue->held.begin(), queue->held.end(), irp);
    if (it != queue->held.end()) queue->held.erase(it);
  }
  queue->onCancel(queue->context, R(irp));
}

// Claims a held request for dequeueing; false when a cancellation owns it.
bool Claim(hk::Irp* irp) { return irp->cancelRoutine.exchange(nullptr) != nullptr; }

Request* RemoveFirst(Queue* queue, const void* file) {
  hk::SpinGuard guard(queue->lock);
  for (auto it = queue->held.begin(); it != queue->held.end(); ++it) {
    hk::Irp* irp = *it;
    if (file != nullptr && irp->file != file) continue;
    // A request whose cancellation has begun is left for the cancel routine.
    if (!Claim(irp)) continue;
    queue->held.erase(it);
    return R(irp);
  }
  return nullptr;
}

}  // namespace

void HoldQueueInit(HoldQueue* queue, HoldCancelled onCancel, void* context) {
  auto* q = new Queue();
  q->onCancel = onCancel;
  q->context = context;
  queue->impl = q;
}

void HoldQueueDestroy(HoldQueue* queue) {
  auto* q = static_cast<Queue*>(queue->impl);
  for (hk::Irp* irp : q->held)
    K().verifier().Report(irp->Describe() + " still held when its device was deleted");
  delete q;
  queue->impl = nullptr;
}

bool HoldQueueInsert(HoldQueue* queue, Request* request) {
  auto* q = static_cast<Queue*>(queue->impl);
  hk::Irp* irp = I(request);
  hk::SpinGuard guard(q->lock);
  irp->cancelContext = q;
  irp->cancelRoutine.store(&CancelHeld);
  // Cancelled before it could be held: it is not queued, and the caller
  // completes it. A cancellation that took the routine first finds the
  // request in the queue once this lock is let go.
  if (irp->cancelled.load() && irp->cancelRoutine.exchange(nullptr) != nullptr) return false;
  q->held.push_back(irp);
  return true;
}

Request* HoldQueueRemoveHead(HoldQueue* queue) {
  return RemoveFirst(static_cast<Queue*>(queue->impl), nullptr);
}

Request* HoldQueueRemoveForFile(HoldQueue* queue, const void* file) {
  return file == nullptr ? nullptr : RemoveFirst(static_cast<Queue*>(queue->impl), file);
}

// ---- devices --------------------------------------------------------------------

NTSTATUS DeviceCreate(Driver* driver, const DeviceProperties& properties, Device** out) {
  hk::DeviceObject* device = nullptr;
  const NTSTATUS status = K().CreateDevice(Drv(driver), Text(properties.name), properties.type,
                                           properties.characteristics, properties.exclusive,
                                           properties.directIo, properties.extensionBytes, &device);
  *out = NtSuccess(status) ? D(device) : nullptr;
  return status;
}

void DeviceDelete(Device* device) { K().DeleteDevice(D(device)); }
void* DeviceExtension(Device* device) { return D(device)->extension.data(); }
void DeviceSetInitialised(Device* device) { D(device)->initialising = false; }
Device* DriverFirstDevice(Driver* driver) { return D(K().FirstDevice(Drv(driver))); }
Device* DeviceNext(Device* device) { return D(K().NextDevice(D(device))); }

NTSTATUS SymbolicLinkCreate(const char16_t* link, const char16_t* target) {
  return K().CreateLink(Text(link), Text(target));
}
NTSTATUS SymbolicLinkDelete(const char16_t* link) { return K().DeleteLink(Text(link)); }

NTSTATUS InterfaceRegister(Device* physical, const tower::Guid& guid, InterfaceName* out) {
  char text[40];
  std::snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  std::u16string link;
  const NTSTATUS status = K().RegisterInterface(D(physical), text, &link);
  if (!NtSuccess(status)) return status;
  out->link = new char16_t[link.size() + 1];
  std::memcpy(out->link, link.c_str(), (link.size() + 1) * sizeof(char16_t));
  return status;
}

NTSTATUS InterfaceSetState(InterfaceName* name, bool enable) {
  return K().SetInterfaceState(Text(name->link), enable);
}

void InterfaceNameFree(InterfaceName* name) {
  delete[] name->link;
  name->link = nullptr;
}

Device* AttachToStack(Device* self, Device* physical) {
  return D(K().Attach(D(self), D(physical)));
}
void Detach(Device* lower) { K().Detach(D(lower)); }

void DriverSetContext(Driver* driver, void* context) { Drv(driver)->context = context; }
void* DriverGetContext(Driver* driver) { return Drv(driver)->context; }

// ---- registry -------------------------------------------------------------------

struct RegKey {
  std::string path;
};

namespace {

std::string RootPath(RegRoot root) {
  return root == RegRoot::Services ? "Machine\\System\\CurrentControlSet\\Services"
                                   : "Machine\\System\\CurrentControlSet\\Control";
}

}  // namespace

NTSTATUS RegOpenKey(RegRoot root, const char16_t* path, ULONG access, bool create, RegKey** out) {
  (void)access;
  *out = nullptr;
  const std::string full = RootPath(root) + "\\" + hk::ToU8(Text(path));
  const NTSTATUS status = K().OpenKey(full, create);
  if (!NtSuccess(status)) return status;
  *out = new RegKey{full};
  return STATUS_SUCCESS;
}

NTSTATUS RegQueryValue(RegKey* key, const char16_t* name, ULONG* type, void* data, ULONG maxBytes,
                       ULONG* dataBytes) {
  uint32_t valueType = 0;
  std::vector<uint8_t> bytes;
  const NTSTATUS status = K().QueryValue(key->path, hk::ToU8(Text(name)), &valueType, &bytes);
  if (!NtSuccess(status)) return status;
  *type = valueType;
  *dataBytes = static_cast<ULONG>(bytes.size());
  if (bytes.size() > maxBytes) return STATUS_BUFFER_OVERFLOW;
  if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  return STATUS_SUCCESS;
}

void RegClose(RegKey* key) { delete key; }

}  // namespace plat

// ---- USB ------------------------------------------------------------------------

namespace plat {

namespace {

using hk::usb::Urb;
using hk::usb::UrbFunction;

Urb* U(TransferBlock* block) { return reinterpret_cast<Urb*>(block); }

// Blocks live in pool memory, so that injected failures and leaks show.
Urb* NewUrb(UrbFunction function) {
  void* memory = K().PoolAllocate(sizeof(Urb), tower::kPoolTag);
  if (memory == nullptr) return nullptr;
  Urb* urb = new (memory) Urb();
  urb->function = function;
  return urb;
}

void DeleteUrb(Urb* urb) {
  urb->~Urb();
  K().PoolFree(urb);
}

}  // namespace

TransferBlock* TransferAllocVendor(uint8_t request, uint16_t value, uint16_t index, void* reply,
                                   ULONG length) {
  Urb* urb = NewUrb(UrbFunction::VendorDevice);
  if (urb == nullptr) return nullptr;
  urb->setup.bmRequestType = 0xC0;
  urb->setup.bRequest = request;
  urb->setup.wValue = value;
  urb->setup.wIndex = index;
  urb->setup.wLength = static_cast<uint16_t>(length);
  urb->in = true;
  urb->buffer = reply;
  urb->length = length;
  return reinterpret_cast<TransferBlock*>(urb);
}

TransferBlock* TransferAllocBulk(Pipe* pipe, void* buffer, ULONG length, bool in, bool shortOk) {
  Urb* urb = NewUrb(UrbFunction::BulkOrInterrupt);
  if (urb == nullptr) return nullptr;
  urb->pipe = reinterpret_cast<hk::usb::HostPipe*>(pipe);
  urb->buffer = buffer;
  urb->length = length;
  urb->in = in;
  urb->shortOk = shortOk;
  return reinterpret_cast<TransferBlock*>(urb);
}

TransferBlock* TransferAllocAbortPipe(Pipe* pipe) {
  Urb* urb = NewUrb(UrbFunction::AbortPipe);
  if (urb == nullptr) return nullptr;
  urb->pipe = reinterpret_cast<hk::usb::HostPipe*>(pipe);
  return reinterpret_cast<TransferBlock*>(urb);
}

void TransferFree(TransferBlock* block) { DeleteUrb(U(block)); }

void TransferRenewBulk(TransferBlock* block, ULONG length) {
  Urb* urb = U(block);
  urb->length = length;
  urb->transferred = 0;
  urb->usbdStatus = hk::usb::USBD_STATUS_PENDING;
  urb->transfer = hk::usb::Transfer{};
}
ULONG TransferLength(TransferBlock* block) { return U(block)->transferred; }
ULONG TransferUsbStatus(TransferBlock* block) { return U(block)->usbdStatus; }

Request* RequestAllocate(Device* lower) {
  (void)lower;
  return R(K().AllocateDriverIrp());
}

void RequestFree(Request* request) { K().FreeIrp(I(request)); }

namespace {

bool TransferCompleted(hk::Irp* irp, void*) {
  const auto done = reinterpret_cast<TransferDone>(irp->driverContext[0]);
  // The callback owns the request from here and may free it.
  done(irp->driverContext[1], R(irp), irp->status);
  return false;
}

}  // namespace

NTSTATUS SubmitTransferAsync(Device* lower, Request* request, TransferBlock* block,
                             TransferDone done, void* context) {
  hk::Irp* irp = I(request);
  // A packet submitted again starts over, as the kernel's reuse of a packet
  // does; a cancellation that came before this submission still stands.
  irp->status = STATUS_PENDING;
  irp->information = 0;
  irp->completionRoutines.clear();
  irp->major = hk::IrpMajor::InternalDeviceControl;
  irp->ioctl = hk::usb::IOCTL_INTERNAL_USB_SUBMIT_URB;
  irp->internalArgument = U(block);
  // The callback and its context ride in the request, so the completion
  // routine is a plain function with no state of its own to keep.
  irp->driverContext[0] = reinterpret_cast<void*>(done);
  irp->driverContext[1] = context;
  irp->completionRoutines.push_back({&TransferCompleted, nullptr});
  return K().CallDriver(D(lower), irp);
}

void RequestCancel(Request* request) { K().CancelIrp(I(request)); }

bool RequestCancelled(Request* request) {
  return I(request)->cancelled.load(std::memory_order_acquire);
}

TransferBlock* TransferAllocDescriptor(uint8_t type, uint8_t index, void* buffer, ULONG length) {
  Urb* urb = NewUrb(type == 1 ? UrbFunction::GetDeviceDescriptor
                              : UrbFunction::GetConfigurationDescriptor);
  if (urb == nullptr) return nullptr;
  urb->descriptorIndex = index;
  urb->buffer = buffer;
  urb->length = length;
  return reinterpret_cast<TransferBlock*>(urb);
}

TransferBlock* TransferAllocSelect(const uint8_t* configuration, const InterfaceSelection* list,
                                   ULONG count) {
  Urb* urb = NewUrb(UrbFunction::SelectConfiguration);
  if (urb == nullptr) return nullptr;
  // No set: the device goes back to the unconfigured state.
  urb->configurationValue = configuration != nullptr ? configuration[5] : 0;
  urb->configurationDescriptor = configuration;
  for (ULONG i = 0; i < count; ++i) {
    hk::usb::UrbInterface chosen;
    chosen.number = list[i].descriptor[2];
    chosen.alternateSetting = list[i].descriptor[3];
    urb->interfaces.push_back(chosen);
  }
  return reinterpret_cast<TransferBlock*>(urb);
}

void TransferSelectedPipes(TransferBlock* block, InterfaceSelection* list, ULONG count) {
  const Urb* urb = U(block);
  for (ULONG i = 0; i < count; ++i) {
    list[i].pipeCount = 0;
    for (const auto& chosen : urb->interfaces) {
      if (chosen.number != list[i].descriptor[2] ||
          chosen.alternateSetting != list[i].descriptor[3])
        continue;
      for (hk::usb::HostPipe* pipe : chosen.pipes) {
        if (list[i].pipeCount == kMaxPipesPerInterface) break;
        list[i].pipes[list[i].pipeCount++] = {pipe->endpoint, reinterpret_cast<Pipe*>(pipe)};
      }
    }
  }
}

NTSTATUS CyclePort(Device* lower) {
  hk::Irp* irp = K().AllocateDriverIrp();
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  irp->major = hk::IrpMajor::InternalDeviceControl;
  irp->ioctl = hk::usb::IOCTL_INTERNAL_USB_CYCLE_PORT;
  hk::Event done(false, false);
  irp->completionRoutines.push_back({&SignalDone, &done});
  K().CallDriver(D(lower), irp);
  done.Wait(nullptr);
  const NTSTATUS status = irp->status;
  K().FreeIrp(irp);
  return status;
}

}  // namespace plat
