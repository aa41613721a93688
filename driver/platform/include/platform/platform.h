// The kernel operations the driver logic stands on. One interface, two
// implementations: the Windows kernel (wdm/) and the host machine (host/).
// Everything here is kernel-safe: no exceptions, no allocation but the pool,
// no global constructors.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "tower/ids.h"
#include "tower/ntstatus.h"

namespace plat {

using tower::NTSTATUS;
using LONG = int32_t;
using ULONG = uint32_t;
using Irql = uint8_t;

inline constexpr Irql kPassiveLevel = 0;
inline constexpr Irql kDispatchLevel = 2;

}  // namespace plat

// Storage of the synchronisation objects, which live inside the device record.
#include "platform/types.h"

namespace plat {

struct Request;  // one I/O, Plug and Play or power request
struct Device;   // a device object
struct Driver;   // the loaded driver
struct RegKey;   // an open registry key

// ---- memory -----------------------------------------------------------------
// Non-paged pool. The contents of a new block are undefined; null on failure.
void* PoolAlloc(size_t bytes, uint32_t tag);
void PoolFree(void* block);

// ---- execution context ------------------------------------------------------
// "May the caller block": below dispatch level, outside completion context.
bool MayBlock();

// ---- spin locks (may be taken at raised priority) ----------------------------
void SpinLockInit(SpinLock* lock, const char* name);
void SpinLockDestroy(SpinLock* lock);
Irql SpinLockAcquire(SpinLock* lock);
void SpinLockRelease(SpinLock* lock, Irql previous);

// ---- the per-device create/close mutex --------------------------------------
void MutexInit(Mutex* mutex, const char* name);
void MutexDestroy(Mutex* mutex);
void MutexAcquire(Mutex* mutex);  // waits without limit
void MutexRelease(Mutex* mutex);

// ---- events -----------------------------------------------------------------
enum class EventType : uint8_t {
  Notification /* manual reset */,
  Synchronization /* auto reset */
};
void EventInit(Event* event, EventType type, bool signalled);
void EventDestroy(Event* event);
void EventSet(Event* event);
void EventClear(Event* event);
// timeout: null waits without limit; otherwise a relative time as a negative
// count of 100 ns units. STATUS_SUCCESS when signalled, STATUS_TIMEOUT when the
// limit ran out.
NTSTATUS EventWait(Event* event, const int64_t* timeout);

constexpr int64_t RelativeMs(uint32_t ms) { return -static_cast<int64_t>(ms) * 10000; }

// A clock that only runs forward, in 100 ns units from an arbitrary start;
// callable at raised priority.
int64_t Now();

// ---- atomic words -----------------------------------------------------------
inline LONG AtomicExchange(volatile LONG* word, LONG value) {
  return __atomic_exchange_n(word, value, __ATOMIC_SEQ_CST);
}
inline LONG AtomicIncrement(volatile LONG* word) {
  return __atomic_add_fetch(word, 1, __ATOMIC_SEQ_CST);
}
inline LONG AtomicDecrement(volatile LONG* word) {
  return __atomic_sub_fetch(word, 1, __ATOMIC_SEQ_CST);
}
inline LONG AtomicRead(const volatile LONG* word) {
  return __atomic_load_n(word, __ATOMIC_SEQ_CST);
}

// ---- requests ---------------------------------------------------------------
enum class Major : uint8_t {
  Create,
  Close,
  Read,
  Write,
  DeviceControl,
  InternalDeviceControl,
  Cleanup,
  Power,
  Pnp,
  Other,
};

// Plug and Play minor functions, numbered as Windows numbers them.
enum class PnpMinor : uint8_t {
  Start = 0x00,
  QueryRemove = 0x01,
  Remove = 0x02,
  CancelRemove = 0x03,
  Stop = 0x04,
  QueryStop = 0x05,
  CancelStop = 0x06,
  QueryCapabilities = 0x09,
  SurpriseRemoval = 0x17,
};

// Power minor functions.
enum class PowerMinor : uint8_t { WaitWake = 0, PowerSequence = 1, SetPower = 2, QueryPower = 3 };
enum class PowerStateType : uint8_t { System = 0, Device = 1 };

Major RequestMajor(Request* request);
uint8_t RequestMinor(Request* request);
// The handle a request arrived on (its file object); compared, never entered.
const void* RequestFile(Request* request);

// Reads and writes use direct access: the caller's buffer in place (may be null).
void* RequestDataBuffer(Request* request);
ULONG RequestDataLength(Request* request);

// Device control uses one system buffer as long as the longer of the input
// and output lengths; null when both are 0.
ULONG RequestIoctlCode(Request* request);
void* RequestSystemBuffer(Request* request);
ULONG RequestInputLength(Request* request);
ULONG RequestOutputLength(Request* request);

// Power requests.
PowerStateType RequestPowerType(Request* request);
ULONG RequestPowerState(Request* request);

// Capabilities query: the record's version, and its flags word (bit 4
// Removable, bit 7 SilentInstall, bit 9 SurpriseRemovalOK, ...).
uint16_t RequestCapabilitiesVersion(Request* request);
ULONG* RequestCapabilitiesFlags(Request* request);

void RequestSetInformation(Request* request, uintptr_t information);
// The status a request carries down the stack (Plug and Play requests a
// driver has handled go down with STATUS_SUCCESS).
void RequestSetStatus(Request* request, NTSTATUS status);
// Finishes the request; each request is completed exactly once.
void RequestComplete(Request* request, NTSTATUS status, uintptr_t information);

// Hands the request to the device below unchanged; it is no longer ours.
NTSTATUS PassDown(Device* lower, Request* request);
// Hands the request down and waits without limit until the device below has
// completed it; it comes back to us to complete.
NTSTATUS PassDownAndWait(Device* lower, Request* request);
// Power requests: let the next power request start, then hand this one down.
void PowerStartNext(Request* request);
NTSTATUS PowerPassDown(Device* lower, Request* request);

// ---- the hold queue ---------------------------------------------------------
// First in, first out; a held request can be cancelled. When it is, the
// queue takes it out and calls the owner's callback, which completes it.
using HoldCancelled = void (*)(void* context, Request* request);
void HoldQueueInit(HoldQueue* queue, HoldCancelled onCancel, void* context);
void HoldQueueDestroy(HoldQueue* queue);
// True when held; false when the request was already cancelled, in which case
// it was not queued and the caller completes it.
bool HoldQueueInsert(HoldQueue* queue, Request* request);
// The oldest held request (no longer cancellable), or null.
Request* HoldQueueRemoveHead(HoldQueue* queue);
// The oldest held request that arrived on the given handle, or null.
Request* HoldQueueRemoveForFile(HoldQueue* queue, const void* file);

// ---- device objects ---------------------------------------------------------
struct DeviceProperties {
  const char16_t* name;  // kernel device name
  ULONG type;            // FILE_DEVICE_UNKNOWN = 0x22
  ULONG characteristics;
  bool exclusive;  // one open handle at a time
  bool directIo;   // reads and writes hand the caller's buffer in place
  size_t extensionBytes;
};
inline constexpr ULONG kFileDeviceUnknown = 0x22;

NTSTATUS DeviceCreate(Driver* driver, const DeviceProperties& properties, Device** out);
void DeviceDelete(Device* device);
void* DeviceExtension(Device* device);
// The device may now receive requests.
void DeviceSetInitialised(Device* device);
// The driver's devices, newest first, as Windows keeps them.
Device* DriverFirstDevice(Driver* driver);
Device* DeviceNext(Device* device);

NTSTATUS SymbolicLinkCreate(const char16_t* link, const char16_t* target);
NTSTATUS SymbolicLinkDelete(const char16_t* link);

// Device interfaces: registered on the physical device, named by the system.
NTSTATUS InterfaceRegister(Device* physical, const tower::Guid& guid, InterfaceName* out);
NTSTATUS InterfaceSetState(InterfaceName* name, bool enable);
void InterfaceNameFree(InterfaceName* name);

// Stacking: attach above the physical device; null when that fails.
Device* AttachToStack(Device* self, Device* physical);
void Detach(Device* lower);

// ---- USB: transfers to the device below -------------------------------------
struct TransferBlock;  // one USB request block
struct Pipe;           // an endpoint of the selected configuration

// A vendor device request, device to host: setup request type 0xC0, the reply
// lands in reply[0..length). Null when there is no memory for the block.
TransferBlock* TransferAllocVendor(uint8_t request, uint16_t value, uint16_t index, void* reply,
                                   ULONG length);
// A bulk-or-interrupt transfer of length bytes on a pipe; null on no memory.
TransferBlock* TransferAllocBulk(Pipe* pipe, void* buffer, ULONG length, bool in, bool shortOk);
// Asks the stack to cancel every transfer in flight on a pipe; the request
// itself completes without waiting for them. Null on no memory.
TransferBlock* TransferAllocAbortPipe(Pipe* pipe);
void TransferFree(TransferBlock* block);
// Makes a finished bulk transfer block ready to be submitted again: the same
// pipe, buffer and direction, for `length` bytes, as if newly built.
void TransferRenewBulk(TransferBlock* block, ULONG length);
// After completion: the bytes moved and the USB status word (top bit set:
// error; top two bits 01: pending).
ULONG TransferLength(TransferBlock* block);
ULONG TransferUsbStatus(TransferBlock* block);

// A request packet of the driver's own, sized for the stack below; null on failure.
Request* RequestAllocate(Device* lower);
void RequestFree(Request* request);
// Runs once when an asynchronous transfer ends (success, error or cancel),
// possibly at raised priority on another processor. The request is then the
// callback's, to free; the return value is the completion routine's answer
// (STATUS_MORE_PROCESSING_REQUIRED: the driver keeps the request).
using TransferDone = NTSTATUS (*)(void* context, Request* request, NTSTATUS status);
// Returns the submission status, which may be STATUS_PENDING.
NTSTATUS SubmitTransferAsync(Device* lower, Request* request, TransferBlock* block,
                             TransferDone done, void* context);
// Cancels a request in flight; true once cancellation was asked for it.
void RequestCancel(Request* request);
bool RequestCancelled(Request* request);

// Standard descriptor requests, device to host: type 1 (device) or 2
// (configuration) with its index, into buffer[0..length). Null on no memory.
TransferBlock* TransferAllocDescriptor(uint8_t type, uint8_t index, void* buffer, ULONG length);

// Configuration selection with a prepared list. Each entry names an interface
// descriptor inside the configuration descriptor set; after the block has
// been submitted successfully, TransferSelectedPipes reports each interface's
// pipes. A null set builds the request that deselects the configuration. The
// set must stay in place until the block is freed. Null on no memory.
inline constexpr ULONG kMaxPipesPerInterface = 16;
struct SelectedPipe {
  uint8_t endpoint;  // bEndpointAddress
  Pipe* pipe;
};
struct InterfaceSelection {
  const uint8_t* descriptor;  // inside the configuration descriptor set
  ULONG pipeCount;
  SelectedPipe pipes[kMaxPipesPerInterface];
};
TransferBlock* TransferAllocSelect(const uint8_t* configuration, const InterfaceSelection* list,
                                   ULONG count);
void TransferSelectedPipes(TransferBlock* block, InterfaceSelection* list, ULONG count);

// Asks the stack to cycle the device's port, on a request packet of the
// driver's own, and waits without limit (may block). STATUS_INSUFFICIENT_RESOURCES when
// no request packet could be had.
NTSTATUS CyclePort(Device* lower);

// ---- the driver -------------------------------------------------------------
void DriverSetContext(Driver* driver, void* context);
void* DriverGetContext(Driver* driver);

// ---- registry ---------------------------------------------------------------
enum class RegRoot : uint8_t { Services, Control };
inline constexpr ULONG kKeyReadCreate = 0x2001D;  // read plus create-subkey
inline constexpr ULONG kKeyRead = 0x20019;
inline constexpr ULONG REG_SZ = 1;
inline constexpr ULONG REG_BINARY = 3;
inline constexpr ULONG REG_DWORD = 4;

// Opens, or when create is set creates, root\path (case-insensitive).
NTSTATUS RegOpenKey(RegRoot root, const char16_t* path, ULONG access, bool create, RegKey** out);
// Reads a value's type and up to maxBytes of its data. A value with more data
// fails with a status that has the top bit set and copies nothing.
NTSTATUS RegQueryValue(RegKey* key, const char16_t* name, ULONG* type, void* data, ULONG maxBytes,
                       ULONG* dataBytes);
void RegClose(RegKey* key);

}  // namespace plat
