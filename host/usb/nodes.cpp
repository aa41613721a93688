#include "usb/nodes.h"

#include <cstring>

namespace hk::usb {

using namespace tower;

namespace {

// What a node's device answers with; kept in its device extension.
struct NodeRecord {
  bool hub = false;
  bool busPowered = false;
  uint8_t ports = 0;
  uint16_t driverKeyChars = 0;
  char16_t driverKey[128] = {};
};

NodeRecord& RecordOf(DeviceObject* device) {
  return *reinterpret_cast<NodeRecord*>(device->extension.data());
}

// USB_NODE_INFORMATION: the node type (0 = hub), the hub descriptor and
// whether the hub is bus-powered, 76 bytes as 32-bit Windows lays them out.
constexpr uint32_t kNodeInformationBytes = 76;
constexpr size_t kBusPoweredOffset = 75;

NTSTATUS NodeInformation(const NodeRecord& record, Irp* irp) {
  if (!record.hub) return STATUS_INVALID_DEVICE_REQUEST;
  if (irp->outputLength < kNodeInformationBytes) return STATUS_BUFFER_TOO_SMALL;
  auto* out = static_cast<uint8_t*>(irp->systemBuffer);
  std::memset(out, 0, kNodeInformationBytes);
  uint8_t* descriptor = out + 4;
  descriptor[0] = 9;     // bDescriptorLength
  descriptor[1] = 0x29;  // hub descriptor
  descriptor[2] = record.ports;
  // Individual port power switching; a bus-powered hub draws its power
  // from its own upstream port and gives each port one unit load.
  descriptor[3] = 0x01;
  descriptor[5] = 50;                           // power-on to power-good, 2 ms units
  descriptor[6] = record.busPowered ? 100 : 0;  // the hub controller's own current, mA
  out[kBusPoweredOffset] = record.busPowered ? 1 : 0;
  irp->information = kNodeInformationBytes;
  return STATUS_SUCCESS;
}

// USB_HCD_DRIVERKEY_NAME: the length the whole record needs, then as much of
// the UTF-16 name (with its terminator) as fits.
NTSTATUS DriverKeyName(const NodeRecord& record, Irp* irp) {
  if (record.hub) return STATUS_INVALID_DEVICE_REQUEST;
  constexpr uint32_t kFixed = 4;
  if (irp->outputLength < kFixed + 2) return STATUS_BUFFER_TOO_SMALL;
  const uint32_t nameBytes = 2u * (record.driverKeyChars + 1u);
  const uint32_t actual = kFixed + nameBytes;
  auto* out = static_cast<uint8_t*>(irp->systemBuffer);
  std::memcpy(out, &actual, 4);
  const uint32_t room = irp->outputLength - kFixed;
  const uint32_t copy = room < nameBytes ? room & ~1u : nameBytes;
  std::memcpy(out + kFixed, record.driverKey, copy);
  irp->information = kFixed + copy;
  return STATUS_SUCCESS;
}

}  // namespace

NodeDevices::NodeDevices(Kernel& kernel)
    : kernel_(kernel),
      controllers_(kernel.CreateDriver("\\Driver\\usbuhci")),
      hubs_(kernel.CreateDriver("\\Driver\\usbhub.fdo")) {
  controllers_->dispatch = &NodeDevices::Dispatch;
  hubs_->dispatch = &NodeDevices::Dispatch;
}

void NodeDevices::AddController(uint32_t index, const std::string& driverKey) {
  DeviceObject* device = nullptr;
  const std::u16string name = ToU16("\\Device\\USBFDO-" + std::to_string(index));
  if (!NtSuccess(kernel_.CreateDevice(controllers_, name, 0x22, 0, false, false, sizeof(NodeRecord),
                                      &device)))
    return;
  NodeRecord record;
  const std::u16string key = ToU16(driverKey);
  record.driverKeyChars = static_cast<uint16_t>(std::min<size_t>(key.size(), 127));
  std::memcpy(record.driverKey, key.data(), 2 * record.driverKeyChars);
  std::memcpy(device->extension.data(), &record, sizeof(record));
  kernel_.CreateLink(ToU16("\\??\\HCD" + std::to_string(index)), name);
  device->initialising = false;
}

void NodeDevices::AddHub(const std::string& instanceId, bool busPowered, uint8_t ports) {
  DeviceObject* device = nullptr;
  const std::u16string name = ToU16("\\Device\\USBHUB-" + std::to_string(nextHub_++));
  if (!NtSuccess(
          kernel_.CreateDevice(hubs_, name, 0x22, 0, false, false, sizeof(NodeRecord), &device)))
    return;
  NodeRecord record;
  record.hub = true;
  record.busPowered = busPowered;
  record.ports = ports;
  std::memcpy(device->extension.data(), &record, sizeof(record));
  device->instanceId = instanceId;
  std::u16string link;
  if (NtSuccess(kernel_.RegisterInterface(device, kHubInterfaceClass, &link)))
    kernel_.SetInterfaceState(link, true);
  device->initialising = false;
}

NTSTATUS NodeDevices::Dispatch(DeviceObject* device, Irp* irp) {
  NTSTATUS status = STATUS_SUCCESS;
  irp->information = 0;
  switch (irp->major) {
    case IrpMajor::Create:
    case IrpMajor::Close:
    case IrpMajor::Cleanup:
      break;
    case IrpMajor::DeviceControl:
      if (irp->ioctl == IOCTL_USB_GET_NODE_INFORMATION)
        status = NodeInformation(RecordOf(device), irp);
      else if (irp->ioctl == IOCTL_GET_HCD_DRIVERKEY_NAME)
        status = DriverKeyName(RecordOf(device), irp);
      else
        status = STATUS_INVALID_DEVICE_REQUEST;
      break;
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  if (!NtSuccess(status)) irp->information = 0;
  device->driver->kernel->CompleteIrp(irp, status, irp->information);
  return status;
}

}  // namespace hk::usb
