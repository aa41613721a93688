// The driver-wide object and the per-tower device record.
#pragma once

#include "platform/platform.h"
#include "tower/names.h"
#include "tower/ntstatus.h"
#include "tower/replies.h"

namespace tower {

using plat::LONG;
using plat::ULONG;

// The receive buffer: a circular byte store that keeps the oldest bytes and
// drops the newest when full. Every operation runs under Lock.
struct ReceiveRing {
  uint8_t* Data;
  int32_t Capacity;
  int32_t Count;
  int32_t ReadPos;
  int32_t WritePos;
  ULONG OwnsData;
  plat::SpinLock Lock;

  int32_t Put(const uint8_t* source, int32_t n);
  int32_t Get(uint8_t* destination, int32_t n);
  int32_t Available();
  int32_t Clear();
};

// Creates a ring of the given capacity; storage that cannot be had gives a
// ring that stores nothing. Null when the ring itself cannot be allocated.
ReceiveRing* RingCreate(ULONG capacity);
void RingDestroy(ReceiveRing* ring);
int32_t RingPut(ReceiveRing* ring, const uint8_t* source, int32_t n);
int32_t RingGet(ReceiveRing* ring, uint8_t* destination, int32_t n);
int32_t RingAvailable(ReceiveRing* ring);
int32_t RingClear(ReceiveRing* ring);

inline int32_t ReceiveRing::Put(const uint8_t* source, int32_t n) {
  return RingPut(this, source, n);
}
inline int32_t ReceiveRing::Get(uint8_t* destination, int32_t n) {
  return RingGet(this, destination, n);
}
inline int32_t ReceiveRing::Available() { return RingAvailable(this); }
inline int32_t ReceiveRing::Clear() { return RingClear(this); }

// A read waiting for bytes while it is the only one: the receive completion
// hands it the bytes of each packet directly and wakes it only once it is
// full, instead of at every packet. Each packet still counts as the signal
// that would have woken it (Arrivals, LastArrival), so the read ends exactly
// when its limits say. Lives on the reading thread's stack; every field is
// used under StateLock.
struct ReadWaiter {
  uint8_t* Buffer;      // where the read's next byte goes
  int32_t Wanted;       // bytes it still lacks
  int32_t Got;          // bytes the completion handed it
  ULONG Arrivals;       // packets that arrived while it waited
  int64_t LastArrival;  // when the last of them arrived (plat::Now)
};

// A receive transfer: its request packet and its transfer block.
struct ReaderParts {
  plat::Request* Request;
  plat::TransferBlock* Block;
};

// One per loaded driver.
struct TowerDriver {
  ULONG UnitMask;  // bit n set: unit number n is in use; bit 0 never
  plat::SpinLock Lock;
  bool LegacyLayout;  // links live under \DosDevices\ instead of \??\ .
  char16_t* RegistryPath;
};

// The record's lifetime, in the manner of the kernel's remove lock. Holds
// starts at 1, the device's own hold; every request in progress and the
// receive transfer that is out take one more. Removal gives up the device's
// own hold and waits, without a time limit, until Holds reaches 0: only then
// may the record be freed. A holder's release is its last touch of the record.
struct Lifetime {
  volatile LONG Holds;
  plat::Event Released;  // manual reset: set each time Holds reaches 0
  bool Drained;          // removal has seen Holds reach 0 (under CreateCloseLock)
};

// Lifecycle state kept by the request dispatch.
struct DispatchState {
  volatile LONG Started;          // the last start succeeded
  volatile LONG StopPending;      // a stop query was accepted
  volatile LONG RemovePending;    // a removal query was accepted
  volatile LONG SurpriseRemoved;  // a surprise removal arrived
  volatile LONG Removed;          // a removal arrived
  volatile LONG OpenCount;        // handles opened and not yet closed
  plat::SpinLock CountLock;       // keeps each count and its event in step
  volatile LONG InProgress;       // starts at 1; each request in flight adds one
  plat::Event NoOtherRequests;    // manual reset: set while InProgress <= 1
  volatile LONG ReaderHolds;      // receive transfers out, and completions running
  plat::Event NoReader;           // manual reset: set while ReaderHolds is 0
  plat::HoldQueue Held;
  plat::Mutex CreateCloseLock;  // serialises create, close and removal
  ULONG DevicePowerState;       // never set to D0 by this driver
  Lifetime Life;
};

// Lock order, outermost first; a lock is never taken while a later one is held:
//   CreateCloseLock (mutex; never held across a wait for Life)
//   -> the hold queue's lock -> a request's cancel lock (inside the platform)
//   -> StateLock -> the ReceiveRing's Lock
// CountLock and the TowerDriver lock are leaves: nothing is taken under them.
// Events are set under CountLock only while the setter still holds the record.

// One per tower. The fields up to UnitNumber keep their documented order.
struct TowerDevice {
  plat::SpinLock StateLock;  // guards ReaderTransfer, ReadBuffer and the timeouts
  ReceiveRing* ReadBuffer;
  volatile LONG Present;
  volatile LONG Started;
  volatile LONG Open;
  volatile LONG ReaderActive;
  uint8_t ReaderBytes[8];
  ReaderParts ReaderTransfer;  // the receive transfer in flight
  ULONG BufferSize;
  ULONG Timeout_Read_1st;
  ULONG Timeout_Read_ic;
  ULONG Timeout_Write;
  plat::Event DataEvent;
  plat::Event ReaderStoppedEvent;
  uint8_t HighPower;
  ULONG UnitNumber;
  volatile LONG SystemPowerState;  // last accepted power query's state; 1 = working

  // USB binding and the device's place in the system.
  TowerDriver* Driver;
  plat::Device* Self;
  plat::Device* Physical;
  plat::Device* Lower;  // kept after detaching: the last close still goes down
  bool Attached;
  plat::Pipe* ReadPipe;   // endpoint 0x81
  plat::Pipe* WritePipe;  // endpoint 0x02
  // Cleanup and the receive completion share a request cleanup has taken;
  // whichever lets go of it last frees it.
  volatile LONG ReaderRequestShares;
  // Set by the last cleanup under StateLock: a completion racing it must not
  // start another receive transfer.
  bool ReaderStopping;
  // Resubmissions asked for and not yet made: a lower driver that completes a
  // transfer inside its submission must not make the completion recurse.
  volatile LONG ReaderResubmits;
  // The request and block of a receive transfer that came back with data,
  // kept for the next submission instead of freeing them and allocating
  // anew. Set by the completion and taken by the submission it asks for, on
  // the same thread; empty otherwise.
  ReaderParts ReaderSpare;
  // Reads inside their wait for data, and the one that may be handed bytes
  // directly (only while it waits alone). Under StateLock.
  LONG ReadsWaiting;
  ReadWaiter* Waiter;
  bool UnitReleased;
  char16_t LinkName[kMaxNameChars];  // empty once the link is deleted
  plat::InterfaceName Interface;
  bool InterfaceRegistered;

  DispatchState Dispatch;
};

// Defaults a new record starts with.
inline constexpr ULONG kDefaultBufferSize = 1024;
inline constexpr ULONG kDefaultTimeoutRead1st = 200;
inline constexpr ULONG kDefaultTimeoutReadIc = 100;
inline constexpr ULONG kDefaultTimeoutWrite = 200;
inline constexpr LONG kSystemWorking = 1;
inline constexpr ULONG kPowerDeviceD0 = 1;

// Flags are whole 32-bit words, written by atomic exchange and read without a lock.
inline void SetFlag(volatile LONG* flag, bool on) { plat::AtomicExchange(flag, on ? 1 : 0); }
inline bool Flag(const volatile LONG* flag) { return plat::AtomicRead(flag) != 0; }

// The state word GET_STATE reports: Present 1, Started 2, Open 4, ReaderActive 8.
uint16_t TowerStateWord(TowerDevice* device);
// A request is served only when ReaderActive, Open and Present are all set.
bool TowerIsReady(TowerDevice* device);

// Requests in progress: every dispatched request counts until it is completed
// or handed down. This count serves the Plug and Play rules only; the
// record's lifetime is Life's.
void TowerRequestBegin(TowerDevice* device);
void TowerRequestEnd(TowerDevice* device);
// Life: a hold keeps the record from being freed; the release is the holder's
// last touch of it.
void TowerHold(TowerDevice* device);
void TowerRelease(TowerDevice* device);
// Removal: gives up the device's own hold and the caller's, then waits with no
// time limit until no holder is left.
void TowerReleaseAndWait(TowerDevice* device);
// The receive transfer's slot in the record: a transfer is out, or its
// completion is still running.
void TowerReaderHold(TowerDevice* device);
void TowerReaderRelease(TowerDevice* device);

// Unit numbers (under the driver lock).
NTSTATUS TowerTakeUnit(TowerDriver* driver, ULONG* unit);
void TowerReleaseUnit(TowerDriver* driver, ULONG unit);
// Releases the device's number the first time only.
void TowerReleaseDeviceUnit(TowerDevice* device);

// USB policy over the platform's primitives.
// Submits a block on a request packet of its own and waits for it (may
// block). With limitMs > 0 it waits at most that long; on expiry it cancels
// the transfer, waits without limit until it has come back, and returns
// STATUS_TIMEOUT. STATUS_INSUFFICIENT_RESOURCES when no packet could be had.
NTSTATUS TowerSubmitTransfer(plat::Device* lower, plat::TransferBlock* block, ULONG limitMs);
// Submits a block on the caller's request packet and returns the submission
// status (possibly STATUS_PENDING); `done` runs once when it ends, owns the
// request from then on, and may run at raised priority on another processor.
inline NTSTATUS TowerSubmitTransferAsync(plat::Device* lower, plat::Request* request,
                                         plat::TransferBlock* block, plat::TransferDone done,
                                         void* context) {
  return plat::SubmitTransferAsync(lower, request, block, done, context);
}
// Each binding names a configuration value, interface, alternate setting and
// endpoint, and the pipe to bind.
struct PipeBinding {
  uint8_t configuration;
  uint8_t interfaceNumber;
  uint8_t alternateSetting;
  uint8_t endpoint;
  plat::Pipe** pipe;
};
// Result codes of a selection.
enum SelectResult : ULONG {
  kSelectOk = 0,
  kSelectNoInterface = 1,
  kSelectNoMemory = 2,
  kSelectRefused = 3,  // the USB stack refused the selection itself
  kSelectNoPipes = 4,
  kSelectNoEndpoint = 5,
  kSelectNoConfiguration = 6,
  kSelectNoDeviceDescriptor = 7,
};
// Reads the device descriptor, then configuration descriptors of up to
// maxBytes until one has the value, selects it with the bindings' interfaces
// and binds their pipes (may block).
ULONG TowerSelectConfiguration(plat::Device* lower, uint8_t value, const PipeBinding* bindings,
                               ULONG count, ULONG maxBytes);
// Deselects the configuration (may block).
NTSTATUS TowerUnconfigure(plat::Device* lower);

// Vendor requests: each waits at most this long for the tower's answer.
inline constexpr ULONG kVendorRequestLimitMs = 200;
NTSTATUS TowerSendVendorRequest(TowerDevice* device, uint8_t request, uint16_t value,
                                uint16_t index, void* reply, ULONG length, ULONG* received);
NTSTATUS TowerParmRequest(TowerDevice* device, uint8_t request, uint8_t id, uint8_t value,
                          uint16_t index, TOWER_REPLY_PARM* reply);

// The continuous receive transfer.
NTSTATUS TowerStartReader(TowerDevice* device);
NTSTATUS TowerReaderComplete(void* context, plat::Request* request, NTSTATUS status);

// The limit of a write of length bytes: none when perByte is 0, else the
// larger of a floor of 10 ms per 8 bytes plus 10 and perByte × length, in
// unsigned 32-bit arithmetic that wraps.
constexpr ULONG TowerWriteLimitMs(ULONG perByte, ULONG length) {
  if (perByte == 0) return 0;
  const ULONG floor = (length / 8) * 10 + 10;
  const ULONG product = perByte * length;
  return floor > product ? floor : product;
}

// Registry configuration.
NTSTATUS TowerApplyLinkSettings(TowerDevice* device);
void TowerReadHighPower(TowerDevice* device);
// Sends the range and then the link mode that the open read from the registry.
NTSTATUS TowerPushLinkSettings(TowerDevice* device, uint8_t range, uint8_t linkMode);

// Record lifetime.
void TowerInitDevice(TowerDevice* device, TowerDriver* driver, ULONG unit);
void TowerDestroyDevice(TowerDevice* device);
// Frees the record and deletes the device object.
void TowerDeleteDevice(TowerDevice* device);
TowerDevice* TowerDeviceOf(plat::Device* device);
// The hold queue's owner completes a cancelled held request.
void TowerHeldCancelled(void* context, plat::Request* request);

// Handle and data operations. Each returns the status to complete with and
// sets *information.
NTSTATUS TowerOpen(TowerDevice* device, plat::Request* request);
NTSTATUS TowerClose(TowerDevice* device, plat::Request* request);
NTSTATUS TowerCleanup(TowerDevice* device, plat::Request* request);
NTSTATUS TowerRead(TowerDevice* device, plat::Request* request, ULONG* information);
NTSTATUS TowerWrite(TowerDevice* device, plat::Request* request, ULONG* information);
NTSTATUS TowerDeviceControl(TowerDevice* device, plat::Request* request, ULONG* information);

// Lifecycle operations.
NTSTATUS TowerStartDevice(TowerDevice* device, plat::Request* request);
NTSTATUS TowerStopDevice(TowerDevice* device, plat::Request* request);
NTSTATUS TowerSurpriseRemoval(TowerDevice* device, plat::Request* request);
NTSTATUS TowerRemoveDevice(TowerDevice* device, plat::Request* request);
NTSTATUS TowerQueryCapabilities(TowerDevice* device, plat::Request* request);
NTSTATUS TowerQueryPower(TowerDevice* device, plat::Request* request);

// Zeroes memory without the C runtime.
void ZeroBytes(void* block, size_t bytes);
void CopyBytes(void* to, const void* from, size_t bytes);

}  // namespace tower
