// The driver's kernel operations on the Windows kernel: memory, locks,
// events, requests, the hold queue, device objects, the driver's context and
// the registry. The USB operations are in usb_wdm.cpp.
//
// One image serves both kernel families, the NT family and the legacy
// 98 SE / Me family, so only routines both export are imported; where the NT
// family has a better routine that the legacy family lacks, the code below
// uses the older one and says so.
#include "ddk.h"

namespace plat {

// ---- memory ---------------------------------------------------------------------

void* PoolAlloc(size_t bytes, uint32_t tag) {
  return ExAllocatePoolWithTag(NonPagedPool, bytes, tag);
}

// The untagged free: the legacy family does not export the tagged one.
void PoolFree(void* block) {
  if (block != nullptr) ExFreePool(block);
}

// ---- execution context ----------------------------------------------------------

bool MayBlock() { return KeGetCurrentIrql() < DISPATCH_LEVEL; }

// ---- spin locks -----------------------------------------------------------------

void SpinLockInit(SpinLock* lock, const char* name) {
  (void)name;
  KeInitializeSpinLock(K(lock));
}

// A kernel spin lock owns nothing that needs releasing.
void SpinLockDestroy(SpinLock* lock) { (void)lock; }

Irql SpinLockAcquire(SpinLock* lock) { return AcquireSpin(K(lock)); }

void SpinLockRelease(SpinLock* lock, Irql previous) { ReleaseSpin(K(lock), previous); }

// ---- mutex ----------------------------------------------------------------------

// The lock is a synchronization event, signalled while free: each release
// lets exactly one waiter through. Not a kernel mutex: Wine's releases a
// mutex without handing it to a thread already waiting for it, which then
// waits for ever (a close holding the lock while a removal arrives on another
// thread left the tower's device behind). The lock is never taken twice by
// one thread, so a mutex's recursion is not needed.
void MutexInit(Mutex* mutex, const char* name) {
  (void)name;
  KeInitializeEvent(K(mutex), SynchronizationEvent, TRUE);
}

void MutexDestroy(Mutex* mutex) { (void)mutex; }

void MutexAcquire(Mutex* mutex) {
  KeWaitForSingleObject(K(mutex), Executive, KernelMode, FALSE, nullptr);
}

void MutexRelease(Mutex* mutex) { KeSetEvent(K(mutex), IO_NO_INCREMENT, FALSE); }

// ---- events ---------------------------------------------------------------------

void EventInit(Event* event, EventType type, bool signalled) {
  KeInitializeEvent(K(event),
                    type == EventType::Notification ? NotificationEvent : SynchronizationEvent,
                    signalled ? TRUE : FALSE);
}

void EventDestroy(Event* event) { (void)event; }

void EventSet(Event* event) { KeSetEvent(K(event), IO_NO_INCREMENT, FALSE); }

void EventClear(Event* event) { KeClearEvent(K(event)); }

// The legacy family lacks KeQueryInterruptTime; the tick count times the
// length of a tick gives the same 100 ns units, as coarse as the clock tick,
// which is also how finely the kernel's waits run out. On 32-bit x86 the
// headers read the tick count through the NT family's exported variable, so
// the routine both families export is called by name instead.
#if defined(_M_IX86) || defined(__i386__)
#undef KeQueryTickCount
extern "C" NTKERNELAPI VOID NTAPI KeQueryTickCount(PLARGE_INTEGER CurrentCount);
#endif
int64_t Now() {
  LARGE_INTEGER ticks;
  KeQueryTickCount(&ticks);
  return static_cast<int64_t>(ticks.QuadPart) * static_cast<int64_t>(KeQueryTimeIncrement());
}

NTSTATUS EventWait(Event* event, const int64_t* timeout) {
  LARGE_INTEGER limit;
  limit.QuadPart = timeout != nullptr ? *timeout : 0;
  const ::NTSTATUS waited = KeWaitForSingleObject(K(event), Executive, KernelMode, FALSE,
                                                  timeout != nullptr ? &limit : nullptr);
  // A kernel-mode, non-alertable wait ends only by the signal or the limit.
  return waited == STATUS_TIMEOUT ? STATUS_TIMEOUT : STATUS_SUCCESS;
}

// ---- requests -------------------------------------------------------------------

namespace {

PIO_STACK_LOCATION Here(Request* request) { return IoGetCurrentIrpStackLocation(K(request)); }

// The system address of a request's locked pages. The legacy family has no
// MmGetSystemAddressForMdlSafe, nor the cache-aware mapping routine that
// macro calls, so this maps with MmMapLockedPages; the mapping-can-fail flag
// makes the NT family return null instead of stopping the system when no
// address space is left.
void* SystemAddressOf(PMDL mdl) {
  if ((mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) != 0)
    return mdl->MappedSystemVa;
  const bool couldFail = (mdl->MdlFlags & MDL_MAPPING_CAN_FAIL) != 0;
  mdl->MdlFlags |= MDL_MAPPING_CAN_FAIL;
  void* address = MmMapLockedPages(mdl, KernelMode);
  if (!couldFail) mdl->MdlFlags &= static_cast<CSHORT>(~MDL_MAPPING_CAN_FAIL);
  return address;
}

// The flags word of the capabilities record follows its Size and Version.
constexpr size_t kCapabilitiesFlagsOffset = 4;
static_assert(offsetof(DEVICE_CAPABILITIES, Version) == 2);
static_assert(offsetof(DEVICE_CAPABILITIES, Address) == kCapabilitiesFlagsOffset + sizeof(ULONG));

}  // namespace

Major RequestMajor(Request* request) {
  switch (Here(request)->MajorFunction) {
    case IRP_MJ_CREATE:
      return Major::Create;
    case IRP_MJ_CLOSE:
      return Major::Close;
    case IRP_MJ_READ:
      return Major::Read;
    case IRP_MJ_WRITE:
      return Major::Write;
    case IRP_MJ_DEVICE_CONTROL:
      return Major::DeviceControl;
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      return Major::InternalDeviceControl;
    case IRP_MJ_CLEANUP:
      return Major::Cleanup;
    case IRP_MJ_POWER:
      return Major::Power;
    case IRP_MJ_PNP:
      return Major::Pnp;
    default:
      return Major::Other;
  }
}

uint8_t RequestMinor(Request* request) { return Here(request)->MinorFunction; }

const void* RequestFile(Request* request) { return Here(request)->FileObject; }

void* RequestDataBuffer(Request* request) {
  PMDL mdl = K(request)->MdlAddress;
  if (mdl != nullptr) return SystemAddressOf(mdl);
  // Direct I/O describes no pages for a transfer of 0 bytes: the caller's
  // own pointer says whether a buffer was given. It is only compared, never
  // read through.
  return RequestDataLength(request) == 0 ? K(request)->UserBuffer : nullptr;
}

ULONG RequestDataLength(Request* request) {
  const PIO_STACK_LOCATION here = Here(request);
  switch (here->MajorFunction) {
    case IRP_MJ_READ:
      return here->Parameters.Read.Length;
    case IRP_MJ_WRITE:
      return here->Parameters.Write.Length;
    default:
      return 0;
  }
}

ULONG RequestIoctlCode(Request* request) {
  return Here(request)->Parameters.DeviceIoControl.IoControlCode;
}

void* RequestSystemBuffer(Request* request) { return K(request)->AssociatedIrp.SystemBuffer; }

ULONG RequestInputLength(Request* request) {
  return Here(request)->Parameters.DeviceIoControl.InputBufferLength;
}

ULONG RequestOutputLength(Request* request) {
  return Here(request)->Parameters.DeviceIoControl.OutputBufferLength;
}

PowerStateType RequestPowerType(Request* request) {
  return Here(request)->Parameters.Power.Type == DevicePowerState ? PowerStateType::Device
                                                                  : PowerStateType::System;
}

ULONG RequestPowerState(Request* request) {
  const PIO_STACK_LOCATION here = Here(request);
  if (here->Parameters.Power.Type == DevicePowerState)
    return static_cast<ULONG>(here->Parameters.Power.State.DeviceState);
  return static_cast<ULONG>(here->Parameters.Power.State.SystemState);
}

uint16_t RequestCapabilitiesVersion(Request* request) {
  const PDEVICE_CAPABILITIES caps = Here(request)->Parameters.DeviceCapabilities.Capabilities;
  return caps != nullptr ? caps->Version : 0;
}

ULONG* RequestCapabilitiesFlags(Request* request) {
  auto* caps =
      reinterpret_cast<unsigned char*>(Here(request)->Parameters.DeviceCapabilities.Capabilities);
  return reinterpret_cast<ULONG*>(caps + kCapabilitiesFlagsOffset);
}

void RequestSetInformation(Request* request, uintptr_t information) {
  K(request)->IoStatus.Information = information;
}

void RequestSetStatus(Request* request, tower::NTSTATUS status) {
  K(request)->IoStatus.Status = status;
}

void RequestComplete(Request* request, NTSTATUS status, uintptr_t information) {
  PIRP irp = K(request);
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

::NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID event) {
  (void)device;
  (void)irp;
  KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS PassDown(Device* lower, Request* request) {
  PIRP irp = K(request);
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(K(lower), irp);
}

NTSTATUS PassDownAndWait(Device* lower, Request* request) {
  PIRP irp = K(request);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, &SignalCompletion, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(K(lower), irp) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

void PowerStartNext(Request* request) { PoStartNextPowerIrp(K(request)); }

NTSTATUS PowerPassDown(Device* lower, Request* request) {
  PIRP irp = K(request);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(K(lower), irp);
}

// ---- the hold queue -------------------------------------------------------------
//
// The classic cancellable queue, without the cancel-safe queue routines (the
// legacy family lacks them). Who takes a held request out is settled by its
// cancel routine pointer: whoever clears a set pointer owns the request. The
// queue lock is taken after the system's cancel lock, never before.

namespace {

struct Queue {
  KSPIN_LOCK lock;  // guards held
  LIST_ENTRY held;  // through Tail.Overlay.ListEntry, oldest first
  HoldCancelled onCancel;
  void* context;
};
static_assert(sizeof(Queue) == sizeof(HoldQueue::storage));
static_assert(alignof(Queue) <= alignof(HoldQueue));

Queue* Q(HoldQueue* queue) { return reinterpret_cast<Queue*>(queue->storage); }

// While a request is held, the first of the owner's context words names its queue.
Queue*& HeldOn(PIRP irp) { return reinterpret_cast<Queue*&>(irp->Tail.Overlay.DriverContext[0]); }

PLIST_ENTRY Link(PIRP irp) { return &irp->Tail.Overlay.ListEntry; }

PIRP HeldIrp(PLIST_ENTRY link) { return CONTAINING_RECORD(link, IRP, Tail.Overlay.ListEntry); }

// Takes a request off the list and leaves its link pointing at itself, so
// that it reads as no longer listed.
void Unlist(PIRP irp) {
  RemoveEntryList(Link(irp));
  InitializeListHead(Link(irp));
}

bool Listed(PIRP irp) { return Link(irp)->Flink != Link(irp); }

void NTAPI CancelHeld(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Queue* queue = HeldOn(irp);
  const KIRQL irql = AcquireSpin(&queue->lock);
  if (Listed(irp)) Unlist(irp);
  ReleaseSpin(&queue->lock, irql);
  HeldOn(irp) = nullptr;
  queue->onCancel(queue->context, R(irp));
}

Request* RemoveFirst(Queue* queue, const void* file) {
  PIRP found = nullptr;
  const KIRQL irql = AcquireSpin(&queue->lock);
  for (PLIST_ENTRY link = queue->held.Flink; link != &queue->held; link = link->Flink) {
    PIRP irp = HeldIrp(link);
    if (file != nullptr && IoGetCurrentIrpStackLocation(irp)->FileObject != file) continue;
    // A request whose cancel routine is already on its way stays listed: that
    // routine takes it out and has it completed.
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) continue;
    Unlist(irp);
    found = irp;
    break;
  }
  ReleaseSpin(&queue->lock, irql);
  if (found == nullptr) return nullptr;
  HeldOn(found) = nullptr;
  return R(found);
}

}  // namespace

void HoldQueueInit(HoldQueue* queue, HoldCancelled onCancel, void* context) {
  Queue* q = Q(queue);
  KeInitializeSpinLock(&q->lock);
  InitializeListHead(&q->held);
  q->onCancel = onCancel;
  q->context = context;
}

// The owner empties the queue before it goes; nothing is left to release.
void HoldQueueDestroy(HoldQueue* queue) { (void)queue; }

bool HoldQueueInsert(HoldQueue* queue, Request* request) {
  Queue* q = Q(queue);
  PIRP irp = K(request);
  HeldOn(irp) = q;
  const KIRQL irql = AcquireSpin(&q->lock);
  InsertTailList(&q->held, Link(irp));
  IoSetCancelRoutine(irp, &CancelHeld);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    // Cancelled before it was held, and no cancel routine will run for it.
    Unlist(irp);
    ReleaseSpin(&q->lock, irql);
    HeldOn(irp) = nullptr;
    return false;
  }
  // Marked while the lock still keeps every other hand off the request: the
  // dispatch answers STATUS_PENDING for it, and whoever completes it later
  // must see the mark.
  IoMarkIrpPending(irp);
  ReleaseSpin(&q->lock, irql);
  return true;
}

Request* HoldQueueRemoveHead(HoldQueue* queue) { return RemoveFirst(Q(queue), nullptr); }

Request* HoldQueueRemoveForFile(HoldQueue* queue, const void* file) {
  return file == nullptr ? nullptr : RemoveFirst(Q(queue), file);
}

// ---- device objects -------------------------------------------------------------

NTSTATUS DeviceCreate(Driver* driver, const DeviceProperties& properties, Device** out) {
  *out = nullptr;
  UNICODE_STRING name = CountedText(properties.name);
  PDEVICE_OBJECT device = nullptr;
  const ::NTSTATUS status =
      IoCreateDevice(K(driver), static_cast<::ULONG>(properties.extensionBytes),
                     properties.name != nullptr ? &name : nullptr, properties.type,
                     properties.characteristics, properties.exclusive ? TRUE : FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  if (properties.directIo) device->Flags |= DO_DIRECT_IO;
  *out = D(device);
  return status;
}

void DeviceDelete(Device* device) { IoDeleteDevice(K(device)); }

void* DeviceExtension(Device* device) { return K(device)->DeviceExtension; }

void DeviceSetInitialised(Device* device) { K(device)->Flags &= ~DO_DEVICE_INITIALIZING; }

Device* DriverFirstDevice(Driver* driver) { return D(K(driver)->DeviceObject); }

Device* DeviceNext(Device* device) { return D(K(device)->NextDevice); }

NTSTATUS SymbolicLinkCreate(const char16_t* link, const char16_t* target) {
  UNICODE_STRING linkName = CountedText(link);
  UNICODE_STRING targetName = CountedText(target);
  return IoCreateSymbolicLink(&linkName, &targetName);
}

NTSTATUS SymbolicLinkDelete(const char16_t* link) {
  UNICODE_STRING linkName = CountedText(link);
  return IoDeleteSymbolicLink(&linkName);
}

namespace {

PUNICODE_STRING Counted(InterfaceName* name) { return reinterpret_cast<PUNICODE_STRING>(name); }

}  // namespace

NTSTATUS InterfaceRegister(Device* physical, const tower::Guid& guid, InterfaceName* out) {
  GUID id;
  id.Data1 = guid.Data1;
  id.Data2 = guid.Data2;
  id.Data3 = guid.Data3;
  for (int i = 0; i < 8; ++i) id.Data4[i] = guid.Data4[i];
  Zero(out, sizeof(*out));
  return IoRegisterDeviceInterface(K(physical), &id, nullptr, Counted(out));
}

NTSTATUS InterfaceSetState(InterfaceName* name, bool enable) {
  return IoSetDeviceInterfaceState(Counted(name), enable ? TRUE : FALSE);
}

void InterfaceNameFree(InterfaceName* name) {
  if (name->buffer != nullptr) RtlFreeUnicodeString(Counted(name));
  Zero(name, sizeof(*name));
}

Device* AttachToStack(Device* self, Device* physical) {
  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(K(self), K(physical));
  // Power requests reach a stack at one priority: ours follows the device
  // below (a stack above a pageable device must be pageable too, and one
  // above a non-pageable device must not be).
  if (lower != nullptr) K(self)->Flags |= lower->Flags & DO_POWER_PAGABLE;
  return D(lower);
}

void Detach(Device* lower) { IoDetachDevice(K(lower)); }

// ---- the driver -----------------------------------------------------------------

namespace {

// The driver's context. One driver object per image, so one word; a plain
// word, set at run time, as the image has no constructors to run. It lives
// in the initialised data: the loaders of old expect every section of a
// driver image to carry its bytes in the file.
[[gnu::section(".data")]] void* driverContext = nullptr;

}  // namespace

void DriverSetContext(Driver* driver, void* context) {
  (void)driver;
  driverContext = context;
}

void* DriverGetContext(Driver* driver) {
  (void)driver;
  return driverContext;
}

// ---- registry -------------------------------------------------------------------

namespace {

constexpr char16_t kServicesRoot[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
constexpr char16_t kControlRoot[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";

size_t Chars(const char16_t* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

// Handles the driver opens are kernel handles on the NT family; the legacy
// family (driver model 1.0) knows no such attribute, so it is asked for only
// where the driver model is at least that of Windows 2000 (1.10).
::ULONG HandleAttributes() {
  ::ULONG attributes = OBJ_CASE_INSENSITIVE;
  if (IoIsWdmVersionAvailable(1, 0x10)) attributes |= OBJ_KERNEL_HANDLE;
  return attributes;
}

// The largest value the query reads through a buffer on the stack; longer
// reads take one from the pool.
constexpr ULONG kStackValueBytes = 64;
constexpr ULONG kValueHeaderBytes = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);

}  // namespace

NTSTATUS RegOpenKey(RegRoot root, const char16_t* path, ULONG access, bool create, RegKey** out) {
  *out = nullptr;
  const char16_t* rootText = root == RegRoot::Services ? kServicesRoot : kControlRoot;
  const size_t rootChars = Chars(rootText);
  const size_t pathChars = path != nullptr ? Chars(path) : 0;
  const size_t chars = rootChars + (pathChars != 0 ? 1 + pathChars : 0);
  if ((chars + 1) * sizeof(WCHAR) > 0xFFFE) return STATUS_INVALID_PARAMETER;

  auto* full = static_cast<char16_t*>(PoolAlloc((chars + 1) * sizeof(char16_t), kWdmPoolTag));
  if (full == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  Copy(full, rootText, rootChars * sizeof(char16_t));
  if (pathChars != 0) {
    full[rootChars] = u'\\';
    Copy(full + rootChars + 1, path, pathChars * sizeof(char16_t));
  }
  full[chars] = 0;

  UNICODE_STRING name = CountedText(full);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, HandleAttributes(), nullptr, nullptr);
  HANDLE key = nullptr;
  ::NTSTATUS status;
  if (create) {
    ::ULONG disposition = 0;
    status =
        ZwCreateKey(&key, access, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, &disposition);
  } else {
    status = ZwOpenKey(&key, access, &attributes);
  }
  PoolFree(full);
  if (NT_SUCCESS(status)) *out = reinterpret_cast<RegKey*>(key);
  return status;
}

NTSTATUS RegQueryValue(RegKey* key, const char16_t* name, ULONG* type, void* data, ULONG maxBytes,
                       ULONG* dataBytes) {
  if (maxBytes > 0xFFFF0000u - kValueHeaderBytes) return STATUS_INVALID_PARAMETER;
  const ::ULONG bufferBytes = kValueHeaderBytes + maxBytes;
  alignas(8) UCHAR onStack[kValueHeaderBytes + kStackValueBytes];
  void* buffer = onStack;
  if (maxBytes > kStackValueBytes) {
    buffer = PoolAlloc(bufferBytes, kWdmPoolTag);
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  }

  UNICODE_STRING valueName = CountedText(name);
  ::ULONG resultBytes = 0;
  const ::NTSTATUS status =
      ZwQueryValueKey(reinterpret_cast<HANDLE>(key), &valueName, KeyValuePartialInformation, buffer,
                      bufferBytes, &resultBytes);
  const auto* info = static_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
  if (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) {
    // Type and length are known even for a value too long to copy.
    *type = info->Type;
    *dataBytes = info->DataLength;
  }
  ::NTSTATUS result = status;
  if (NT_SUCCESS(status)) {
    if (info->DataLength > maxBytes)
      result = STATUS_BUFFER_OVERFLOW;  // copies nothing
    else
      Copy(data, info->Data, info->DataLength);
  }
  if (buffer != onStack) PoolFree(buffer);
  return result;
}

void RegClose(RegKey* key) { ZwClose(reinterpret_cast<HANDLE>(key)); }

}  // namespace plat
