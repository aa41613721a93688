// Control and status functions: each checks its arguments in its own order,
// builds the driver's record, makes one synchronous device-control call and
// turns the answer into its result, its outputs and the last error.
#include <cstdlib>
#include <cstring>

#include "internal.h"
#include "tower/values.h"

namespace {

bool IsInvalid(HANDLE tower) { return tower == INVALID_HANDLE_VALUE; }

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The records are filled and read by field name; each control code has its
// own view of a QIROTOWER_CTLREC's payload (tower/ioctl.h).
QIROTOWER_CTLREC NewRecord() {
  QIROTOWER_CTLREC rec;
  std::memset(&rec, 0, sizeof(rec));
  rec.Size = sizeof(rec);
  return rec;
}

QIROTOWER_CTLREC ZeroRecord() {
  QIROTOWER_CTLREC rec;
  std::memset(&rec, 0, sizeof(rec));
  return rec;
}

// A tower that carried out the request but answered with a nonzero status
// byte fails the call with 0xE2000000 | status.
BOOL TowerStatus(uint16_t status) {
  if (status != 0) return Fail(QIROTowerGetWin32Error(status));
  return TRUE;
}

BOOL Control(HANDLE tower, DWORD code, void* in, DWORD inLength, void* out, DWORD outLength,
             DWORD* returned = nullptr) {
  DWORD bytes = 0;
  const BOOL ok = DeviceIoControl(tower, code, in, inLength, out, outLength, &bytes, nullptr);
  if (returned != nullptr) *returned = bytes;
  return ok;
}

// The pattern of every set function once its checks have passed: the record
// goes in and comes back, and its status byte decides. The byte count is
// not examined, so a tower that did not answer still succeeds.
BOOL SetRecord(HANDLE tower, DWORD code, QIROTOWER_CTLREC& rec) {
  if (!Control(tower, code, &rec, sizeof(rec), &rec, sizeof(rec))) return FALSE;
  return TowerStatus(rec.Status);
}

// The pattern of a get function with no input: the zeroed record comes back.
BOOL GetRecord(HANDLE tower, DWORD code, QIROTOWER_CTLREC& rec) {
  rec = ZeroRecord();
  if (!Control(tower, code, nullptr, 0, &rec, sizeof(rec))) return FALSE;
  return TowerStatus(rec.Status);
}

// A get function whose record carries an input (an id or a selector).
BOOL QueryRecord(HANDLE tower, DWORD code, QIROTOWER_CTLREC& rec) {
  if (!Control(tower, code, &rec, sizeof(rec), &rec, sizeof(rec))) return FALSE;
  return TowerStatus(rec.Status);
}

// The text replies: UTF-16 from the tower, the caller's multibyte text out.
BOOL GetText(HANDLE tower, DWORD code, char* buffer, DWORD size) {
  if (IsInvalid(tower)) return Fail(ERROR_INVALID_HANDLE);
  if (buffer == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::memset(buffer, 0, size);
  // Twice the size as a 16-bit number: sizes up to 32,767 are served whole.
  const auto wideBytes = static_cast<uint16_t>(2u * size);
  auto* wide = static_cast<uint16_t*>(std::malloc(wideBytes + sizeof(uint16_t)));
  if (wide == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  DWORD returned = 0;
  const BOOL ok = Control(tower, code, nullptr, 0, wide, wideBytes, &returned);
  if (ok && size > 0) {
    // The reply may fill the buffer without a terminator.
    size_t units = returned / sizeof(uint16_t);
    if (units > wideBytes / sizeof(uint16_t)) units = wideBytes / sizeof(uint16_t);
    wide[units] = 0;
    if (!tavrix::WideToText(wide, units, buffer, size)) {
      std::free(wide);
      return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
  }
  std::free(wide);
  return ok;
}

}  // namespace

extern "C" {

// ---- set functions ----------------------------------------------------------------

BOOL WINAPI QIROTowerSetRange(HANDLE tower, WORD range) {
  // The value is checked before the handle.
  if (range < tower::TOWER_RANGE_SHORT || range > tower::TOWER_RANGE_LONG)
    return Fail(ERROR_INVALID_PARAMETER);
  if (IsInvalid(tower)) return Fail(ERROR_INVALID_HANDLE);
  QIROTOWER_CTLREC rec = NewRecord();
  rec.Value = range;
  return SetRecord(tower, IOCTL_TOWER_SET_RANGE, rec);
}

BOOL WINAPI QIROTowerSetLinkMode(HANDLE tower, WORD mode) {
  // 3 is not a link mode the tower names, but the library lets it through.
  if (mode < tower::TOWER_LINK_VLL || mode > tower::TOWER_LINK_IRC)
    return Fail(ERROR_INVALID_PARAMETER);
  if (IsInvalid(tower)) return Fail(ERROR_INVALID_HANDLE);
  QIROTOWER_CTLREC rec = NewRecord();
  rec.Value = mode;
  return SetRecord(tower, IOCTL_TOWER_SET_LINK_MODE, rec);
}

BOOL WINAPI QIROTowerSetEndianness(HANDLE tower, WORD value) {
  if (value != tower::TOWER_ENDIAN_LITTLE && value != tower::TOWER_ENDIAN_BIG)
    return Fail(ERROR_INVALID_PARAMETER);
  if (IsInvalid(tower)) return Fail(ERROR_INVALID_HANDLE);
  QIROTOWER_CTLREC rec = NewRecord();
  rec.Word.Value = value;
  return SetRecord(tower, IOCTL_TOWER_SET_ENDIANNESS, rec);
}

BOOL WINAPI QIROTowerSetLedMode(HANDLE tower, BYTE mode) {
  if (IsInvalid(tower)) return Fail(ERROR_INVALID_HANDLE);
  QIROTOWER_CTLREC rec = NewRecord();
  // The driver reads the mode only; the 1 before it is the library's habit.
  rec.LedMode.One = 1;
  rec.LedMode.Mode = mode;
  return SetRecord(tower, IOCTL_TOWER_SET_LED_MODE, rec);
}

BOOL WINAPI QIROTowerSetLedState(HANDLE tower, BYTE led, BYTE state) {
  if (IsInvalid(tower)) return Fail(ERROR_INVALID_HANDLE);
  QIROTOWER_CTLREC rec = NewRecord();
  rec.LedState.Led = led;
  rec.LedState.State = state;
  return SetRecord(tower, IOCTL_TOWER_SET_LED_STATE, rec);
}

BOOL WINAPI QIROTowerSetCarrierFrequency(HANDLE tower, WORD frequency) {
  if (IsInvalid(tower)) return Fail(ERROR_INVALID_HANDLE);
  QIROTOWER_CTLREC rec = NewRecord();
  rec.Carrier.Frequency = frequency;
  return SetRecord(tower, IOCTL_TOWER_SET_CARRIER_FREQUENCY, rec);
}

BOOL WINAPI QIROTowerSetCarrierDutyCycle(HANDLE tower, WORD selector, WORD dutyCycle) {
  if (IsInvalid(tower)) return Fail(ERROR_INVALID_HANDLE);
  QIROTOWER_CTLREC rec = NewRecord();
  rec.Duty.Selector = selector;
  rec.Duty.DutyCycle = dutyCycle;
  return SetRecord(tower, IOCTL_TOWER_SET_CARRIER_DUTY_CYCLE, rec);
}

BOOL WINAPI QIROTowerSetIRCParm(HANDLE tower, BYTE id, BYTE value, WORD index) {
  if (IsInvalid(tower)) return Fail(ERROR_INVALID_HANDLE);
  QIROTOWER_CTLREC rec = NewRecord();
  rec.Parm.Id = id;
  rec.Parm.Value = value;
  rec.Parm.Index = index;
  return SetRecord(tower, IOCTL_TOWER_SET_IRC_PARM, rec);
}

BOOL WINAPI QIROTowerSetIRCPacketSize(HANDLE tower, BYTE value) {
  return QIROTowerSetIRCParm(tower, tower::TOWER_IRC_PARM_PACKET_SIZE, value, 0);
}

BOOL WINAPI QIROTowerSetIRCTimeFrame(HANDLE tower, BYTE value) {
  return QIROTowerSetIRCParm(tower, tower::TOWER_IRC_PARM_TIME_FRAME, value, 0);
}

BOOL WINAPI QIROTowerFlush(HANDLE tower, WORD flags) {
  if (IsInvalid(tower)) return Fail(ERROR_INVALID_HANDLE);
  QIROTOWER_CTLREC rec = NewRecord();
  rec.Flush.Flags = flags;
  return SetRecord(tower, IOCTL_TOWER_FLUSH, rec);
}

BOOL WINAPI QIROTowerSetIRSpeed(HANDLE tower, WORD transmit, WORD receive) {
  if (IsInvalid(tower)) return Fail(ERROR_INVALID_HANDLE);
  QIROTOWER_SPEEDREC rec;
  std::memset(&rec, 0, sizeof(rec));
  rec.Size = sizeof(rec);
  rec.TxSpeed = transmit;
  rec.RxSpeed = receive;
  rec.Unused = 2;
  if (!Control(tower, IOCTL_TOWER_SET_IR_SPEED, &rec, sizeof(rec), &rec, sizeof(rec))) return FALSE;
  return TowerStatus(rec.Status);
}

BOOL WINAPI QIROTowerSetTimeouts(HANDLE tower, DWORD firstByte, DWORD interChar, DWORD write) {
  if (IsInvalid(tower)) return Fail(ERROR_INVALID_HANDLE);
  QIROTOWER_TIMEOUTSREC rec;
  std::memset(&rec, 0, sizeof(rec));
  rec.Size = sizeof(rec);
  rec.Timeout_Read_1st = firstByte;
  rec.Timeout_Read_ic = interChar;
  rec.Timeout_Write = write;
  // The driver keeps the timeouts itself: no status byte to look at.
  return Control(tower, IOCTL_TOWER_SET_TIMEOUTS, &rec, sizeof(rec), nullptr, 0);
}

BOOL WINAPI QIROTowerReset(HANDLE tower) {
  if (IsInvalid(tower)) return Fail(ERROR_INVALID_HANDLE);
  QIROTOWER_CTLREC rec;
  return GetRecord(tower, IOCTL_TOWER_RESET, rec);
}

BOOL WINAPI QIROTowerResetCommStats(HANDLE tower) {
  if (IsInvalid(tower)) return Fail(ERROR_INVALID_HANDLE);
  QIROTOWER_COMMSTATS rec;
  std::memset(&rec, 0, sizeof(rec));
  if (!Control(tower, IOCTL_TOWER_RESET_COMM_STATS, nullptr, 0, &rec, sizeof(rec))) return FALSE;
  return TowerStatus(rec.Status);
}

// ---- get functions ----------------------------------------------------------------

BOOL WINAPI QIROTowerGetRange(HANDLE tower, WORD* range) {
  // The pointer is checked before the handle.
  if (range == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (IsInvalid(tower)) return Fail(ERROR_INVALID_HANDLE);
  QIROTOWER_CTLREC rec;
  if (!GetRecord(tower, IOCTL_TOWER_GET_RANGE, rec)) return FALSE;
  *range = static_cast<WORD>(rec.Value);
  return TRUE;
}

BOOL WINAPI QIROTowerGetLinkMode(HANDLE tower, WORD* mode) {
  if (mode == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (IsInvalid(tower)) return Fail(ERROR_INVALID_HANDLE);
  QIROTOWER_CTLREC rec;
  if (!GetRecord(tower, IOCTL_TOWER_GET_LINK_MODE, rec)) return FALSE;
  *mode = static_cast<WORD>(rec.Value);
  return TRUE;
}

BOOL WINAPI QIROTowerGetEndianness(HANDLE tower, WORD* value) {
  if (value == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (IsInvalid(tower)) return Fail(ERROR_INVALID_HANDLE);
  QIROTOWER_CTLREC rec;
  if (!GetRecord(tower, IOCTL_TOWER_GET_ENDIANNESS, rec)) return FALSE;
  *value = rec.Word.Value;
  return TRUE;
}

BOOL WINAPI QIROTowerGetLedMode(HANDLE tower, BYTE* mode) {
  if (mode == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (IsInvalid(tower)) return Fail(ERROR_INVALID_HANDLE);
  QIROTOWER_CTLREC rec;
  if (!GetRecord(tower, IOCTL_TOWER_GET_LED_MODE, rec)) return FALSE;
  *mode = static_cast<BYTE>(rec.LedMode.Mode);
  return TRUE;
}

BOOL WINAPI QIROTowerGetErrorState(HANDLE tower, WORD* state) {
  // From here on the handle is checked before the pointer.
  if (IsInvalid(tower)) return Fail(ERROR_INVALID_HANDLE);
  if (state == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  QIROTOWER_CTLREC rec;
  if (!GetRecord(tower, IOCTL_TOWER_GET_ERROR_STATE, rec)) return FALSE;
  *state = rec.Word.Value;
  return TRUE;
}

BOOL WINAPI QIROTowerGetLedState(HANDLE tower, BYTE led, BYTE* state) {
  if (IsInvalid(tower)) return Fail(ERROR_INVALID_HANDLE);
  if (state == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  QIROTOWER_CTLREC rec = NewRecord();
  rec.LedState.Led = led;
  if (!QueryRecord(tower, IOCTL_TOWER_GET_LED_STATE, rec)) return FALSE;
  *state = static_cast<BYTE>(rec.LedState.State);
  return TRUE;
}

BOOL WINAPI QIROTowerGetCarrierFrequency(HANDLE tower, WORD* frequency) {
  if (IsInvalid(tower)) return Fail(ERROR_INVALID_HANDLE);
  if (frequency == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  QIROTOWER_CTLREC rec = ZeroRecord();
  DWORD returned = 0;
  if (!Control(tower, IOCTL_TOWER_GET_CARRIER_FREQUENCY, nullptr, 0, &rec, sizeof(rec), &returned))
    return FALSE;
  // A tower that did not answer: a failure that names no reason.
  if (returned < sizeof(rec)) return FALSE;
  if (!TowerStatus(rec.Status)) return FALSE;
  *frequency = rec.Carrier.Frequency;
  return TRUE;
}

BOOL WINAPI QIROTowerGetCarrierDutyCycle(HANDLE tower, WORD selector, WORD* dutyCycle) {
  if (IsInvalid(tower)) return Fail(ERROR_INVALID_HANDLE);
  if (dutyCycle == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  QIROTOWER_CTLREC rec = NewRecord();
  rec.Duty.Selector = selector;
  rec.Duty.DutyCycle = 0;  // sent to the tower as the request value
  if (!QueryRecord(tower, IOCTL_TOWER_GET_CARRIER_DUTY_CYCLE, rec)) return FALSE;
  *dutyCycle = rec.Duty.DutyCycle;
  return TRUE;
}

BOOL WINAPI QIROTowerGetIRCParm(HANDLE tower, BYTE id, BYTE* value) {
  if (IsInvalid(tower)) return Fail(ERROR_INVALID_HANDLE);
  if (value == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  QIROTOWER_CTLREC rec = NewRecord();
  rec.Parm.Id = id;
  if (!QueryRecord(tower, IOCTL_TOWER_GET_IRC_PARM, rec)) return FALSE;
  *value = rec.Parm.Value;
  return TRUE;
}

BOOL WINAPI QIROTowerGetIRCPacketSize(HANDLE tower, BYTE* value) {
  return QIROTowerGetIRCParm(tower, tower::TOWER_IRC_PARM_PACKET_SIZE, value);
}

BOOL WINAPI QIROTowerGetIRCTimeFrame(HANDLE tower, BYTE* value) {
  return QIROTowerGetIRCParm(tower, tower::TOWER_IRC_PARM_TIME_FRAME, value);
}

BOOL WINAPI QIROTowerGetIRSpeed(HANDLE tower, WORD* transmit, WORD* receive) {
  // Only the handle is checked: a null pointer is skipped.
  if (IsInvalid(tower)) return Fail(ERROR_INVALID_HANDLE);
  QIROTOWER_SPEEDREC rec;
  std::memset(&rec, 0, sizeof(rec));
  rec.Size = sizeof(rec);
  if (!Control(tower, IOCTL_TOWER_GET_IR_SPEED, &rec, sizeof(rec), &rec, sizeof(rec))) return FALSE;
  if (!TowerStatus(rec.Status)) return FALSE;
  if (transmit != nullptr) *transmit = rec.TxSpeed;
  if (receive != nullptr) *receive = rec.RxSpeed;
  return TRUE;
}

BOOL WINAPI QIROTowerGetTimeouts(HANDLE tower, DWORD* firstByte, DWORD* interChar, DWORD* write) {
  if (IsInvalid(tower)) return Fail(ERROR_INVALID_HANDLE);
  QIROTOWER_TIMEOUTSREC rec;
  std::memset(&rec, 0, sizeof(rec));
  DWORD returned = 0;
  if (!Control(tower, IOCTL_TOWER_GET_TIMEOUTS, nullptr, 0, &rec, sizeof(rec), &returned))
    return FALSE;
  if (returned < sizeof(rec)) return FALSE;
  // The driver's own values: no status byte to look at.
  if (firstByte != nullptr) *firstByte = rec.Timeout_Read_1st;
  if (interChar != nullptr) *interChar = rec.Timeout_Read_ic;
  if (write != nullptr) *write = rec.Timeout_Write;
  return TRUE;
}

BOOL WINAPI QIROTowerGetState(HANDLE tower, WORD* state) {
  if (IsInvalid(tower)) return Fail(ERROR_INVALID_HANDLE);
  if (state == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  *state = 0;
  QIROTOWER_STATEREC rec;
  std::memset(&rec, 0, sizeof(rec));
  if (!Control(tower, IOCTL_TOWER_GET_STATE, nullptr, 0, &rec, sizeof(rec))) return FALSE;
  *state = rec.State;
  return TRUE;
}

BOOL WINAPI QIROTowerGetVersion(HANDLE tower, QIROTOWER_VERSION* version) {
  if (IsInvalid(tower)) return Fail(ERROR_INVALID_HANDLE);
  if (version == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  // The record has no header: it is handed over as it comes. The call fills
  // a zeroed record of its own, so that a tower that does not answer (a
  // success with no bytes) reads as zeros, and the caller's record is
  // written only when the call succeeds.
  QIROTOWER_VERSION answer;
  std::memset(&answer, 0, sizeof(answer));
  if (!Control(tower, IOCTL_TOWER_GET_VERSION, nullptr, 0, &answer, sizeof(answer))) return FALSE;
  *version = answer;
  return TRUE;
}

BOOL WINAPI QIROTowerGetCaps(HANDLE tower, WORD selector, QIROTOWER_CAPS* caps) {
  if (IsInvalid(tower)) return Fail(ERROR_INVALID_HANDLE);
  if (caps == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (caps->Size < sizeof(QIROTOWER_CAPS)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memset(caps, 0, sizeof(*caps));
  caps->Size = sizeof(*caps);
  caps->Selector = selector;
  if (!Control(tower, IOCTL_TOWER_GET_CAPS, caps, sizeof(*caps), caps, sizeof(*caps))) return FALSE;
  return TowerStatus(caps->Status);
}

BOOL WINAPI QIROTowerGetCommStats(HANDLE tower, QIROTOWER_COMMSTATS* stats) {
  if (IsInvalid(tower)) return Fail(ERROR_INVALID_HANDLE);
  if (stats == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (stats->Size < sizeof(QIROTOWER_COMMSTATS)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  // Its size too: the driver writes it back.
  std::memset(stats, 0, sizeof(*stats));
  if (!Control(tower, IOCTL_TOWER_GET_COMM_STATS, nullptr, 0, stats, sizeof(*stats))) return FALSE;
  return TowerStatus(stats->Status);
}

BOOL WINAPI QIROTowerGetCopyright(HANDLE tower, char* buffer, DWORD size) {
  return GetText(tower, IOCTL_TOWER_GET_COPYRIGHT, buffer, size);
}

BOOL WINAPI QIROTowerGetCredits(HANDLE tower, char* buffer, DWORD size) {
  return GetText(tower, IOCTL_TOWER_GET_CREDITS, buffer, size);
}

}  // extern "C"
