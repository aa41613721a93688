#include "usb/nodes.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <optional>

#include "faults/faults.h"

namespace hk::usb {

using namespace tower;

// What a node's device answers with; its device extension points at it.
struct NodeRecord {
  bool hub = false;
  bool busPowered = false;
  uint8_t ports = 0;
  std::atomic<uint32_t> nodeType{0};  // 0: a hub
  std::u16string driverKey;
  // What the facility's sites name the node by: the controller's link as
  // user mode opens it (\\.\HCDn), the hub's instance id.
  std::string subject;
};

namespace {

// The extension holds the record's address.
constexpr size_t kExtensionBytes = sizeof(uintptr_t);

NodeRecord& RecordOf(DeviceObject* device) {
  uintptr_t address = 0;
  std::memcpy(&address, device->extension.data(), sizeof(address));
  return *reinterpret_cast<NodeRecord*>(address);
}

void KeepRecord(DeviceObject* device, const NodeRecord* record) {
  const auto address = reinterpret_cast<uintptr_t>(record);
  std::memcpy(device->extension.data(), &address, sizeof(address));
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
  const uint32_t nodeType = record.nodeType.load();
  std::memcpy(out, &nodeType, sizeof(nodeType));
  irp->information = kNodeInformationBytes;
  // A composite device's parent describes its interfaces, not a hub.
  if (nodeType != 0) return STATUS_SUCCESS;
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
  return STATUS_SUCCESS;
}

// USB_HCD_DRIVERKEY_NAME: the length the whole record needs, then as much of
// the UTF-16 name (with its terminator) as fits. A record too small for the
// whole name is filled as far as it goes and still succeeds: the caller asks
// again with the length it learnt (the two-call protocol).
NTSTATUS DriverKeyName(const NodeRecord& record, Irp* irp) {
  if (record.hub) return STATUS_INVALID_DEVICE_REQUEST;
  constexpr uint32_t kFixed = 4;
  if (irp->outputLength < kFixed + 2) return STATUS_BUFFER_TOO_SMALL;
  const uint64_t nameBytes = 2u * (static_cast<uint64_t>(record.driverKey.size()) + 1u);
  const uint64_t needed = kFixed + nameBytes;
  if (needed > UINT32_MAX) return STATUS_INVALID_PARAMETER;
  const auto actual = static_cast<uint32_t>(needed);
  auto* out = static_cast<uint8_t*>(irp->systemBuffer);
  std::memcpy(out, &actual, 4);
  const uint32_t room = irp->outputLength - kFixed;
  const auto copy = static_cast<uint32_t>(room < nameBytes ? room & ~1u : nameBytes);
  // The name's terminator is the string's own.
  std::memcpy(out + kFixed, record.driverKey.c_str(), copy);
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

NodeDevices::~NodeDevices() = default;

void NodeDevices::AddController(uint32_t index, const std::string& driverKey) {
  DeviceObject* device = nullptr;
  const std::u16string name = ToU16("\\Device\\USBFDO-" + std::to_string(index));
  if (!NtSuccess(kernel_.CreateDevice(controllers_, name, 0x22, 0, false, false, kExtensionBytes,
                                      &device)))
    return;
  auto record = std::make_unique<NodeRecord>();
  record->driverKey = ToU16(driverKey);
  record->subject = "\\\\.\\HCD" + std::to_string(index);
  NodeRecord* kept = record.get();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back(std::move(record));
  }
  KeepRecord(device, kept);
  kernel_.CreateLink(ToU16("\\??\\HCD" + std::to_string(index)), name);
  device->initialising = false;
}

void NodeDevices::AddHub(const std::string& instanceId, bool busPowered, uint8_t ports) {
  DeviceObject* device = nullptr;
  const std::u16string name = ToU16("\\Device\\USBHUB-" + std::to_string(nextHub_++));
  if (!NtSuccess(
          kernel_.CreateDevice(hubs_, name, 0x22, 0, false, false, kExtensionBytes, &device)))
    return;
  auto record = std::make_unique<NodeRecord>();
  record->hub = true;
  record->busPowered = busPowered;
  record->ports = ports;
  record->subject = instanceId;
  NodeRecord* kept = record.get();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back(std::move(record));
  }
  KeepRecord(device, kept);
  device->instanceId = instanceId;
  std::u16string link;
  if (NtSuccess(kernel_.RegisterInterface(device, kHubInterfaceClass, &link)))
    kernel_.SetInterfaceState(link, true);
  device->initialising = false;
}

bool NodeDevices::SetHubNodeType(const std::string& instanceId, uint32_t nodeType) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& record : records_)
    if (record->hub && record->subject == instanceId) {
      record->nodeType.store(nodeType);
      return true;
    }
  return false;
}

NTSTATUS NodeDevices::Dispatch(DeviceObject* device, Irp* irp) {
  Kernel& kernel = *device->driver->kernel;
  NTSTATUS status = STATUS_SUCCESS;
  irp->information = 0;
  switch (irp->major) {
    case IrpMajor::Create:
    case IrpMajor::Close:
    case IrpMajor::Cleanup:
      break;
    case IrpMajor::DeviceControl:
      if (irp->ioctl == IOCTL_USB_GET_NODE_INFORMATION) {
        const NodeRecord& record = RecordOf(device);
        const auto code =
            record.hub ? kernel.Injected(fault::kGetNodeInformation, record.subject) : std::nullopt;
        status = code ? static_cast<NTSTATUS>(*code) : NodeInformation(record, irp);
      } else if (irp->ioctl == IOCTL_GET_HCD_DRIVERKEY_NAME) {
        const NodeRecord& record = RecordOf(device);
        const auto code = !record.hub ? kernel.Injected(fault::kGetHcdDriverKeyName, record.subject)
                                      : std::nullopt;
        status = code ? static_cast<NTSTATUS>(*code) : DriverKeyName(record, irp);
      } else
        status = STATUS_INVALID_DEVICE_REQUEST;
      break;
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  if (!NtSuccess(status)) irp->information = 0;
  kernel.CompleteIrp(irp, status, irp->information);
  return status;
}

}  // namespace hk::usb
