// Handles and the data path: open, cleanup and close, the continuous receive
// transfer, reads from the receive ring and writes to the OUT endpoint.
#include "device.h"
#include "tower/ioctl.h"
#include "tower/values.h"

namespace tower {

namespace {

constexpr ULONG kCleanupWaitMs = 100;

void FreeReaderParts(plat::Request* request, plat::TransferBlock* block) {
  if (request != nullptr) plat::RequestFree(request);
  if (block != nullptr) plat::TransferFree(block);
}

// Cancels what is in flight on a pipe of a tower still present (may block);
// false when nothing could be asked.
bool AbortPipe(TowerDevice* device, plat::Pipe* pipe) {
  if (pipe == nullptr || !Flag(&device->Present)) return false;
  plat::TransferBlock* block = plat::TransferAllocAbortPipe(pipe);
  if (block == nullptr) return false;
  const NTSTATUS status = TowerSubmitTransfer(device->Lower, block, 0);
  plat::TransferFree(block);
  return NtSuccess(status);
}

// The request cleanup took is shared with the completion; the last to let go frees it.
void ReleaseReaderShare(TowerDevice* device, plat::Request* request) {
  if (plat::AtomicDecrement(&device->ReaderRequestShares) == 0) plat::RequestFree(request);
}

}  // namespace

NTSTATUS TowerStartReader(TowerDevice* device) {
  // The previous transfer's request and block, when it came back with data.
  plat::Request* request = device->ReaderSpare.Request;
  plat::TransferBlock* block = device->ReaderSpare.Block;
  device->ReaderSpare.Request = nullptr;
  device->ReaderSpare.Block = nullptr;
  // Nothing new goes down to a tower that has left: the removal waits for the
  // transfer that is out, and one submitted now might never come back.
  if (!Flag(&device->Present)) {
    FreeReaderParts(request, block);
    SetFlag(&device->ReaderActive, false);
    return STATUS_DELETE_PENDING;
  }
  if (block != nullptr)
    plat::TransferRenewBulk(block, kReceivePacket);
  else
    block =
        plat::TransferAllocBulk(device->ReadPipe, device->ReaderBytes, kReceivePacket, true, true);
  if (block == nullptr) {
    FreeReaderParts(request, nullptr);
    SetFlag(&device->ReaderActive, false);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (request == nullptr) request = plat::RequestAllocate(device->Lower);
  if (request == nullptr) {
    plat::TransferFree(block);
    SetFlag(&device->ReaderActive, false);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // The transfer counts as a request in progress until its completion is
  // done with the record.
  TowerReaderHold(device);
  bool stopping = false;
  {
    const plat::Irql irql = plat::SpinLockAcquire(&device->StateLock);
    stopping = device->ReaderStopping;
    if (!stopping) {
      device->ReaderTransfer.Request = request;
      device->ReaderTransfer.Block = block;
    }
    plat::SpinLockRelease(&device->StateLock, irql);
  }
  if (stopping) {
    // The last handle is being cleaned up: the receive transfer ends here.
    FreeReaderParts(request, block);
    SetFlag(&device->ReaderActive, false);
    plat::EventSet(&device->ReaderStoppedEvent);
    TowerReaderRelease(device);
    return STATUS_CANCELLED;
  }
  // Set before submitting: a completion that stops the reader may run before
  // the submission returns, and its 0 must stand.
  SetFlag(&device->ReaderActive, true);
  const NTSTATUS status =
      TowerSubmitTransferAsync(device->Lower, request, block, &TowerReaderComplete, device);
  if (status != STATUS_SUCCESS && status != STATUS_PENDING) SetFlag(&device->ReaderActive, false);
  return status;
}

namespace {

// A lower driver may complete a transfer inside its submission. The
// completion then only asks for the next one, and the outermost caller on the
// stack submits it: the depth stays bounded, and each completion that asks
// still gets exactly one submission. The caller holds the record throughout.
void Resubmit(TowerDevice* device) {
  if (plat::AtomicIncrement(&device->ReaderResubmits) > 1) return;
  do {
    TowerStartReader(device);
  } while (plat::AtomicDecrement(&device->ReaderResubmits) > 0);
}

// Stores a packet that came back under StateLock; true when the reads must
// be woken for it.
bool DeliverLocked(TowerDevice* device, int32_t n) {
  // Cleanup destroys the ring under the same lock: never a store into a dead ring.
  if (device->ReadBuffer == nullptr) return true;
  ReadWaiter* waiter = device->Waiter;
  // Every byte passes through the ring: a ring too small for the packet
  // keeps only its oldest bytes (none when it is of size 0), so such a
  // packet takes the ring's way and drops the rest there. A waiting read is
  // let go first: later packets must not reach it ahead of these bytes.
  if (waiter == nullptr || n > device->ReadBuffer->Capacity) {
    device->Waiter = nullptr;
    RingPut(device->ReadBuffer, device->ReaderBytes, n);
    return true;
  }
  // A lone read waits, and the ring holds nothing older: a waiter is set only
  // on an empty ring, and is let go before anything is stored in it.
  // It takes these bytes now, as it would on waking, and is woken only once
  // full. The rest, if any, waits in the ring as usual.
  const int32_t lacking = waiter->Wanted - waiter->Got;
  const int32_t given = n < lacking ? n : lacking;
  CopyBytes(waiter->Buffer + waiter->Got, device->ReaderBytes, static_cast<size_t>(given));
  waiter->Got += given;
  ++waiter->Arrivals;
  if (waiter->Got < waiter->Wanted) {
    // The read's next limit runs from here; a full read needs no time.
    waiter->LastArrival = plat::Now();
    return false;
  }
  // Full: later packets go to the ring, where the read finds them if it
  // wants more, and the ring is no longer empty under a waiter.
  device->Waiter = nullptr;
  if (given < n) RingPut(device->ReadBuffer, device->ReaderBytes + given, n - given);
  return true;
}

void ReaderCompletion(TowerDevice* device, plat::Request* request, NTSTATUS status) {
  // Asked before StateLock: the request's cancellation has a lock of its own.
  const bool cancelled = status == STATUS_CANCELLED || plat::RequestCancelled(request);
  plat::Request* held = nullptr;
  plat::TransferBlock* block = nullptr;
  bool failed = false;
  bool wake = false;
  {
    // The transfer is taken back, and what it brought stored, in one look:
    // a cleanup either took the request first, or finds the bytes in the
    // ring it discards.
    const plat::Irql irql = plat::SpinLockAcquire(&device->StateLock);
    held = device->ReaderTransfer.Request;
    block = device->ReaderTransfer.Block;
    device->ReaderTransfer.Request = nullptr;
    device->ReaderTransfer.Block = nullptr;
    if (block != nullptr && held != nullptr && !cancelled) {
      // A request that failed below (a stack that refuses transfers after an
      // unplug may leave the USB status at 0) ends the reader just as an
      // error USB status does: resubmitting would fail again at once, for ever.
      const ULONG usbStatus = plat::TransferUsbStatus(block);
      failed = NtError(status) || (usbStatus >> 31) != 0 || (usbStatus >> 30) == 1;
      const ULONG received = failed ? 0 : plat::TransferLength(block);
      if (received > 0)
        wake = DeliverLocked(
            device, static_cast<int32_t>(received > kReceivePacket ? kReceivePacket : received));
    }
    plat::SpinLockRelease(&device->StateLock, irql);
  }
  if (block == nullptr) return;

  const bool takenByCleanup = held == nullptr;
  if (takenByCleanup || cancelled) {
    // Stopped on purpose: the cleanup waiting for this learns of it.
    SetFlag(&device->ReaderActive, false);
    plat::TransferFree(block);
    if (takenByCleanup)
      ReleaseReaderShare(device, request);
    else
      plat::RequestFree(request);
    plat::EventSet(&device->ReaderStoppedEvent);
    return;
  }
  if (failed) {
    // The receive transfer stops for good: only a new first open restarts it.
    SetFlag(&device->ReaderActive, false);
    FreeReaderParts(request, block);
    return;
  }
  // Signalled even when the ring was full and bytes were dropped.
  if (wake) plat::EventSet(&device->DataEvent);
  // The next transfer goes out on this one's request and block: nobody else
  // holds them (cleanup takes the request only while it is below), and a
  // submission renews both, so reusing them changes nothing but the
  // allocations.
  device->ReaderSpare.Request = request;
  device->ReaderSpare.Block = block;
  Resubmit(device);
}

}  // namespace

NTSTATUS TowerReaderComplete(void* context, plat::Request* request, NTSTATUS status) {
  auto* device = static_cast<TowerDevice*>(context);
  ReaderCompletion(device, request, status);
  // The last touch of the record: removal may free it from here on.
  TowerReaderRelease(device);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS TowerOpen(TowerDevice* device, plat::Request* request) {
  if (!Flag(&device->Started) || !Flag(&device->Present)) return STATUS_DEVICE_NOT_CONNECTED;
  if (Flag(&device->Open)) return STATUS_SUCCESS;

  // The stack below completes the open; its answer is not examined.
  plat::PassDownAndWait(device->Lower, request);

  NTSTATUS status = TowerApplyLinkSettings(device);
  if (status != STATUS_SUCCESS) {
    // A tower that did not answer in time (a success-class status) still
    // fails the open: the caller must not get a handle to a tower that is
    // not marked open, and must learn why.
    if (NtSuccess(status))
      status = status == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : STATUS_UNSUCCESSFUL;
    return status;
  }
  SetFlag(&device->Open, true);

  ReceiveRing* ring = RingCreate(device->BufferSize);
  {
    const plat::Irql irql = plat::SpinLockAcquire(&device->StateLock);
    ReceiveRing* old = device->ReadBuffer;
    device->ReadBuffer = ring;
    device->ReaderStopping = false;
    plat::SpinLockRelease(&device->StateLock, irql);
    RingDestroy(old);
  }
  // The open succeeds even without a receive transfer; the tower then refuses
  // data and control requests until it is opened again. A transfer of the
  // previous open that has not come back yet would share the record's
  // transfer slot: it must be gone before a new one starts.
  const int64_t oneSecond = -10000000;
  if (plat::EventWait(&device->Dispatch.NoReader, &oneSecond) == STATUS_SUCCESS)
    TowerStartReader(device);
  return STATUS_SUCCESS;
}

NTSTATUS TowerCleanup(TowerDevice* device, plat::Request* request) {
  (void)request;
  if (plat::AtomicRead(&device->Dispatch.OpenCount) > 1) return STATUS_SUCCESS;

  plat::Request* reader = nullptr;
  {
    const plat::Irql irql = plat::SpinLockAcquire(&device->StateLock);
    // Cleared before the request is taken: a completion that follows can
    // only signal it afterwards.
    plat::EventClear(&device->ReaderStoppedEvent);
    reader = device->ReaderTransfer.Request;
    device->ReaderTransfer.Request = nullptr;
    device->ReaderStopping = true;
    if (reader != nullptr) plat::AtomicExchange(&device->ReaderRequestShares, 2);
    plat::SpinLockRelease(&device->StateLock, irql);
  }
  if (reader != nullptr) {
    plat::RequestCancel(reader);
    ReleaseReaderShare(device, reader);
    if (plat::MayBlock()) {
      const int64_t limit = plat::RelativeMs(kCleanupWaitMs);
      // A stack that does not cancel requests (Wine's) still aborts the
      // pipe: without that the transfer stays out, and the next open finds
      // the record's transfer slot taken and starts no receive transfer.
      if (plat::EventWait(&device->ReaderStoppedEvent, &limit) != STATUS_SUCCESS &&
          AbortPipe(device, device->ReadPipe))
        plat::EventWait(&device->ReaderStoppedEvent, &limit);
    }
  }

  // Bytes still held are discarded with the ring.
  ReceiveRing* ring = nullptr;
  {
    const plat::Irql irql = plat::SpinLockAcquire(&device->StateLock);
    ring = device->ReadBuffer;
    device->ReadBuffer = nullptr;
    plat::SpinLockRelease(&device->StateLock, irql);
  }
  RingDestroy(ring);
  return STATUS_SUCCESS;
}

NTSTATUS TowerClose(TowerDevice* device, plat::Request* request) {
  const bool last = plat::AtomicRead(&device->Dispatch.OpenCount) <= 1;
  // The last close stops the receive transfer and discards the ring even
  // when no cleanup came first (Wine sends none); after a cleanup nothing
  // is left for it to do.
  if (last) TowerCleanup(device, request);
  // The stack below sees the close, but its answer is not examined: the
  // handle is gone whatever it says. A close counted as failed would keep
  // the open count up for ever, and a removed device would never be
  // deleted (Wine's USB stack refuses closes).
  plat::PassDownAndWait(device->Lower, request);
  if (last) SetFlag(&device->Open, false);
  return STATUS_SUCCESS;
}

namespace {

// Counts a read as waiting, under StateLock; true when the completion may
// hand it bytes directly. Bytes are handed over only to a read that waits
// alone, with an inter-character limit, and when the ring holds nothing it
// could take first. A second read makes both wait as they always did: each
// packet wakes one of them.
bool BeginWaitLocked(TowerDevice* device, ReadWaiter* waiter, int64_t interChar, bool ringEmpty) {
  bool handOver = false;
  if (device->ReadsWaiting > 0) {
    device->Waiter = nullptr;
  } else if (interChar > 0 && device->ReadBuffer != nullptr && ringEmpty) {
    device->Waiter = waiter;
    handOver = true;
  }
  ++device->ReadsWaiting;
  return handOver;
}

}  // namespace

NTSTATUS TowerRead(TowerDevice* device, plat::Request* request, ULONG* information) {
  *information = 0;
  auto* buffer = static_cast<uint8_t*>(plat::RequestDataBuffer(request));
  // A missing buffer is refused before the readiness test.
  if (buffer == nullptr) return STATUS_INVALID_PARAMETER;
  if (!TowerIsReady(device)) return STATUS_DEVICE_NOT_READY;
  const ULONG length = plat::RequestDataLength(request);
  if (length == 0) return STATUS_SUCCESS;
  const int32_t wanted = length > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int32_t>(length);
  const bool mayWait = plat::MayBlock();

  int32_t got = 0;
  ULONG first = 0;
  int64_t interChar = 0;
  ReadWaiter waiter{};
  bool waiting = false;
  bool handOver = false;
  {
    // What the ring holds, and the limits, in one look under the lock; a
    // read that must wait is counted as waiting in the same look.
    const plat::Irql irql = plat::SpinLockAcquire(&device->StateLock);
    if (device->ReadBuffer != nullptr) got = RingGet(device->ReadBuffer, buffer, wanted);
    first = device->Timeout_Read_1st;
    interChar = static_cast<int64_t>(device->Timeout_Read_ic) * 10000;
    waiting = got < wanted && first != 0 && mayWait;
    if (waiting) {
      waiter = ReadWaiter{buffer + got, wanted - got, 0, 0, 0};
      // The ring gave all it held and it was not enough: it is empty.
      handOver = BeginWaitLocked(device, &waiter, interChar, true);
    }
    plat::SpinLockRelease(&device->StateLock, irql);
  }
  if (waiting) {
    // The first wait runs under the first-byte limit, each later one under
    // the inter-character limit from the previous wake-up; the first wait
    // that runs out ends the read. A packet handed over while the read
    // sleeps counts as a wake-up at its arrival.
    int64_t now = plat::Now();
    int64_t deadline = now - plat::RelativeMs(first);
    for (;;) {
      int64_t wait = deadline - now;
      if (wait < 0) wait = 0;
      // A packet handed over moves the deadline later, never sooner, so a
      // read handed bytes needs to look again no later than one
      // inter-character limit from now.
      if (handOver && wait > interChar) wait = interChar;
      const int64_t limit = -wait;
      const NTSTATUS waited = plat::EventWait(&device->DataEvent, &limit);
      bool arrived = waited == STATUS_SUCCESS;
      {
        // The wait ends, and what arrived is taken, in one look.
        const plat::Irql irql = plat::SpinLockAcquire(&device->StateLock);
        if (device->Waiter == &waiter) device->Waiter = nullptr;
        --device->ReadsWaiting;
        got += waiter.Got;
        arrived = arrived || waiter.Arrivals > 0;
        if (arrived && got < wanted && device->ReadBuffer != nullptr)
          got += RingGet(device->ReadBuffer, buffer + got, wanted - got);
        plat::SpinLockRelease(&device->StateLock, irql);
      }
      if (arrived && got >= wanted) break;
      now = plat::Now();
      if (arrived) {
        // The next limit runs from this wake-up, or from the last packet
        // handed over when the read was not woken for it.
        deadline = (waited == STATUS_SUCCESS ? now : waiter.LastArrival) + interChar;
      } else if (now >= deadline) {
        // Nothing arrived: the limit ran out, unless this was only a look.
        break;
      }
      waiter = ReadWaiter{buffer + got, wanted - got, 0, 0, 0};
      const plat::Irql irql = plat::SpinLockAcquire(&device->StateLock);
      const bool empty = device->ReadBuffer != nullptr && RingAvailable(device->ReadBuffer) == 0;
      handOver = BeginWaitLocked(device, &waiter, interChar, empty);
      plat::SpinLockRelease(&device->StateLock, irql);
    }
  }
  // A read never fails on a timeout: it returns what it has.
  *information = static_cast<ULONG>(got);
  return STATUS_SUCCESS;
}

NTSTATUS TowerWrite(TowerDevice* device, plat::Request* request, ULONG* information) {
  *information = 0;
  if (!TowerIsReady(device)) return STATUS_DEVICE_NOT_READY;
  const ULONG length = plat::RequestDataLength(request);
  if (length == 0) return STATUS_SUCCESS;
  // With direct access a missing buffer means its mapping could not be had.
  void* buffer = plat::RequestDataBuffer(request);
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

  plat::TransferBlock* block =
      plat::TransferAllocBulk(device->WritePipe, buffer, length, false, false);
  // Nothing was sent: say so rather than report an empty success.
  if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

  ULONG limitMs = 0;
  {
    const plat::Irql irql = plat::SpinLockAcquire(&device->StateLock);
    const ULONG perByte = device->Timeout_Write;
    plat::SpinLockRelease(&device->StateLock, irql);
    limitMs = TowerWriteLimitMs(perByte, length);
  }

  const NTSTATUS status = TowerSubmitTransfer(device->Lower, block, limitMs);
  ULONG written = 0;
  if (NtSuccess(status)) {
    written = plat::TransferLength(block);
  } else if (status == STATUS_DEVICE_DATA_ERROR) {
    // The tower's line is down: requests are refused until it delivers again.
    SetFlag(&device->ReaderActive, false);
  } else {
    TOWER_REPLY_PARM reply;
    TowerSendVendorRequest(device, TOWER_REQ_WRITE_ERROR, 1, 0, &reply, sizeof(reply), nullptr);
  }
  plat::TransferFree(block);
  *information = written;
  return status;
}

}  // namespace tower
