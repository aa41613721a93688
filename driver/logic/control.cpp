// Device control: one handler per control code. Each checks its inputs,
// sends its vendor request(s), and builds its output record in the shared
// system buffer.
#include "device.h"
#include "tower/ioctl.h"
#include "tower/values.h"

namespace tower {

namespace {

// One device-control request as the handlers see it.
struct Control {
  TowerDevice* device;
  uint8_t* buffer;  // the system buffer: input first, then output; may be null
  ULONG in;
  ULONG out;
  ULONG* information;

  bool HasInput(ULONG size) const { return buffer != nullptr && in >= size; }
  bool HasOutput(ULONG size) const { return buffer != nullptr && out >= size; }
  uint8_t U8(ULONG at) const { return buffer[at]; }
  uint16_t U16(ULONG at) const { return static_cast<uint16_t>(buffer[at] | buffer[at + 1] << 8); }
  uint32_t U32(ULONG at) const {
    return static_cast<uint32_t>(U16(at)) | static_cast<uint32_t>(U16(at + 2)) << 16;
  }
  void Put8(ULONG at, uint8_t v) { buffer[at] = v; }
  void Put16(ULONG at, uint16_t v) {
    buffer[at] = static_cast<uint8_t>(v);
    buffer[at + 1] = static_cast<uint8_t>(v >> 8);
  }
  void Put32(ULONG at, uint32_t v) {
    Put16(at, static_cast<uint16_t>(v));
    Put16(at + 2, static_cast<uint16_t>(v >> 16));
  }
  // Zeroes the output record, writes its header and reports its size.
  void Begin(ULONG size, uint8_t status) {
    ZeroBytes(buffer, size);
    Put32(0, size);
    Put16(4, status);
    *information = size;
  }
};

constexpr ULONG kCtlRec = sizeof(QIROTOWER_CTLREC);
constexpr ULONG kSpeedRec = sizeof(QIROTOWER_SPEEDREC);
constexpr ULONG kTimeoutsRec = sizeof(QIROTOWER_TIMEOUTSREC);
constexpr ULONG kVersionRec = sizeof(QIROTOWER_VERSION);
constexpr ULONG kCommStatsRec = sizeof(QIROTOWER_COMMSTATS);
constexpr ULONG kCapsRec = sizeof(QIROTOWER_CAPS);
constexpr ULONG kStateRec = sizeof(QIROTOWER_STATEREC);

uint16_t Reply16(const uint8_t* reply, ULONG at) {
  return static_cast<uint16_t>(reply[at] | reply[at + 1] << 8);
}

NTSTATUS Send(Control& c, uint8_t request, uint16_t value, uint16_t index, uint8_t* reply,
              ULONG length) {
  return TowerSendVendorRequest(c.device, request, value, index, reply, length, nullptr);
}

// Where a parameter's value lands in the output record.
enum class ValueAt : uint8_t { U32At8, U16At8, U16At10 };

// Set codes carried by TOWER_REQ_SET_PARM: the value byte is read at `from`.
NTSTATUS SetParm(Control& c, uint8_t id, ULONG from, ValueAt to) {
  if (!c.HasInput(kCtlRec)) return STATUS_INVALID_PARAMETER;
  uint8_t reply[kReplyParm];
  const NTSTATUS status = TowerParmRequest(c.device, TOWER_REQ_SET_PARM, id, c.U8(from), 0, reply);
  if (status != STATUS_SUCCESS) return status;
  if (!c.HasOutput(kCtlRec)) return STATUS_SUCCESS;
  c.Begin(kCtlRec, reply[2]);
  if (to == ValueAt::U32At8) c.Put32(8, reply[3]);
  if (to == ValueAt::U16At8) c.Put16(8, reply[3]);
  if (to == ValueAt::U16At10) c.Put16(10, reply[3]);
  return STATUS_SUCCESS;
}

NTSTATUS GetParm(Control& c, uint8_t id, ValueAt to) {
  if (!c.HasOutput(kCtlRec)) return STATUS_INVALID_PARAMETER;
  uint8_t reply[kReplyParm];
  const NTSTATUS status = TowerParmRequest(c.device, TOWER_REQ_GET_PARM, id, 0, 0, reply);
  if (status != STATUS_SUCCESS) return status;
  c.Begin(kCtlRec, reply[2]);
  if (to == ValueAt::U32At8) c.Put32(8, reply[3]);
  if (to == ValueAt::U16At8) c.Put16(8, reply[3]);
  if (to == ValueAt::U16At10) c.Put16(10, reply[3]);
  return STATUS_SUCCESS;
}

// SET_PARM and SET_IRC_PARM: any parameter id, value and index.
NTSTATUS SetAnyParm(Control& c, uint8_t request) {
  if (!c.HasInput(kCtlRec)) return STATUS_INVALID_PARAMETER;
  const uint8_t id = c.U8(8);
  const uint16_t index = c.U16(10);
  uint8_t reply[kReplyParm];
  const NTSTATUS status = TowerParmRequest(c.device, request, id, c.U8(9), index, reply);
  if (status != STATUS_SUCCESS) return status;
  if (!c.HasOutput(kCtlRec)) return STATUS_SUCCESS;
  c.Begin(kCtlRec, reply[2]);
  c.Put8(8, id);
  c.Put8(9, reply[3]);
  c.Put16(10, index);
  return STATUS_SUCCESS;
}

NTSTATUS GetAnyParm(Control& c, uint8_t request) {
  if (!c.HasInput(kCtlRec) || !c.HasOutput(kCtlRec)) return STATUS_INVALID_PARAMETER;
  const uint8_t id = c.U8(8);
  uint8_t reply[kReplyParm];
  const NTSTATUS status = TowerParmRequest(c.device, request, id, 0, 0, reply);
  if (status != STATUS_SUCCESS) return status;
  c.Begin(kCtlRec, reply[2]);
  c.Put8(8, id);
  c.Put8(9, reply[3]);
  return STATUS_SUCCESS;
}

// LED state: the request value is the LED id OR-ed with the state shifted left by 8.
NTSTATUS LedState(Control& c, bool set) {
  if (!c.HasInput(kCtlRec)) return STATUS_INVALID_PARAMETER;
  if (!set && !c.HasOutput(kCtlRec)) return STATUS_INVALID_PARAMETER;
  const uint16_t value = set ? static_cast<uint16_t>(c.U16(8) | c.U8(10) << 8) : c.U16(8);
  uint8_t reply[kReplyLed];
  const NTSTATUS status =
      Send(c, set ? TOWER_REQ_SET_LED : TOWER_REQ_GET_LED, value, 0, reply, sizeof(reply));
  if (status != STATUS_SUCCESS) return status;
  if (!c.HasOutput(kCtlRec)) return STATUS_SUCCESS;
  c.Begin(kCtlRec, reply[2]);
  c.Put16(8, reply[4]);
  c.Put16(10, reply[5]);
  return STATUS_SUCCESS;
}

NTSTATUS CarrierFrequency(Control& c, bool set) {
  if (set ? !c.HasInput(kCtlRec) : !c.HasOutput(kCtlRec)) return STATUS_INVALID_PARAMETER;
  const uint16_t value = set ? c.U16(8) : 0;
  uint8_t reply[kReplyCarrierFrequency];
  const NTSTATUS status =
      Send(c, set ? TOWER_REQ_SET_CARRIER_FREQUENCY : TOWER_REQ_GET_CARRIER_FREQUENCY, value, 0,
           reply, sizeof(reply));
  if (status != STATUS_SUCCESS) return status;
  if (!c.HasOutput(kCtlRec)) return STATUS_SUCCESS;
  c.Begin(kCtlRec, reply[2]);
  c.Put16(8, reply[4]);
  return STATUS_SUCCESS;
}

// The record holds the selector at 8 and the duty cycle at 10; the request
// carries them the other way round: duty cycle in the value, selector in the index.
NTSTATUS DutyCycle(Control& c, bool set) {
  if (!c.HasInput(kCtlRec)) return STATUS_INVALID_PARAMETER;
  const uint16_t selector = c.U16(8);
  const uint16_t value = c.U16(10);
  uint8_t reply[kReplyDutyCycle];
  const NTSTATUS status =
      Send(c, set ? TOWER_REQ_SET_CARRIER_DUTY_CYCLE : TOWER_REQ_GET_CARRIER_DUTY_CYCLE, value,
           selector, reply, sizeof(reply));
  if (status != STATUS_SUCCESS) return status;
  if (!c.HasOutput(kCtlRec)) return STATUS_SUCCESS;
  c.Begin(kCtlRec, reply[2]);
  c.Put16(8, reply[4]);
  c.Put16(10, Reply16(reply, 6));
  return STATUS_SUCCESS;
}

NTSTATUS Flush(Control& c) {
  if (!c.HasInput(kCtlRec)) return STATUS_INVALID_PARAMETER;
  // Only the receive bit does anything in the driver.
  if ((c.U16(8) & TOWER_FLUSH_RX) != 0) {
    TowerDevice* device = c.device;
    const plat::Irql irql = plat::SpinLockAcquire(&device->StateLock);
    if (device->ReadBuffer != nullptr) RingClear(device->ReadBuffer);
    plat::SpinLockRelease(&device->StateLock, irql);
  }
  if (c.HasOutput(kCtlRec)) {
    c.Put16(4, 0);  // the rest of the record comes back as the caller wrote it
    *c.information = kCtlRec;
  }
  return STATUS_SUCCESS;
}

NTSTATUS SetTimeouts(Control& c) {
  if (!c.HasInput(kTimeoutsRec)) return STATUS_INVALID_PARAMETER;
  TowerDevice* device = c.device;
  const ULONG write = c.U32(12);
  const ULONG first = c.U32(16);
  const ULONG later = c.U32(20);
  const plat::Irql irql = plat::SpinLockAcquire(&device->StateLock);
  device->Timeout_Read_1st = first;
  device->Timeout_Read_ic = later;
  device->Timeout_Write = write;
  plat::SpinLockRelease(&device->StateLock, irql);
  if (c.HasOutput(kTimeoutsRec)) {
    c.Put16(4, 0);
    *c.information = kTimeoutsRec;
  }
  return STATUS_SUCCESS;
}

NTSTATUS GetTimeouts(Control& c) {
  if (!c.HasOutput(kTimeoutsRec)) return STATUS_INVALID_PARAMETER;
  TowerDevice* device = c.device;
  const plat::Irql irql = plat::SpinLockAcquire(&device->StateLock);
  const ULONG write = device->Timeout_Write;
  const ULONG first = device->Timeout_Read_1st;
  const ULONG later = device->Timeout_Read_ic;
  plat::SpinLockRelease(&device->StateLock, irql);
  c.Begin(kTimeoutsRec, 0);
  c.Put32(12, write);
  c.Put32(16, first);
  c.Put32(20, later);
  return STATUS_SUCCESS;
}

NTSTATUS GetState(Control& c) {
  if (!c.HasOutput(kStateRec)) return STATUS_INVALID_PARAMETER;
  c.Begin(kStateRec, 0);
  c.Put16(6, TowerStateWord(c.device));
  return STATUS_SUCCESS;
}

// Transmit then receive speed. The receive request goes out even when the
// transmit reply carries a nonzero status; the larger status wins.
NTSTATUS IrSpeed(Control& c, bool set) {
  if (set ? !c.HasInput(kSpeedRec) : !c.HasOutput(kSpeedRec)) return STATUS_INVALID_PARAMETER;
  const uint16_t tx = set ? c.U16(8) : 0;
  const uint16_t rx = set ? c.U16(10) : 0;
  uint8_t first[kReplySpeed];
  NTSTATUS status =
      Send(c, set ? TOWER_REQ_SET_TX_SPEED : TOWER_REQ_GET_TX_SPEED, tx, 0, first, sizeof(first));
  if (status != STATUS_SUCCESS) return status;
  uint8_t second[kReplySpeed];
  status =
      Send(c, set ? TOWER_REQ_SET_RX_SPEED : TOWER_REQ_GET_RX_SPEED, rx, 0, second, sizeof(second));
  if (status != STATUS_SUCCESS) return status;
  if (!c.HasOutput(kSpeedRec)) return STATUS_SUCCESS;
  c.Begin(kSpeedRec, first[2] > second[2] ? first[2] : second[2]);
  c.Put16(8, Reply16(first, 4));
  c.Put16(10, Reply16(second, 4));
  return STATUS_SUCCESS;
}

// RESET, RESET_COMM_STATS and GET_COMM_STATS reach the tower with or without a buffer.
NTSTATUS Reset(Control& c) {
  uint8_t reply[kReplyParm];
  const NTSTATUS status = Send(c, TOWER_REQ_RESET, 0, 0, reply, sizeof(reply));
  if (status != STATUS_SUCCESS) return status;
  if (c.HasOutput(kCtlRec)) c.Begin(kCtlRec, reply[2]);
  return STATUS_SUCCESS;
}

NTSTATUS CommStats(Control& c, bool reset) {
  uint8_t reply[kReplyCommStats];
  const NTSTATUS status = reset ? Send(c, TOWER_REQ_RESET_COMM_STATS, 0, 0, reply, kReplyParm)
                                : Send(c, TOWER_REQ_GET_COMM_STATS, 0, 0, reply, kReplyCommStats);
  if (status != STATUS_SUCCESS) return status;
  if (!c.HasOutput(kCommStatsRec)) return STATUS_SUCCESS;
  c.Begin(kCommStatsRec, reply[2]);
  if (!reset)
    for (ULONG i = 0; i < 4; ++i) c.Put32(8 + 4 * i, Reply16(reply, 4 + 2 * i));
  return STATUS_SUCCESS;
}

NTSTATUS Caps(Control& c) {
  if (!c.HasInput(kCapsRec) || !c.HasOutput(kCapsRec)) return STATUS_INVALID_PARAMETER;
  const uint16_t selector = c.U16(8);
  uint8_t reply[kReplyCaps];
  const NTSTATUS status = Send(c, TOWER_REQ_GET_CAPS, selector, 0, reply, sizeof(reply));
  if (status != STATUS_SUCCESS) return status;
  c.Begin(kCapsRec, reply[2]);
  c.Put16(8, selector);
  c.Put8(10, reply[4]);
  c.Put8(11, reply[5]);
  c.Put16(12, Reply16(reply, 6));
  c.Put16(14, Reply16(reply, 8));
  c.Put16(16, reply[10]);
  c.Put16(18, reply[11]);
  c.Put16(20, Reply16(reply, 12));
  c.Put16(22, Reply16(reply, 14));
  return STATUS_SUCCESS;
}

// The record is built even when the answer makes the request fail; a failed
// request then hands nothing to the caller.
NTSTATUS Version(Control& c) {
  if (!c.HasOutput(kVersionRec)) return STATUS_INVALID_PARAMETER;
  uint8_t reply[kReplyVersion];
  const NTSTATUS status = Send(c, TOWER_REQ_GET_VERSION, 0, 0, reply, sizeof(reply));
  if (status != STATUS_SUCCESS) return status;
  NTSTATUS result = STATUS_SUCCESS;
  if (reply[2] != 0)
    result = STATUS_UNSUCCESSFUL;
  else if (Reply16(reply, 0) > kReplyVersion)
    result = STATUS_BUFFER_TOO_SMALL;
  ZeroBytes(c.buffer, kVersionRec);
  c.Put8(8, kDriverMajor);
  c.Put8(9, kDriverMinor);
  c.Put16(10, kDriverBuild);
  c.Put8(12, reply[4]);
  c.Put8(13, reply[5]);
  c.Put16(14, Reply16(reply, 6));
  *c.information = kVersionRec;
  return result;
}

// Copyright and credits: UTF-16LE text after the reply header, followed by a
// 16-bit terminator, cut to the output length.
NTSTATUS Text(Control& c, uint8_t request) {
  if (c.buffer == nullptr) return STATUS_INVALID_PARAMETER;
  // The reply length n + 4 must fit the setup packet's 16-bit length.
  const ULONG n = (c.out & 0xFFFF) > 0xFFFB ? 0xFFFB : (c.out & 0xFFFF);
  auto* scratch = static_cast<uint8_t*>(plat::PoolAlloc(n + 14, kPoolTag));
  if (scratch == nullptr) return STATUS_NO_MEMORY;
  ULONG received = 0;
  const NTSTATUS status =
      TowerSendVendorRequest(c.device, request, 0, 0, scratch, n + kReplyTextHeader, &received);
  if (status != STATUS_SUCCESS && status != STATUS_TIMEOUT) {
    plat::PoolFree(scratch);
    return status;
  }
  NTSTATUS result = status;
  if (scratch[2] != 0)
    result = STATUS_UNSUCCESSFUL;
  else if (Reply16(scratch, 0) > n + kReplyTextHeader)
    result = STATUS_BUFFER_TOO_SMALL;
  if (received > n + kReplyTextHeader) received = n + kReplyTextHeader;
  const ULONG text = received > kReplyTextHeader ? received - kReplyTextHeader : 0;
  scratch[kReplyTextHeader + text] = 0;
  scratch[kReplyTextHeader + text + 1] = 0;
  const ULONG copy = text + 2 < n ? text + 2 : n;
  CopyBytes(c.buffer, scratch + kReplyTextHeader, copy);
  *c.information = copy;
  plat::PoolFree(scratch);
  return result;
}

NTSTATUS Restart(Control& c) {
  TowerDevice* device = c.device;
  SetFlag(&device->Started, false);
  // The tower leaves the bus and comes back as a new device; the removal of
  // this one follows. A port cycle that could not even be asked for is a
  // failure, so the caller does not take the tower for restarting.
  return plat::CyclePort(device->Lower);
}

}  // namespace

NTSTATUS TowerDeviceControl(TowerDevice* device, plat::Request* request, ULONG* information) {
  *information = 0;
  Control c{device, static_cast<uint8_t*>(plat::RequestSystemBuffer(request)),
            plat::RequestInputLength(request), plat::RequestOutputLength(request), information};
  const ULONG code = plat::RequestIoctlCode(request);
  // The state is the one thing a tower that is not ready still answers.
  if (code == IOCTL_TOWER_GET_STATE) return GetState(c);
  if (!TowerIsReady(device)) return STATUS_DEVICE_NOT_READY;

  switch (code) {
    case IOCTL_TOWER_SET_RANGE:
      return SetParm(c, TOWER_PARM_RANGE, 8, ValueAt::U32At8);
    case IOCTL_TOWER_GET_RANGE:
      return GetParm(c, TOWER_PARM_RANGE, ValueAt::U32At8);
    case IOCTL_TOWER_SET_LINK_MODE:
      return SetParm(c, TOWER_PARM_LINK_MODE, 8, ValueAt::U32At8);
    case IOCTL_TOWER_GET_LINK_MODE:
      return GetParm(c, TOWER_PARM_LINK_MODE, ValueAt::U32At8);
    case IOCTL_TOWER_SET_ENDIANNESS:
      // The one value the driver itself checks.
      if (!c.HasInput(kCtlRec) || (c.U16(8) != TOWER_ENDIAN_LITTLE && c.U16(8) != TOWER_ENDIAN_BIG))
        return STATUS_INVALID_PARAMETER;
      return SetParm(c, TOWER_PARM_ENDIANNESS, 8, ValueAt::U16At8);
    case IOCTL_TOWER_GET_ENDIANNESS:
      return GetParm(c, TOWER_PARM_ENDIANNESS, ValueAt::U16At8);
    case IOCTL_TOWER_GET_ERROR_STATE:
      return GetParm(c, TOWER_PARM_ERROR_STATE, ValueAt::U16At8);
    case IOCTL_TOWER_SET_LED_MODE:
      return SetParm(c, TOWER_PARM_LED_MODE, 10, ValueAt::U16At10);
    case IOCTL_TOWER_GET_LED_MODE:
      return GetParm(c, TOWER_PARM_LED_MODE, ValueAt::U16At10);
    case IOCTL_TOWER_SET_LED_STATE:
      return LedState(c, true);
    case IOCTL_TOWER_GET_LED_STATE:
      return LedState(c, false);
    case IOCTL_TOWER_GET_CAPS:
      return Caps(c);
    case IOCTL_TOWER_GET_VERSION:
      return Version(c);
    case IOCTL_TOWER_FLUSH:
      return Flush(c);
    case IOCTL_TOWER_SET_TIMEOUTS:
      return SetTimeouts(c);
    case IOCTL_TOWER_GET_TIMEOUTS:
      return GetTimeouts(c);
    case IOCTL_TOWER_RESET:
      return Reset(c);
    case IOCTL_TOWER_GET_COPYRIGHT:
      return Text(c, TOWER_REQ_GET_COPYRIGHT);
    case IOCTL_TOWER_GET_CREDITS:
      return Text(c, TOWER_REQ_GET_CREDITS);
    case IOCTL_TOWER_SET_IR_SPEED:
      return IrSpeed(c, true);
    case IOCTL_TOWER_GET_IR_SPEED:
      return IrSpeed(c, false);
    case IOCTL_TOWER_RESET_COMM_STATS:
      return CommStats(c, true);
    case IOCTL_TOWER_GET_COMM_STATS:
      return CommStats(c, false);
    case IOCTL_TOWER_SET_CARRIER_FREQUENCY:
      return CarrierFrequency(c, true);
    case IOCTL_TOWER_GET_CARRIER_FREQUENCY:
      return CarrierFrequency(c, false);
    case IOCTL_TOWER_SET_CARRIER_DUTY_CYCLE:
      return DutyCycle(c, true);
    case IOCTL_TOWER_GET_CARRIER_DUTY_CYCLE:
      return DutyCycle(c, false);
    case IOCTL_TOWER_SET_PARM:
      return SetAnyParm(c, TOWER_REQ_SET_PARM);
    case IOCTL_TOWER_GET_PARM:
      return GetAnyParm(c, TOWER_REQ_GET_PARM);
    case IOCTL_TOWER_SET_IRC_PARM:
      return SetAnyParm(c, TOWER_REQ_SET_IRC_PARM);
    case IOCTL_TOWER_GET_IRC_PARM:
      return GetAnyParm(c, TOWER_REQ_GET_IRC_PARM);
    case IOCTL_TOWER_RESTART:
      return Restart(c);
    default:
      // Unassigned functions and unknown codes alike.
      return STATUS_INVALID_PARAMETER;
  }
}

}  // namespace tower
