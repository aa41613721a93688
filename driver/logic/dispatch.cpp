// The request dispatch: counts, the create/close lock, refusal after removal,
// the hold queue, and the Plug and Play and power request sequences.
#include "device.h"
#include "tower.h"

namespace tower {

namespace {

using plat::Major;
using plat::PnpMinor;
using plat::PowerMinor;

void RequestBegin(TowerDevice* device) { TowerRequestBegin(device); }
void RequestEnd(TowerDevice* device) { TowerRequestEnd(device); }

// A request is done with the record: it no longer counts as in progress, and
// its hold goes last, since the record may be freed right after it.
void Done(TowerDevice* device) {
  RequestEnd(device);
  TowerRelease(device);
}

NTSTATUS Finish(TowerDevice* device, plat::Request* request, NTSTATUS status,
                uintptr_t information) {
  plat::RequestComplete(request, status, information);
  Done(device);
  return status;
}

NTSTATUS HandDown(TowerDevice* device, plat::Request* request) {
  const NTSTATUS status = plat::PassDown(device->Lower, request);
  Done(device);
  return status;
}

// A Plug and Play request this driver has handled goes down as a success.
NTSTATUS HandDownHandled(TowerDevice* device, plat::Request* request) {
  plat::RequestSetStatus(request, STATUS_SUCCESS);
  return HandDown(device, request);
}

bool Gone(TowerDevice* device) {
  return Flag(&device->Dispatch.SurpriseRemoved) || Flag(&device->Dispatch.Removed);
}

// Data and control requests wait while the device cannot serve them.
bool MustHold(TowerDevice* device) {
  const DispatchState& d = device->Dispatch;
  if (!Flag(&d.Started) || Flag(&d.StopPending) || Flag(&d.RemovePending)) return true;
  return d.DevicePowerState != kPowerDeviceD0 &&
         plat::AtomicRead(&device->SystemPowerState) != kSystemWorking;
}

NTSTATUS RunDataHandler(TowerDevice* device, plat::Request* request) {
  ULONG information = 0;
  NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
  switch (plat::RequestMajor(request)) {
    case Major::Read:
      status = TowerRead(device, request, &information);
      break;
    case Major::Write:
      status = TowerWrite(device, request, &information);
      break;
    case Major::DeviceControl:
      status = TowerDeviceControl(device, request, &information);
      break;
    default:
      break;
  }
  return Finish(device, request, status, information);
}

// Held requests go back through the dispatch in arrival order, as long as the
// device can serve them.
void ReleaseHeld(TowerDevice* device) {
  while (!Gone(device) && !MustHold(device)) {
    plat::Request* request = plat::HoldQueueRemoveHead(&device->Dispatch.Held);
    if (request == nullptr) break;
    RunDataHandler(device, request);
  }
}

void FailHeld(TowerDevice* device) {
  while (plat::Request* request = plat::HoldQueueRemoveHead(&device->Dispatch.Held))
    Finish(device, request, STATUS_DELETE_PENDING, 0);
}

NTSTATUS DispatchData(TowerDevice* device, plat::Request* request) {
  if (Gone(device)) return Finish(device, request, STATUS_DELETE_PENDING, 0);
  if (MustHold(device)) {
    if (!plat::HoldQueueInsert(&device->Dispatch.Held, request))
      return Finish(device, request, STATUS_CANCELLED, 0);
    // The state may have changed between the test and the insertion, after
    // a release or a removal went through the queue: look again, so that no
    // request is left behind in it.
    if (Gone(device))
      FailHeld(device);
    else if (!MustHold(device))
      ReleaseHeld(device);
    return STATUS_PENDING;
  }
  return RunDataHandler(device, request);
}

NTSTATUS DispatchCreate(TowerDevice* device, plat::Request* request) {
  DispatchState& d = device->Dispatch;
  plat::MutexAcquire(&d.CreateCloseLock);
  NTSTATUS status = STATUS_DELETE_PENDING;
  if (!Gone(device)) {
    status = TowerOpen(device, request);
    if (NtSuccess(status)) plat::AtomicIncrement(&d.OpenCount);
  }
  plat::RequestComplete(request, status, 0);
  plat::MutexRelease(&d.CreateCloseLock);
  Done(device);
  return status;
}

NTSTATUS DispatchClose(TowerDevice* device, plat::Request* request) {
  DispatchState& d = device->Dispatch;
  plat::MutexAcquire(&d.CreateCloseLock);
  const NTSTATUS status = TowerClose(device, request);
  LONG open = plat::AtomicRead(&d.OpenCount);
  if (NtSuccess(status)) open = plat::AtomicDecrement(&d.OpenCount);
  // A device removed while a handle was open goes away with its last close.
  // The removal has already waited for every other holder; the open handle
  // kept the record alive since.
  const bool deleteNow = open == 0 && d.Life.Drained;
  plat::RequestComplete(request, status, 0);
  plat::MutexRelease(&d.CreateCloseLock);
  Done(device);
  if (deleteNow) TowerDeleteDevice(device);
  return status;
}

NTSTATUS DispatchCleanup(TowerDevice* device, plat::Request* request) {
  const void* file = plat::RequestFile(request);
  while (plat::Request* held = plat::HoldQueueRemoveForFile(&device->Dispatch.Held, file))
    Finish(device, held, STATUS_CANCELLED, 0);
  const NTSTATUS status = TowerCleanup(device, request);
  return Finish(device, request, status, 0);
}

NTSTATUS DispatchPower(TowerDevice* device, plat::Request* request) {
  if (Gone(device)) {
    plat::PowerStartNext(request);
    return Finish(device, request, STATUS_DELETE_PENDING, 0);
  }
  const auto minor = static_cast<PowerMinor>(plat::RequestMinor(request));
  if (minor == PowerMinor::QueryPower) {
    const NTSTATUS status = TowerQueryPower(device, request);
    Done(device);
    return status;
  }
  // The system is awake again: requests held for its sleep may run.
  const bool wake = minor == PowerMinor::SetPower &&
                    plat::RequestPowerType(request) == plat::PowerStateType::System &&
                    plat::RequestPowerState(request) == static_cast<ULONG>(kSystemWorking);
  if (wake) plat::AtomicExchange(&device->SystemPowerState, kSystemWorking);
  plat::PowerStartNext(request);
  const NTSTATUS status = plat::PowerPassDown(device->Lower, request);
  if (wake) ReleaseHeld(device);
  Done(device);
  return status;
}

// Waits, without counting the request being handled, until it is the only one.
NTSTATUS WaitForOthers(TowerDevice* device, const int64_t* timeout) {
  RequestEnd(device);
  const NTSTATUS status = plat::EventWait(&device->Dispatch.NoOtherRequests, timeout);
  RequestBegin(device);
  return status;
}

NTSTATUS PnpStart(TowerDevice* device, plat::Request* request) {
  NTSTATUS status = plat::PassDownAndWait(device->Lower, request);
  if (!NtSuccess(status)) return Finish(device, request, status, 0);
  status = TowerStartDevice(device, request);
  const bool started = NtSuccess(status);
  if (started) SetFlag(&device->Dispatch.Started, true);
  // The start is complete before the interface opens and held requests run.
  // A surprise removal may follow as soon as it is, so the request keeps its
  // hold on the record until that work is done: released first, the record
  // could be freed under it.
  plat::RequestComplete(request, status, 0);
  if (started && device->InterfaceRegistered) plat::InterfaceSetState(&device->Interface, true);
  if (started) ReleaseHeld(device);
  Done(device);
  return status;
}

NTSTATUS PnpRemove(TowerDevice* device, plat::Request* request) {
  DispatchState& d = device->Dispatch;
  plat::MutexAcquire(&d.CreateCloseLock);
  SetFlag(&d.Removed, true);
  FailHeld(device);
  if (device->InterfaceRegistered) plat::InterfaceSetState(&device->Interface, false);
  TowerRemoveDevice(device, request);

  // Other requests get a second to finish before the removal goes down; the
  // wait for them to let go of the record comes later and has no limit.
  const int64_t oneSecond = -10000000;
  RequestEnd(device);  // the removal itself no longer counts
  plat::EventWait(&d.NoOtherRequests, &oneSecond);
  plat::RequestSetInformation(request, 0);
  plat::RequestSetStatus(request, STATUS_SUCCESS);
  const NTSTATUS status = plat::PassDown(device->Lower, request);
  if (device->Attached) plat::Detach(device->Lower);
  device->Attached = false;

  if (device->LinkName[0] != 0) {
    plat::SymbolicLinkDelete(device->LinkName);
    device->LinkName[0] = 0;
  }
  plat::MutexRelease(&d.CreateCloseLock);

  // Not under CreateCloseLock: an open waiting for it holds the record too.
  TowerReleaseAndWait(device);

  plat::MutexAcquire(&d.CreateCloseLock);
  d.Life.Drained = true;
  const bool deleteNow = plat::AtomicRead(&d.OpenCount) == 0;
  plat::MutexRelease(&d.CreateCloseLock);
  if (deleteNow) TowerDeleteDevice(device);
  return status;
}

NTSTATUS DispatchPnp(TowerDevice* device, plat::Request* request) {
  DispatchState& d = device->Dispatch;
  const auto minor = static_cast<PnpMinor>(plat::RequestMinor(request));
  if (Gone(device) && !(minor == PnpMinor::Remove && Flag(&d.SurpriseRemoved) && !Flag(&d.Removed)))
    return Finish(device, request, STATUS_DELETE_PENDING, 0);

  switch (minor) {
    case PnpMinor::Start:
      return PnpStart(device, request);

    case PnpMinor::QueryStop:
      // Two in progress: the count's base and this query.
      if (plat::AtomicRead(&d.OpenCount) > 0 || plat::AtomicRead(&d.InProgress) > 2)
        return Finish(device, request, STATUS_DEVICE_BUSY, 0);
      SetFlag(&d.StopPending, true);
      return HandDownHandled(device, request);

    case PnpMinor::CancelStop: {
      const NTSTATUS status = plat::PassDownAndWait(device->Lower, request);
      SetFlag(&d.StopPending, false);
      // The held requests go first, in arrival order; the cancel completes
      // after them.
      ReleaseHeld(device);
      Finish(device, request, status, 0);
      return status;
    }

    case PnpMinor::Stop: {
      TowerStopDevice(device, request);
      const bool wasStarted = Flag(&d.Started);
      SetFlag(&d.StopPending, false);
      if (device->InterfaceRegistered) plat::InterfaceSetState(&device->Interface, false);
      if (wasStarted) {
        SetFlag(&d.Started, false);
        return HandDownHandled(device, request);
      }
      return Finish(device, request, STATUS_SUCCESS, 0);
    }

    case PnpMinor::QueryRemove:
      if (plat::AtomicRead(&d.OpenCount) > 0) return Finish(device, request, STATUS_DEVICE_BUSY, 0);
      SetFlag(&d.RemovePending, true);
      if (Flag(&d.Started)) WaitForOthers(device, nullptr);
      return HandDownHandled(device, request);

    case PnpMinor::CancelRemove: {
      const NTSTATUS status = plat::PassDownAndWait(device->Lower, request);
      SetFlag(&d.RemovePending, false);
      // The held requests go first, in arrival order; the cancel completes
      // after them.
      ReleaseHeld(device);
      Finish(device, request, status, 0);
      return status;
    }

    case PnpMinor::SurpriseRemoval:
      SetFlag(&d.SurpriseRemoved, true);
      FailHeld(device);
      TowerSurpriseRemoval(device, request);
      SetFlag(&d.Started, false);
      SetFlag(&d.StopPending, false);
      SetFlag(&d.RemovePending, false);
      return HandDownHandled(device, request);

    case PnpMinor::Remove:
      return PnpRemove(device, request);

    case PnpMinor::QueryCapabilities: {
      const NTSTATUS status = TowerQueryCapabilities(device, request);
      Done(device);
      return status;
    }

    default:
      return HandDown(device, request);
  }
}

}  // namespace

// Every dispatched request counts itself until it is completed or handed down.
// The count and its events change together under CountLock: otherwise a
// set and a clear racing each other could leave an event saying the
// opposite of the count.
void TowerRequestBegin(TowerDevice* device) {
  DispatchState& d = device->Dispatch;
  const plat::Irql irql = plat::SpinLockAcquire(&d.CountLock);
  if (plat::AtomicIncrement(&d.InProgress) == 2) plat::EventClear(&d.NoOtherRequests);
  plat::SpinLockRelease(&d.CountLock, irql);
}

void TowerRequestEnd(TowerDevice* device) {
  DispatchState& d = device->Dispatch;
  const plat::Irql irql = plat::SpinLockAcquire(&d.CountLock);
  const LONG left = plat::AtomicDecrement(&d.InProgress);
  if (left == 1) plat::EventSet(&d.NoOtherRequests);
  plat::SpinLockRelease(&d.CountLock, irql);
}

void TowerHold(TowerDevice* device) { plat::AtomicIncrement(&device->Dispatch.Life.Holds); }

void TowerRelease(TowerDevice* device) {
  Lifetime& life = device->Dispatch.Life;
  // Nothing of the record is touched after the decrement but the event, and
  // setting it is the last touch: the waiter frees only once it is set.
  if (plat::AtomicDecrement(&life.Holds) == 0) plat::EventSet(&life.Released);
}

void TowerReleaseAndWait(TowerDevice* device) {
  Lifetime& life = device->Dispatch.Life;
  // The device's own hold, then the caller's: once both are given up, only
  // holders already inside can keep the count above 0.
  TowerRelease(device);
  TowerRelease(device);
  plat::EventWait(&life.Released, nullptr);
}

// The receive transfer holds the record as well as its slot; the slot goes
// first, so that setting NoReader under CountLock happens while the record is
// still held.
void TowerReaderHold(TowerDevice* device) {
  TowerHold(device);
  DispatchState& d = device->Dispatch;
  const plat::Irql irql = plat::SpinLockAcquire(&d.CountLock);
  if (plat::AtomicIncrement(&d.ReaderHolds) == 1) plat::EventClear(&d.NoReader);
  plat::SpinLockRelease(&d.CountLock, irql);
}

void TowerReaderRelease(TowerDevice* device) {
  DispatchState& d = device->Dispatch;
  const plat::Irql irql = plat::SpinLockAcquire(&d.CountLock);
  if (plat::AtomicDecrement(&d.ReaderHolds) == 0) plat::EventSet(&d.NoReader);
  plat::SpinLockRelease(&d.CountLock, irql);
  TowerRelease(device);
}

TowerDevice* TowerDeviceOf(plat::Device* device) {
  return *static_cast<TowerDevice**>(plat::DeviceExtension(device));
}

void TowerHeldCancelled(void* context, plat::Request* request) {
  Finish(static_cast<TowerDevice*>(context), request, STATUS_CANCELLED, 0);
}

NTSTATUS TowerDispatch(plat::Device* self, plat::Request* request) {
  TowerDevice* device = TowerDeviceOf(self);
  TowerHold(device);
  RequestBegin(device);
  switch (plat::RequestMajor(request)) {
    case Major::Create:
      return DispatchCreate(device, request);
    case Major::Close:
      return DispatchClose(device, request);
    case Major::Cleanup:
      return DispatchCleanup(device, request);
    case Major::Read:
    case Major::Write:
    case Major::DeviceControl:
      return DispatchData(device, request);
    case Major::Power:
      return DispatchPower(device, request);
    case Major::Pnp:
      return DispatchPnp(device, request);
    default:
      return Finish(device, request, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

}  // namespace tower
