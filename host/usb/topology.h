// The USB topology of the host machine: host controllers with their root
// hubs, external hubs, ports with their power budget, and the devices plugged
// into them, each with its physical device object below the function driver.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "kernel/io.h"
#include "kernel/kernel.h"
#include "pnp/manager.h"
#include "pnp/tree.h"
#include "usb/nodes.h"
#include "usb/stack.h"

namespace hk {

// A host controller as the machine is built with it.
struct HostControllerOptions {
  uint8_t ports = 4;  // of its root hub
  // The driver key \\.\HCDn names and the controller's device node holds,
  // of any length (empty too); none: a new key of the USB class, as Windows
  // makes one.
  std::optional<std::string> driverKey;
  // Its depth in the device tree: 1 is a child of the root; each level
  // more puts a PCI bridge (with a driver key of its own) above it.
  uint32_t depth = 1;
};

class UsbTopology : private usb::BusOwner {
 public:
  UsbTopology(Kernel& kernel, DeviceTree& tree, IoManager& io, PnpManager& pnp);
  UsbTopology(const UsbTopology&) = delete;
  UsbTopology& operator=(const UsbTopology&) = delete;

  // Returns the controller's root hub.
  DevNode* AddHostController(uint8_t ports = 4);
  DevNode* AddHostController(const HostControllerOptions& options);
  // The hub answers IOCTL_USB_GET_NODE_INFORMATION with this node type
  // (0: a hub; anything else says it is no hub). False for a node that is
  // no hub of the topology.
  bool SetHubNodeType(const DevNode* hub, uint32_t nodeType);
  DevNode* AddHub(DevNode* parentHub, uint8_t port, bool selfPowered, uint8_t ports = 4);
  DeviceObject* PlugUsbAt(DevNode* hub, uint8_t port,
                          const std::shared_ptr<usb::DeviceModel>& model,
                          NTSTATUS* status = nullptr);
  DeviceObject* PlugUsb(const std::shared_ptr<usb::DeviceModel>& model, NTSTATUS* status = nullptr);
  void Unplug(DeviceObject* physical, const std::function<void()>& gone = {});
  // The device's entry is removed while it stays on its port: its stack
  // goes now, and the next scan finds it again as new hardware.
  void RemoveAndPark(DeviceObject* physical, const std::function<void()>& gone);
  // Devices parked on their ports appear again.
  void RediscoverParked();
  // Every device leaves the bus (the machine shuts down).
  void UnplugAll();
  usb::UsbDevice* UsbDeviceOf(DeviceObject* physical);
  usb::Bus& bus() { return *bus_; }

 private:
  struct Hub {
    DevNode* node = nullptr;
    bool root = false;
    bool selfPowered = true;
    std::vector<DeviceObject*> ports;  // what is plugged into port i + 1
  };
  struct Attachment {
    Hub* hub = nullptr;
    uint8_t port = 0;
    std::shared_ptr<usb::DeviceModel> model;
  };

  void RequestUnplug(DeviceObject* physical) override;
  void RequestCycle(DeviceObject* physical) override;
  DeviceObject* CreatePhysical(const std::string& instanceId, size_t extensionBytes);
  void FinishRemoval(DeviceObject* physical);
  Hub* HubOf(const DevNode* node);
  // Under the tree lock.
  void AddHubRecord(DevNode* node, bool root, bool selfPowered, uint8_t ports);

  Kernel& kernel_;
  DeviceTree& tree_;
  IoManager& io_;
  PnpManager& pnp_;
  std::vector<std::unique_ptr<Hub>> hubs_;
  std::map<const DeviceObject*, Attachment> attachments_;
  std::set<const DeviceObject*> unplugged_;
  std::vector<Attachment> parked_;  // removed entries of devices still on their ports  // gone from
                                    // the bus, removal sent or pending
  uint32_t nextController_ = 0;
  uint32_t nextBridge_ = 0;
  std::mutex busMutex_;  // guards the list of physical devices and the attachments
  std::vector<DeviceObject*> physicals_;
  DriverObject* usbHub_ = nullptr;
  std::unique_ptr<usb::Bus> bus_;
  std::unique_ptr<usb::NodeDevices> nodeDevices_;            // \\.\HCDn and the hubs' interfaces
  std::vector<std::unique_ptr<usb::UsbDevice>> usbDevices_;  // kept until the machine ends
};

}  // namespace hk
