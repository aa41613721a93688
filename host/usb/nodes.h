// The devices user mode opens to ask the USB stack about its topology: each
// host controller's \\.\HCDn, which names the controller's driver key, and
// each hub's device interface, which tells the hub's power source.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kernel/kernel.h"

namespace hk::usb {

// Requests of the hub and host-controller devices (buffered).
inline constexpr uint32_t IOCTL_USB_GET_NODE_INFORMATION = 0x00220408u;
inline constexpr uint32_t IOCTL_GET_HCD_DRIVERKEY_NAME = 0x00220424u;
// GUID_DEVINTERFACE_USB_HUB, as the kernel names interface classes.
inline constexpr char kHubInterfaceClass[] = "{f18a0e88-c30c-11d0-8815-00a0c906bed8}";

// What a node's device answers with.
struct NodeRecord;

class NodeDevices {
 public:
  explicit NodeDevices(Kernel& kernel);
  ~NodeDevices();
  NodeDevices(const NodeDevices&) = delete;
  NodeDevices& operator=(const NodeDevices&) = delete;

  // \Device\USBFDO-n with the link \??\HCDn. The driver key name may be of
  // any length a request's record can carry (its length field is 32 bits).
  void AddController(uint32_t index, const std::string& driverKey);
  // A hub's device with an enabled hub interface, for the hub's device node.
  void AddHub(const std::string& instanceId, bool busPowered, uint8_t ports);
  // The node type a hub's IOCTL_USB_GET_NODE_INFORMATION reports (0: a hub,
  // 1: a composite device's parent); false when no hub has that instance.
  bool SetHubNodeType(const std::string& instanceId, uint32_t nodeType);

 private:
  static NTSTATUS Dispatch(DeviceObject* device, Irp* irp);

  Kernel& kernel_;
  DriverObject* controllers_;
  DriverObject* hubs_;
  uint32_t nextHub_ = 0;
  std::mutex mutex_;  // guards records_ (a record itself never changes place)
  std::vector<std::unique_ptr<NodeRecord>> records_;
};

}  // namespace hk::usb
