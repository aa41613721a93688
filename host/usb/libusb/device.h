// A real tower on the host USB bus: a device model over a libusb device
// handle. Descriptors are read once, at arrival; configuration selection,
// vendor requests on endpoint 0, the interrupt IN and bulk OUT transfers go
// to the device as asynchronous libusb transfers, each cancellable.
//
// Lifetime: each libusb transfer carries its own buffer and a reference to
// the device's shared state, so a transfer libusb hands back late (after an
// unplug let go of the stack's transfer) touches nothing the stack owns. The
// handle is closed by Close(), once no transfer is out.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "usb/model.h"

struct libusb_device_handle;

namespace hk::usb {

class LibusbDevice final : public DeviceModel {
 public:
  // Takes over an open handle whose interface 0 is claimed.
  explicit LibusbDevice(libusb_device_handle* handle);
  ~LibusbDevice() override;
  LibusbDevice(const LibusbDevice&) = delete;
  LibusbDevice& operator=(const LibusbDevice&) = delete;

  // --- DeviceModel
  // The first port is the arrival; a later one follows a port cycle, so the
  // device is reset first (libusb_reset_device). Null: everything the device
  // holds completes now with STATUS_DEVICE_NOT_CONNECTED /
  // USBD_STATUS_DEVICE_GONE, and its libusb transfers are cancelled.
  void Attach(Port* port) override;
  std::vector<uint8_t> DeviceDescriptor() override;
  std::vector<uint8_t> ConfigurationDescriptor(uint8_t index) override;
  // Releases interface 0, sets the configuration (0: unconfigured) and
  // claims the interface again; the data endpoints' transfers end cancelled.
  bool SetConfiguration(uint8_t value) override;
  void Submit(Transfer* transfer) override;
  void Cancel(Transfer* transfer) override;

  // libusb's hot-plug said the device left: what it holds fails, later
  // transfers fail at once, and the stack hears it vanish.
  void Left();
  bool Gone();
  // libusb transfers not yet handed back by libusb.
  size_t InFlight();
  // Closes the handle once nothing is in flight; true when it is closed.
  bool Close();

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
  std::vector<uint8_t> device_;
  std::vector<std::vector<uint8_t>> configurations_;
};

}  // namespace hk::usb
