#include "usb/topology.h"

#include <cstdio>

#include "tower/ntstatus.h"

namespace hk {

using namespace tower;

namespace {

std::string Hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof(text), "%0*X", digits, value);
  return text;
}

// Instance ids of devices without a serial number name their place: the
// parent hub and the port. The same port gives the same id again.
uint32_t PlaceHash(const std::string& text) {
  uint32_t h = 2166136261u;
  for (unsigned char c : text) h = (h ^ c) * 16777619u;
  return h;
}

// The system device class, whose keys PCI bridges have.
constexpr char kSystemClassGuid[] = "{4D36E97D-E325-11CE-BFC1-08002BE10318}";

}  // namespace

UsbTopology::UsbTopology(Kernel& kernel, DeviceTree& tree, IoManager& io, PnpManager& pnp)
    : kernel_(kernel), tree_(tree), io_(io), pnp_(pnp) {
  usbHub_ = kernel_.CreateDriver("\\Driver\\usbhub");
  usbHub_->dispatch = &usb::UsbDevice::Dispatch;
  bus_ = std::make_unique<usb::Bus>();
  nodeDevices_ = std::make_unique<usb::NodeDevices>(kernel_);
}

UsbTopology::Hub* UsbTopology::HubOf(const DevNode* node) {
  for (auto& hub : hubs_)
    if (hub->node == node) return hub.get();
  return nullptr;
}

DevNode* UsbTopology::AddHostController(uint8_t ports) {
  HostControllerOptions options;
  options.ports = ports;
  return AddHostController(options);
}

DevNode* UsbTopology::AddHostController(const HostControllerOptions& options) {
  const uint8_t ports = options.ports;
  std::lock_guard<std::recursive_mutex> treeLock(tree_.mutex());
  // The bridges between the root and the controller, outermost first.
  DevNode* parent = tree_.Root();
  for (uint32_t level = 1; level < options.depth; ++level) {
    const uint32_t bridgeIndex = nextBridge_++;
    DevNode* bridge = tree_.Add(parent, NodeKind::Bridge,
                                "PCI\\VEN_8086&DEV_244E&SUBSYS_00000000&REV_C1\\3&267A616A&0&" +
                                    Hex(0xF0 + bridgeIndex, 2));
    bridge->hardwareIds = {"PCI\\VEN_8086&DEV_244E&SUBSYS_00000000&REV_C1",
                           "PCI\\VEN_8086&DEV_244E"};
    bridge->description = "Host PCI to PCI Bridge";
    bridge->service = "pci";
    bridge->present = true;
    bridge->status = DN_DRIVER_LOADED | DN_STARTED | DN_NT_ENUMERATOR | DN_NT_DRIVER;
    bridge->driverKey = std::string(kSystemClassGuid) + "\\" + Hex(0x40 + bridgeIndex, 4);
    parent = bridge;
  }
  const uint32_t index = nextController_++;
  DevNode* controller = tree_.Add(
      parent, NodeKind::HostController,
      "PCI\\VEN_8086&DEV_7112&SUBSYS_00000000&REV_01\\3&267A616A&0&" + Hex(0x10 + index, 2));
  controller->hardwareIds = {"PCI\\VEN_8086&DEV_7112&SUBSYS_00000000&REV_01",
                             "PCI\\VEN_8086&DEV_7112"};
  controller->description = "Host USB Universal Host Controller";
  controller->manufacturer = "Intel";
  controller->className = "USB";
  controller->service = "usbuhci";
  controller->present = true;
  controller->status = DN_DRIVER_LOADED | DN_STARTED | DN_NT_ENUMERATOR | DN_NT_DRIVER;
  controller->symbolicName = "\\\\.\\HCD" + std::to_string(index);
  // The controller's driver key, which \\.\HCDn names to user mode. (Its
  // class key is not written: nothing here reads it.)
  controller->driverKey = options.driverKey ? *options.driverKey : pnp_.NewDriverKey();
  nodeDevices_->AddController(index, controller->driverKey);
  DevNode* root = tree_.Add(controller, NodeKind::RootHub,
                            "USB\\ROOT_HUB\\4&" + Hex(PlaceHash(controller->instanceId), 8) + "&0");
  root->hardwareIds = {"USB\\ROOT_HUB"};
  root->description = "USB Root Hub";
  root->manufacturer = "(Standard USB Host Controller)";
  root->className = "USB";
  root->service = "usbhub";
  root->present = true;
  root->status = controller->status;
  AddHubRecord(root, true, true, ports);
  nodeDevices_->AddHub(root->instanceId, false, ports);
  pnp_.RecordBusDevice(controller);
  pnp_.RecordBusDevice(root);
  return root;
}

bool UsbTopology::SetHubNodeType(const DevNode* hub, uint32_t nodeType) {
  std::string instanceId;
  {
    std::lock_guard<std::recursive_mutex> treeLock(tree_.mutex());
    if (HubOf(hub) == nullptr) return false;
    instanceId = hub->instanceId;
  }
  return nodeDevices_->SetHubNodeType(instanceId, nodeType);
}

void UsbTopology::AddHubRecord(DevNode* node, bool root, bool selfPowered, uint8_t ports) {
  auto hub = std::make_unique<Hub>();
  hub->node = node;
  hub->root = root;
  hub->selfPowered = selfPowered;
  hub->ports.assign(ports, nullptr);
  hubs_.push_back(std::move(hub));
}

DevNode* UsbTopology::AddHub(DevNode* parentHub, uint8_t port, bool selfPowered, uint8_t ports) {
  std::lock_guard<std::recursive_mutex> treeLock(tree_.mutex());
  Hub* parent = HubOf(parentHub);
  if (parent == nullptr || port == 0 || port > parent->ports.size()) return nullptr;
  DevNode* node =
      tree_.Add(parentHub, NodeKind::Hub,
                "USB\\VID_05E3&PID_0608\\5&" + Hex(PlaceHash(parentHub->instanceId), 8) + "&0&" +
                    std::to_string(port));
  // A hub's entry kept from an earlier start is a hub again.
  node->kind = NodeKind::Hub;
  node->hardwareIds = {"USB\\VID_05E3&PID_0608&REV_0100", "USB\\VID_05E3&PID_0608"};
  node->description = "Generic USB Hub";
  node->manufacturer = "(Generic USB Hub)";
  node->className = "USB";
  node->service = "usbhub";
  node->present = true;
  node->port = port;
  node->status = DN_DRIVER_LOADED | DN_STARTED | DN_NT_ENUMERATOR | DN_NT_DRIVER | DN_REMOVABLE;
  AddHubRecord(node, false, selfPowered, ports);
  nodeDevices_->AddHub(node->instanceId, !selfPowered, ports);
  pnp_.RecordBusDevice(node);
  return node;
}

DeviceObject* UsbTopology::CreatePhysical(const std::string& instanceId, size_t extensionBytes) {
  DeviceObject* physical = nullptr;
  kernel_.CreateDevice(usbHub_, u"", 0x22, 0, false, false, extensionBytes, &physical);
  physical->initialising = false;
  physical->instanceId = instanceId;
  std::lock_guard<std::mutex> lock(busMutex_);
  physicals_.push_back(physical);
  return physical;
}

DeviceObject* UsbTopology::PlugUsbAt(DevNode* hubNode, uint8_t port,
                                     const std::shared_ptr<usb::DeviceModel>& model,
                                     NTSTATUS* status) {
  if (status != nullptr) *status = STATUS_NO_SUCH_DEVICE;
  const std::vector<uint8_t> d = model->DeviceDescriptor();
  if (d.size() < 18) return nullptr;
  const uint16_t vid = static_cast<uint16_t>(d[8] | d[9] << 8);
  const uint16_t pid = static_cast<uint16_t>(d[10] | d[11] << 8);
  const uint16_t rev = static_cast<uint16_t>(d[12] | d[13] << 8);
  const std::string device = "USB\\VID_" + Hex(vid, 4) + "&PID_" + Hex(pid, 4);

  DevNode* node = nullptr;
  DeviceObject* physical = nullptr;
  {
    // The port is checked and taken in one step, so two devices never share it.
    std::lock_guard<std::recursive_mutex> treeLock(tree_.mutex());
    Hub* hub = HubOf(hubNode);
    if (hub == nullptr || port == 0 || port > hub->ports.size() || hub->ports[port - 1] != nullptr)
      return nullptr;
    // A bus-powered hub shares its own 500 mA: each port gets a unit load.
    const uint32_t budget = hub->root || hub->selfPowered ? 500 : 100;
    node = tree_.Add(
        hubNode, NodeKind::Device,
        device + "\\5&" + Hex(PlaceHash(hubNode->instanceId), 8) + "&0&" + std::to_string(port));
    node->hardwareIds = {device + "&REV_" + Hex(rev, 4), device};
    if (node->description.empty()) node->description = "USB Device";
    node->present = true;
    node->port = port;
    physical = CreatePhysical(node->instanceId, sizeof(usb::UsbDevice*));
    auto usbDevice = std::make_unique<usb::UsbDevice>(
        kernel_, *bus_, static_cast<usb::BusOwner&>(*this), model, budget, physical);
    *reinterpret_cast<usb::UsbDevice**>(physical->extension.data()) = usbDevice.get();
    std::lock_guard<std::mutex> lock(busMutex_);
    usbDevices_.push_back(std::move(usbDevice));
    hub->ports[port - 1] = physical;
    attachments_[physical] = Attachment{hub, port, model};
    node->physical = physical;
  }
  const NTSTATUS result = pnp_.AddAndStart(physical, node);
  if (status != nullptr) *status = result;
  return physical;
}

DeviceObject* UsbTopology::PlugUsb(const std::shared_ptr<usb::DeviceModel>& model,
                                   NTSTATUS* status) {
  if (model->DeviceDescriptor().size() < 18) {
    if (status != nullptr) *status = STATUS_NO_SUCH_DEVICE;
    return nullptr;
  }
  // Another plug may take the chosen port first; then look again.
  for (;;) {
    DevNode* hubNode = nullptr;
    uint8_t port = 0;
    {
      std::lock_guard<std::recursive_mutex> lock(tree_.mutex());
      for (auto& hub : hubs_) {
        for (size_t i = 0; i < hub->ports.size() && port == 0; ++i)
          if (hub->ports[i] == nullptr && (hub->root || hub->selfPowered)) {
            hubNode = hub->node;
            port = static_cast<uint8_t>(i + 1);
          }
        if (port != 0) break;
      }
      if (port == 0) {
        hubNode = AddHostController();
        port = 1;
      }
    }
    if (DeviceObject* physical = PlugUsbAt(hubNode, port, model, status)) return physical;
  }
}

usb::UsbDevice* UsbTopology::UsbDeviceOf(DeviceObject* physical) {
  if (physical->driver != usbHub_) return nullptr;
  return *reinterpret_cast<usb::UsbDevice**>(physical->extension.data());
}

void UsbTopology::Unplug(DeviceObject* physical, const std::function<void()>& gone) {
  {
    std::lock_guard<std::mutex> lock(busMutex_);
    if (physical->deleted || !unplugged_.insert(physical).second) return;
  }
  // The device is gone from the wire first: what it held fails as the
  // driver's transfers would on real hardware.
  if (usb::UsbDevice* usb = UsbDeviceOf(physical)) usb->Detach();
  // Plug and Play takes a device out only between configurations: an unplug
  // that comes while the device is being added or started waits for that to
  // end, or the start would be sent to a driver record its removal freed.
  std::lock_guard<std::recursive_mutex> configuring(pnp_.ConfigurationLock());
  // Decided at once with the attach rule: a driver being added on another
  // thread either attached already and sees the removal, or is refused.
  if (!kernel_.LeaveBus(physical)) {
    FinishRemoval(physical);
    if (gone) gone();
    return;
  }
  io_.SendPnp(physical, 0x17);
  {
    std::lock_guard<std::recursive_mutex> treeLock(tree_.mutex());
    if (DevNode* node = tree_.FindByPhysical(physical)) {
      node->present = false;
      node->status = 0;
      node->problem = 0;
    }
  }
  // The removal itself waits until no handle is open on the device.
  io_.RemoveWhenIdle(kernel_.TopOfStack(physical), [this, physical, gone] {
    io_.SendPnp(physical, 0x02);
    FinishRemoval(physical);
    if (gone) gone();
  });
}

void UsbTopology::RemoveAndPark(DeviceObject* physical, const std::function<void()>& gone) {
  Attachment place;
  {
    std::lock_guard<std::mutex> lock(busMutex_);
    auto it = attachments_.find(physical);
    if (it == attachments_.end() || physical->deleted) return;
    place = it->second;
  }
  Unplug(physical, [this, place, gone] {
    {
      std::lock_guard<std::mutex> lock(busMutex_);
      parked_.push_back(place);
    }
    if (gone) gone();
  });
}

void UsbTopology::RediscoverParked() {
  std::vector<Attachment> parked;
  {
    std::lock_guard<std::mutex> lock(busMutex_);
    parked.swap(parked_);
  }
  for (const Attachment& place : parked) PlugUsbAt(place.hub->node, place.port, place.model);
}

void UsbTopology::UnplugAll() {
  std::vector<DeviceObject*> physicals;
  {
    std::lock_guard<std::mutex> lock(busMutex_);
    physicals = physicals_;
  }
  for (DeviceObject* physical : physicals)
    if (!physical->deleted) Unplug(physical);
}

void UsbTopology::FinishRemoval(DeviceObject* physical) {
  {
    std::lock_guard<std::recursive_mutex> treeLock(tree_.mutex());
    if (DevNode* node = tree_.FindByPhysical(physical)) {
      node->present = false;
      node->physical = nullptr;
      node->status = 0;
      node->problem = 0;
    }
    std::lock_guard<std::mutex> lock(busMutex_);
    auto it = attachments_.find(physical);
    if (it != attachments_.end()) {
      it->second.hub->ports[it->second.port - 1] = nullptr;
      attachments_.erase(it);
    }
  }
  kernel_.DeleteDevice(physical);
}

void UsbTopology::RequestUnplug(DeviceObject* physical) {
  pnp_.Post([this, physical] { Unplug(physical); });
}

void UsbTopology::RequestCycle(DeviceObject* physical) {
  pnp_.Post([this, physical] {
    Attachment place;
    {
      std::lock_guard<std::mutex> lock(busMutex_);
      auto it = attachments_.find(physical);
      if (it == attachments_.end() || physical->deleted) return;
      place = it->second;
    }
    // Off the bus and on again: the same port, so the same instance, but a
    // new device object and a fresh driver record, once the old one is gone.
    Unplug(physical, [this, place] {
      pnp_.Post([this, place] { PlugUsbAt(place.hub->node, place.port, place.model); });
    });
  });
}

}  // namespace hk
