// What the host USB stack asks of a device on the bus, and what it offers
// the device in return. Device models (the simulated tower, later real towers
// through libusb) implement DeviceModel; the stack implements Port.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "tower/ntstatus.h"

namespace hk::usb {

using tower::NTSTATUS;

// USBD status words a finished transfer reports (top bit set: error; top two
// bits 01: pending).
inline constexpr uint32_t USBD_STATUS_SUCCESS = 0x00000000u;
inline constexpr uint32_t USBD_STATUS_PENDING = 0x40000000u;
inline constexpr uint32_t USBD_STATUS_CRC = 0xC0000001u;
inline constexpr uint32_t USBD_STATUS_STALL_PID = 0xC0000004u;
inline constexpr uint32_t USBD_STATUS_DEV_NOT_RESPONDING = 0xC0000005u;
inline constexpr uint32_t USBD_STATUS_DEVICE_GONE = 0xC0007000u;
inline constexpr uint32_t USBD_STATUS_CANCELED = 0xC0010000u;

struct SetupPacket {
  uint8_t bmRequestType = 0;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;
};

enum class TransferKind : uint8_t { Control, BulkIn, BulkOut };

// One transfer handed to a device model. The model finishes every transfer
// it accepted exactly once, through Port::Complete, from any thread.
struct Transfer {
  TransferKind kind = TransferKind::Control;
  uint8_t endpoint = 0;  // 0 for control; 0x81, 0x02, ... otherwise
  SetupPacket setup;     // control transfers: device-to-host data stage of setup.wLength bytes
  uint8_t* buffer = nullptr;
  uint32_t length = 0;   // control: wLength; bulk: the whole transfer
  bool shortOk = false;  // IN: a short packet ends the transfer without error

  // Filled in by Port::Complete.
  uint32_t actual = 0;
  NTSTATUS status = tower::STATUS_PENDING;
  uint32_t usbdStatus = USBD_STATUS_PENDING;
};

// A stack that can run completions on the thread that causes them. Between
// Open and Close on one thread (pairs nest), a completion that thread causes
// may be held, and runs on it, at raised priority, when the outermost Close
// is called: as a controller's deferred call runs on the processor that took
// the interrupt, with no switch to another thread. The caller must hold no
// lock at Close, so that the completion, and what it submits, may take any.
// It outlives every port it is reached through.
class CallerCompletions {
 public:
  virtual void Open() = 0;
  virtual void Close() = 0;

 protected:
  ~CallerCompletions() = default;
};

// The stack's side of one port, given to the model when it is plugged in.
class Port {
 public:
  virtual ~Port() = default;
  // Finishes a transfer. The completion is delivered on the bus's own
  // thread, or on the caller's at its Close (above), never inside this call.
  virtual void Complete(Transfer* transfer, NTSTATUS status, uint32_t usbdStatus,
                        uint32_t actual) = 0;
  // The device drops off the bus (as if unplugged) at the next opportunity.
  virtual void Vanish() = 0;
  // Null when completions always go to the bus's thread.
  virtual CallerCompletions* Completions() { return nullptr; }
};

class DeviceModel {
 public:
  virtual ~DeviceModel() = default;

  // The model is on a port now; null when it is unplugged.
  virtual void Attach(Port* port) = 0;

  // Standard descriptors, as the device would return them.
  virtual std::vector<uint8_t> DeviceDescriptor() = 0;  // 18 bytes
  // The whole configuration descriptor set (configuration, interfaces,
  // endpoints) of configuration index `index`; empty when there is none.
  virtual std::vector<uint8_t> ConfigurationDescriptor(uint8_t index) = 0;
  // SET_CONFIGURATION; 0 deconfigures. False when the device refuses.
  virtual bool SetConfiguration(uint8_t value) = 0;

  // Starts a transfer. The model completes it through the port, now or later.
  virtual void Submit(Transfer* transfer) = 0;
  // Asks the model to finish a transfer it still holds, promptly, with
  // STATUS_CANCELLED / USBD_STATUS_CANCELED and what it moved so far. A
  // transfer already completed is left alone.
  virtual void Cancel(Transfer* transfer) = 0;
};

}  // namespace hk::usb
