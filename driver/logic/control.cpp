// Device control: one handler per control code. Each checks its inputs,
// sends its vendor request(s), and builds its output record in the shared
// system buffer.
#include "device.h"
#include "tower/ioctl.h"
#include "tower/replies.h"
#include "tower/values.h"

namespace tower {

namespace {

// One device-control request as the handlers see it. The records are read
// and written by field name; their layouts are checked where they are
// declared. Inputs are read before the output record is begun, since both
// share the one system buffer.
struct Control {
  TowerDevice* device;
  uint8_t* buffer;  // the system buffer: input first, then output; may be null
  ULONG in;
  ULONG out;
  ULONG* information;

  bool HasInput(ULONG size) const { return buffer != nullptr && in >= size; }
  bool HasOutput(ULONG size) const { return buffer != nullptr && out >= size; }
  template <typename Record>
  Record* As() const {
    return reinterpret_cast<Record*>(buffer);
  }
  QIROTOWER_CTLREC* Ctl() const { return As<QIROTOWER_CTLREC>(); }
  // Zeroes the output record, writes its header (every record with one
  // starts with Size and Status) and reports its size.
  template <typename Record>
  Record* Begin(uint8_t status) {
    ZeroBytes(buffer, sizeof(Record));
    Record* record = As<Record>();
    record->Size = sizeof(Record);
    record->Status = status;
    *information = sizeof(Record);
    return record;
  }
};

constexpr ULONG kCtlRec = sizeof(QIROTOWER_CTLREC);
constexpr ULONG kSpeedRec = sizeof(QIROTOWER_SPEEDREC);
constexpr ULONG kTimeoutsRec = sizeof(QIROTOWER_TIMEOUTSREC);
constexpr ULONG kVersionRec = sizeof(QIROTOWER_VERSION);
constexpr ULONG kCommStatsRec = sizeof(QIROTOWER_COMMSTATS);
constexpr ULONG kCapsRec = sizeof(QIROTOWER_CAPS);
constexpr ULONG kStateRec = sizeof(QIROTOWER_STATEREC);

template <typename Reply>
NTSTATUS Send(Control& c, uint8_t request, uint16_t value, uint16_t index, Reply* reply) {
  return TowerSendVendorRequest(c.device, request, value, index, reply, sizeof(*reply), nullptr);
}

// Where a parameter's value lands in the output record.
enum class ValueAt : uint8_t { Value, Word, LedMode };

void PutParm(QIROTOWER_CTLREC* record, ValueAt to, uint8_t value) {
  if (to == ValueAt::Value) record->Value = value;
  if (to == ValueAt::Word) record->Word.Value = value;
  if (to == ValueAt::LedMode) record->LedMode.Mode = value;
}

// Set codes carried by TOWER_REQ_SET_PARM: `value` was read from the input.
NTSTATUS SetParm(Control& c, uint8_t id, uint8_t value, ValueAt to) {
  TOWER_REPLY_PARM reply;
  const NTSTATUS status = TowerParmRequest(c.device, TOWER_REQ_SET_PARM, id, value, 0, &reply);
  if (status != STATUS_SUCCESS) return status;
  if (!c.HasOutput(kCtlRec)) return STATUS_SUCCESS;
  PutParm(c.Begin<QIROTOWER_CTLREC>(reply.Status), to, reply.Value);
  return STATUS_SUCCESS;
}

NTSTATUS GetParm(Control& c, uint8_t id, ValueAt to) {
  if (!c.HasOutput(kCtlRec)) return STATUS_INVALID_PARAMETER;
  TOWER_REPLY_PARM reply;
  const NTSTATUS status = TowerParmRequest(c.device, TOWER_REQ_GET_PARM, id, 0, 0, &reply);
  if (status != STATUS_SUCCESS) return status;
  PutParm(c.Begin<QIROTOWER_CTLREC>(reply.Status), to, reply.Value);
  return STATUS_SUCCESS;
}

// SET_PARM and SET_IRC_PARM: any parameter id, value and index.
NTSTATUS SetAnyParm(Control& c, uint8_t request) {
  if (!c.HasInput(kCtlRec)) return STATUS_INVALID_PARAMETER;
  const uint8_t id = c.Ctl()->Parm.Id;
  const uint8_t value = c.Ctl()->Parm.Value;
  const uint16_t index = c.Ctl()->Parm.Index;
  TOWER_REPLY_PARM reply;
  const NTSTATUS status = TowerParmRequest(c.device, request, id, value, index, &reply);
  if (status != STATUS_SUCCESS) return status;
  if (!c.HasOutput(kCtlRec)) return STATUS_SUCCESS;
  QIROTOWER_CTLREC* out = c.Begin<QIROTOWER_CTLREC>(reply.Status);
  out->Parm.Id = id;
  out->Parm.Value = reply.Value;
  out->Parm.Index = index;
  return STATUS_SUCCESS;
}

NTSTATUS GetAnyParm(Control& c, uint8_t request) {
  if (!c.HasInput(kCtlRec) || !c.HasOutput(kCtlRec)) return STATUS_INVALID_PARAMETER;
  const uint8_t id = c.Ctl()->Parm.Id;
  TOWER_REPLY_PARM reply;
  const NTSTATUS status = TowerParmRequest(c.device, request, id, 0, 0, &reply);
  if (status != STATUS_SUCCESS) return status;
  QIROTOWER_CTLREC* out = c.Begin<QIROTOWER_CTLREC>(reply.Status);
  out->Parm.Id = id;
  out->Parm.Value = reply.Value;
  return STATUS_SUCCESS;
}

// LED state: the request value is the LED id OR-ed with the state shifted left by 8.
NTSTATUS LedState(Control& c, bool set) {
  if (!c.HasInput(kCtlRec)) return STATUS_INVALID_PARAMETER;
  if (!set && !c.HasOutput(kCtlRec)) return STATUS_INVALID_PARAMETER;
  const uint16_t led = c.Ctl()->LedState.Led;
  const uint8_t state = static_cast<uint8_t>(c.Ctl()->LedState.State);
  const uint16_t value = set ? static_cast<uint16_t>(led | state << 8) : led;
  TOWER_REPLY_LED reply;
  const NTSTATUS status = Send(c, set ? TOWER_REQ_SET_LED : TOWER_REQ_GET_LED, value, 0, &reply);
  if (status != STATUS_SUCCESS) return status;
  if (!c.HasOutput(kCtlRec)) return STATUS_SUCCESS;
  QIROTOWER_CTLREC* out = c.Begin<QIROTOWER_CTLREC>(reply.Header.Status);
  out->LedState.Led = reply.Led;
  out->LedState.State = reply.State;
  return STATUS_SUCCESS;
}

NTSTATUS CarrierFrequency(Control& c, bool set) {
  if (set ? !c.HasInput(kCtlRec) : !c.HasOutput(kCtlRec)) return STATUS_INVALID_PARAMETER;
  const uint16_t value = set ? c.Ctl()->Carrier.Frequency : 0;
  TOWER_REPLY_CARRIER_FREQUENCY reply;
  const NTSTATUS status = Send(
      c, set ? TOWER_REQ_SET_CARRIER_FREQUENCY : TOWER_REQ_GET_CARRIER_FREQUENCY, value, 0, &reply);
  if (status != STATUS_SUCCESS) return status;
  if (!c.HasOutput(kCtlRec)) return STATUS_SUCCESS;
  c.Begin<QIROTOWER_CTLREC>(reply.Header.Status)->Carrier.Frequency = reply.Frequency;
  return STATUS_SUCCESS;
}

// The record holds the selector before the duty cycle; the request carries
// them the other way round: duty cycle in the value, selector in the index.
NTSTATUS DutyCycle(Control& c, bool set) {
  if (!c.HasInput(kCtlRec)) return STATUS_INVALID_PARAMETER;
  const uint16_t selector = c.Ctl()->Duty.Selector;
  const uint16_t value = c.Ctl()->Duty.DutyCycle;
  TOWER_REPLY_DUTY_CYCLE reply;
  const NTSTATUS status =
      Send(c, set ? TOWER_REQ_SET_CARRIER_DUTY_CYCLE : TOWER_REQ_GET_CARRIER_DUTY_CYCLE, value,
           selector, &reply);
  if (status != STATUS_SUCCESS) return status;
  if (!c.HasOutput(kCtlRec)) return STATUS_SUCCESS;
  QIROTOWER_CTLREC* out = c.Begin<QIROTOWER_CTLREC>(reply.Header.Status);
  out->Duty.Selector = reply.Selector;
  out->Duty.DutyCycle = reply.DutyCycle;
  return STATUS_SUCCESS;
}

NTSTATUS Flush(Control& c) {
  if (!c.HasInput(kCtlRec)) return STATUS_INVALID_PARAMETER;
  // Only the receive bit does anything in the driver.
  if ((c.Ctl()->Flush.Flags & TOWER_FLUSH_RX) != 0) {
    TowerDevice* device = c.device;
    const plat::Irql irql = plat::SpinLockAcquire(&device->StateLock);
    if (device->ReadBuffer != nullptr) RingClear(device->ReadBuffer);
    plat::SpinLockRelease(&device->StateLock, irql);
  }
  if (c.HasOutput(kCtlRec)) {
    c.Ctl()->Status = 0;  // the rest of the record comes back as the caller wrote it
    *c.information = kCtlRec;
  }
  return STATUS_SUCCESS;
}

NTSTATUS SetTimeouts(Control& c) {
  if (!c.HasInput(kTimeoutsRec)) return STATUS_INVALID_PARAMETER;
  TowerDevice* device = c.device;
  const QIROTOWER_TIMEOUTSREC* in = c.As<QIROTOWER_TIMEOUTSREC>();
  const ULONG write = in->Timeout_Write;
  const ULONG first = in->Timeout_Read_1st;
  const ULONG later = in->Timeout_Read_ic;
  const plat::Irql irql = plat::SpinLockAcquire(&device->StateLock);
  device->Timeout_Read_1st = first;
  device->Timeout_Read_ic = later;
  device->Timeout_Write = write;
  plat::SpinLockRelease(&device->StateLock, irql);
  if (c.HasOutput(kTimeoutsRec)) {
    c.As<QIROTOWER_TIMEOUTSREC>()->Status = 0;
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
  QIROTOWER_TIMEOUTSREC* out = c.Begin<QIROTOWER_TIMEOUTSREC>(0);
  out->Timeout_Write = write;
  out->Timeout_Read_1st = first;
  out->Timeout_Read_ic = later;
  return STATUS_SUCCESS;
}

NTSTATUS GetState(Control& c) {
  if (!c.HasOutput(kStateRec)) return STATUS_INVALID_PARAMETER;
  c.Begin<QIROTOWER_STATEREC>(0)->State = TowerStateWord(c.device);
  return STATUS_SUCCESS;
}

// Transmit then receive speed. The receive request goes out even when the
// transmit reply carries a nonzero status; the larger status wins.
NTSTATUS IrSpeed(Control& c, bool set) {
  if (set ? !c.HasInput(kSpeedRec) : !c.HasOutput(kSpeedRec)) return STATUS_INVALID_PARAMETER;
  const uint16_t tx = set ? c.As<QIROTOWER_SPEEDREC>()->TxSpeed : 0;
  const uint16_t rx = set ? c.As<QIROTOWER_SPEEDREC>()->RxSpeed : 0;
  TOWER_REPLY_SPEED first;
  NTSTATUS status = Send(c, set ? TOWER_REQ_SET_TX_SPEED : TOWER_REQ_GET_TX_SPEED, tx, 0, &first);
  if (status != STATUS_SUCCESS) return status;
  TOWER_REPLY_SPEED second;
  status = Send(c, set ? TOWER_REQ_SET_RX_SPEED : TOWER_REQ_GET_RX_SPEED, rx, 0, &second);
  if (status != STATUS_SUCCESS) return status;
  if (!c.HasOutput(kSpeedRec)) return STATUS_SUCCESS;
  const uint8_t worse =
      first.Header.Status > second.Header.Status ? first.Header.Status : second.Header.Status;
  QIROTOWER_SPEEDREC* out = c.Begin<QIROTOWER_SPEEDREC>(worse);
  out->TxSpeed = first.Speed;
  out->RxSpeed = second.Speed;
  return STATUS_SUCCESS;
}

// RESET, RESET_COMM_STATS and GET_COMM_STATS reach the tower with or without a buffer.
NTSTATUS Reset(Control& c) {
  TOWER_REPLY_PARM reply;
  const NTSTATUS status = Send(c, TOWER_REQ_RESET, 0, 0, &reply);
  if (status != STATUS_SUCCESS) return status;
  if (c.HasOutput(kCtlRec)) c.Begin<QIROTOWER_CTLREC>(reply.Status);
  return STATUS_SUCCESS;
}

NTSTATUS CommStats(Control& c, bool reset) {
  TOWER_REPLY_COMM_STATS reply;
  // The reset's reply is a header only.
  const NTSTATUS status = reset ? TowerSendVendorRequest(c.device, TOWER_REQ_RESET_COMM_STATS, 0, 0,
                                                         &reply, sizeof(TOWER_REPLY_PARM), nullptr)
                                : Send(c, TOWER_REQ_GET_COMM_STATS, 0, 0, &reply);
  if (status != STATUS_SUCCESS) return status;
  if (!c.HasOutput(kCommStatsRec)) return STATUS_SUCCESS;
  QIROTOWER_COMMSTATS* out = c.Begin<QIROTOWER_COMMSTATS>(reply.Header.Status);
  if (!reset) {
    out->Counter1 = reply.Counters[0];
    out->Counter2 = reply.Counters[1];
    out->Counter3 = reply.Counters[2];
    out->Counter4 = reply.Counters[3];
  }
  return STATUS_SUCCESS;
}

NTSTATUS Caps(Control& c) {
  if (!c.HasInput(kCapsRec) || !c.HasOutput(kCapsRec)) return STATUS_INVALID_PARAMETER;
  const uint16_t selector = c.As<QIROTOWER_CAPS>()->Selector;
  TOWER_REPLY_CAPS reply;
  const NTSTATUS status = Send(c, TOWER_REQ_GET_CAPS, selector, 0, &reply);
  if (status != STATUS_SUCCESS) return status;
  QIROTOWER_CAPS* out = c.Begin<QIROTOWER_CAPS>(reply.Header.Status);
  out->Selector = selector;
  out->Reply4 = reply.Byte4;
  out->Reply5 = reply.Byte5;
  out->Reply6 = reply.Word6;
  out->Reply8 = reply.Word8;
  out->Reply10 = reply.Byte10;
  out->Reply11 = reply.Byte11;
  out->Reply12 = reply.Word12;
  out->Reply14 = reply.Word14;
  return STATUS_SUCCESS;
}

// The record is built even when the answer makes the request fail; a failed
// request then hands nothing to the caller.
NTSTATUS Version(Control& c) {
  if (!c.HasOutput(kVersionRec)) return STATUS_INVALID_PARAMETER;
  TOWER_REPLY_VERSION reply;
  const NTSTATUS status = Send(c, TOWER_REQ_GET_VERSION, 0, 0, &reply);
  if (status != STATUS_SUCCESS) return status;
  NTSTATUS result = STATUS_SUCCESS;
  if (reply.Header.Status != 0)
    result = STATUS_UNSUCCESSFUL;
  else if (reply.Header.Length > sizeof(reply))
    result = STATUS_BUFFER_TOO_SMALL;
  ZeroBytes(c.buffer, kVersionRec);
  QIROTOWER_VERSION* out = c.As<QIROTOWER_VERSION>();
  out->DriverMajor = kDriverMajor;
  out->DriverMinor = kDriverMinor;
  out->DriverBuild = kDriverBuild;
  out->FirmwareMajor = reply.Major;
  out->FirmwareMinor = reply.Minor;
  out->FirmwareBuild = reply.Build;
  *c.information = kVersionRec;
  return result;
}

// Copyright and credits: UTF-16LE text after the reply header, followed by a
// 16-bit terminator, cut to the output length.
NTSTATUS Text(Control& c, uint8_t request) {
  if (c.buffer == nullptr) return STATUS_INVALID_PARAMETER;
  constexpr ULONG kHeader = sizeof(TOWER_REPLY);
  // The reply length n + 4 must fit the setup packet's 16-bit length.
  const ULONG n = (c.out & 0xFFFF) > 0xFFFB ? 0xFFFB : (c.out & 0xFFFF);
  auto* scratch = static_cast<uint8_t*>(plat::PoolAlloc(n + 14, kPoolTag));
  if (scratch == nullptr) return STATUS_NO_MEMORY;
  ULONG received = 0;
  const NTSTATUS status =
      TowerSendVendorRequest(c.device, request, 0, 0, scratch, n + kHeader, &received);
  if (status != STATUS_SUCCESS && status != STATUS_TIMEOUT) {
    plat::PoolFree(scratch);
    return status;
  }
  const auto* header = reinterpret_cast<const TOWER_REPLY*>(scratch);
  NTSTATUS result = status;
  if (header->Status != 0)
    result = STATUS_UNSUCCESSFUL;
  else if (header->Length > n + kHeader)
    result = STATUS_BUFFER_TOO_SMALL;
  if (received > n + kHeader) received = n + kHeader;
  const ULONG text = received > kHeader ? received - kHeader : 0;
  scratch[kHeader + text] = 0;
  scratch[kHeader + text + 1] = 0;
  const ULONG copy = text + 2 < n ? text + 2 : n;
  CopyBytes(c.buffer, scratch + kHeader, copy);
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
      if (!c.HasInput(kCtlRec)) return STATUS_INVALID_PARAMETER;
      return SetParm(c, TOWER_PARM_RANGE, c.Ctl()->Payload[0], ValueAt::Value);
    case IOCTL_TOWER_GET_RANGE:
      return GetParm(c, TOWER_PARM_RANGE, ValueAt::Value);
    case IOCTL_TOWER_SET_LINK_MODE:
      if (!c.HasInput(kCtlRec)) return STATUS_INVALID_PARAMETER;
      return SetParm(c, TOWER_PARM_LINK_MODE, c.Ctl()->Payload[0], ValueAt::Value);
    case IOCTL_TOWER_GET_LINK_MODE:
      return GetParm(c, TOWER_PARM_LINK_MODE, ValueAt::Value);
    case IOCTL_TOWER_SET_ENDIANNESS:
      // The one value the driver itself checks.
      if (!c.HasInput(kCtlRec) ||
          (c.Ctl()->Word.Value != TOWER_ENDIAN_LITTLE && c.Ctl()->Word.Value != TOWER_ENDIAN_BIG))
        return STATUS_INVALID_PARAMETER;
      return SetParm(c, TOWER_PARM_ENDIANNESS, static_cast<uint8_t>(c.Ctl()->Word.Value),
                     ValueAt::Word);
    case IOCTL_TOWER_GET_ENDIANNESS:
      return GetParm(c, TOWER_PARM_ENDIANNESS, ValueAt::Word);
    case IOCTL_TOWER_GET_ERROR_STATE:
      return GetParm(c, TOWER_PARM_ERROR_STATE, ValueAt::Word);
    case IOCTL_TOWER_SET_LED_MODE:
      if (!c.HasInput(kCtlRec)) return STATUS_INVALID_PARAMETER;
      return SetParm(c, TOWER_PARM_LED_MODE, static_cast<uint8_t>(c.Ctl()->LedMode.Mode),
                     ValueAt::LedMode);
    case IOCTL_TOWER_GET_LED_MODE:
      return GetParm(c, TOWER_PARM_LED_MODE, ValueAt::LedMode);
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
