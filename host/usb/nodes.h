// The devices user mode opens to ask the USB stack about its topology: each
// host controller's \\.\HCDn, which names the controller's driver key, and
// each hub's device interface, which tells the hub's power source.
#pragma once

#include <cstdint>
#include <string>

#include "kernel/kernel.h"

namespace hk::usb {

// Requests of the hub and host-controller devices (buffered).
inline constexpr uint32_t IOCTL_USB_GET_NODE_INFORMATION = 0x00220408u;
inline constexpr uint32_t IOCTL_GET_HCD_DRIVERKEY_NAME = 0x00220424u;
// GUID_DEVINTERFACE_USB_HUB, as the kernel names interface classes.
inline constexpr char kHubInterfaceClass[] = "{f18a0e88-c30c-11d0-8815-00a0c906bed8}";

class NodeDevices {
 public:
  explicit NodeDevices(Kernel& kernel);
  NodeDevices(const NodeDevices&) = delete;
  NodeDevices& operator=(const NodeDevices&) = delete;

  // \Device\USBFDO-n with the link \??\HCDn.
  void AddController(uint32_t index, const std::string& driverKey);
  // A hub's device with an enabled hub interface, for the hub's device node.
  void AddHub(const std::string& instanceId, bool busPowered, uint8_t ports);

 private:
  static NTSTATUS Dispatch(DeviceObject* device, Irp* irp);

  Kernel& kernel_;
  DriverObject* controllers_;
  DriverObject* hubs_;
  uint32_t nextHub_ = 0;
};

}  // namespace hk::usb
