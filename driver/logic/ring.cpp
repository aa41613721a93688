// The receive ring between the receive transfer and the reads.
#include "device.h"

namespace tower {

ReceiveRing* RingCreate(ULONG capacity) {
  auto* ring = static_cast<ReceiveRing*>(plat::PoolAlloc(sizeof(ReceiveRing), kPoolTag));
  if (ring == nullptr) return nullptr;
  ZeroBytes(ring, sizeof(*ring));
  plat::SpinLockInit(&ring->Lock, "ReceiveRing.Lock");
  // Capacities beyond what a signed count can hold, or storage that cannot
  // be had, leave a ring that stores nothing: reads then return 0 bytes.
  if (capacity > 0 && capacity <= 0x7FFFFFFFu) {
    ring->Data = static_cast<uint8_t*>(plat::PoolAlloc(capacity, kPoolTag));
    if (ring->Data != nullptr) {
      ring->Capacity = static_cast<int32_t>(capacity);
      ring->OwnsData = 1;
    }
  }
  return ring;
}

void RingDestroy(ReceiveRing* ring) {
  if (ring == nullptr) return;
  if (ring->OwnsData != 0) plat::PoolFree(ring->Data);
  plat::SpinLockDestroy(&ring->Lock);
  plat::PoolFree(ring);
}

int32_t RingPut(ReceiveRing* ring, const uint8_t* source, int32_t n) {
  if (source == nullptr || n <= 0) return 0;
  const plat::Irql irql = plat::SpinLockAcquire(&ring->Lock);
  // The held bytes are never overwritten: what does not fit is dropped.
  const int32_t room = ring->Capacity - ring->Count;
  const int32_t stored = n < room ? n : room;
  // In at most two runs: up to the end of the storage, then from its start.
  const int32_t first =
      stored < ring->Capacity - ring->WritePos ? stored : ring->Capacity - ring->WritePos;
  CopyBytes(ring->Data + ring->WritePos, source, first);
  CopyBytes(ring->Data, source + first, stored - first);
  ring->WritePos += stored;
  if (ring->WritePos >= ring->Capacity) ring->WritePos -= ring->Capacity;
  ring->Count += stored;
  plat::SpinLockRelease(&ring->Lock, irql);
  return stored;
}

int32_t RingGet(ReceiveRing* ring, uint8_t* destination, int32_t n) {
  if (destination == nullptr || n <= 0) return 0;
  const plat::Irql irql = plat::SpinLockAcquire(&ring->Lock);
  const int32_t taken = n < ring->Count ? n : ring->Count;
  // Oldest first, in at most two runs, as the bytes were stored.
  const int32_t first =
      taken < ring->Capacity - ring->ReadPos ? taken : ring->Capacity - ring->ReadPos;
  CopyBytes(destination, ring->Data + ring->ReadPos, first);
  CopyBytes(destination + first, ring->Data, taken - first);
  ring->ReadPos += taken;
  if (ring->ReadPos >= ring->Capacity) ring->ReadPos -= ring->Capacity;
  ring->Count -= taken;
  plat::SpinLockRelease(&ring->Lock, irql);
  return taken;
}

int32_t RingAvailable(ReceiveRing* ring) {
  const plat::Irql irql = plat::SpinLockAcquire(&ring->Lock);
  const int32_t count = ring->Count;
  plat::SpinLockRelease(&ring->Lock, irql);
  return count;
}

int32_t RingClear(ReceiveRing* ring) {
  const plat::Irql irql = plat::SpinLockAcquire(&ring->Lock);
  ring->Count = 0;
  ring->ReadPos = 0;
  ring->WritePos = 0;
  plat::SpinLockRelease(&ring->Lock, irql);
  return 0;
}

}  // namespace tower
