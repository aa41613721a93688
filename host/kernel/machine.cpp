#include "kernel/machine.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>

#include "tower/ids.h"

namespace hk {

using namespace tower;

namespace {

using EntryFn = NTSTATUS (*)(DriverObject*, const char16_t*);

std::atomic<Machine*> g_machine{nullptr};

std::string UpperAscii(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  });
  return text;
}

}  // namespace

Machine::Machine(const Options& options) : options_(options), io_(kernel_) {
  std::filesystem::create_directories(options_.stateDir);
  registry_ = std::make_unique<Registry>(options_.stateDir / "registry.dat");
  kernel_.SetRegistry(registry_.get());
  registry_->CreateKey(kServicesRoot);
  registry_->CreateKey(kControlRoot);
  if (options_.legacyRegistryLayout)
    registry_->CreateKey(std::string(kServicesRoot) + "\\Class");
  else
    registry_->CreateKey(std::string(kControlRoot) + "\\Class");
  usbHub_ = kernel_.CreateDriver("\\Driver\\usbhub");
  usbHub_->dispatch = &usb::UsbDevice::Dispatch;
  bus_ = std::make_unique<usb::Bus>();
  nodeDevices_ = std::make_unique<usb::NodeDevices>(kernel_);
  LoadEnumKeys();
  AddHostController();
  pnpThread_ = std::thread([this] { PnpWorker(); });
  Machine* expected = nullptr;
  g_machine.compare_exchange_strong(expected, this);
}

Machine& Machine::Current() {
  Machine* machine = g_machine.load();
  if (machine == nullptr) {
    std::fprintf(stderr, "host machine: none is running\n");
    std::abort();
  }
  return *machine;
}

Machine* Machine::CurrentOrNull() { return g_machine.load(); }

Machine::~Machine() {
  Shutdown();
  Machine* self = this;
  g_machine.compare_exchange_strong(self, nullptr);
}

std::vector<std::string> Machine::Shutdown() {
  if (shutDown_) return {};
  shutDown_ = true;
  SettlePnp();
  {
    std::lock_guard<std::mutex> lock(pnpMutex_);
    pnpStop_ = true;
  }
  pnpCv_.notify_all();
  pnpThread_.join();
  std::vector<DeviceObject*> physicals;
  {
    std::lock_guard<std::mutex> lock(busMutex_);
    physicals = physicals_;
  }
  for (DeviceObject* physical : physicals)
    if (!physical->deleted) Unplug(physical);
  io_.ForcePendingRemovals();
  bus_->Drain();
  while (!drivers_.empty()) UnloadDriver(drivers_.begin()->first);
  for (const std::string& request : kernel_.LiveRequests())
    kernel_.verifier().Report(request + " was never completed");
  return kernel_.verifier().Take();
}

NTSTATUS Machine::LoadDriver(const std::string& service, const std::filesystem::path& module) {
  void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "machine: cannot load %s: %s\n", module.c_str(), dlerror());
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  auto entry = reinterpret_cast<EntryFn>(dlsym(handle, "DriverEntry"));
  if (entry == nullptr) {
    dlclose(handle);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  DriverObject* driver = kernel_.CreateDriver("\\Driver\\" + service);
  const std::u16string path =
      ToU16("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service);
  const NTSTATUS status = entry(driver, path.c_str());
  if (!NtSuccess(status)) {
    kernel_.DeleteDriver(driver);
    dlclose(handle);
    return status;
  }
  drivers_[service] = LoadedDriver{handle, driver};
  return status;
}

void Machine::UnloadDriver(const std::string& service) {
  auto it = drivers_.find(service);
  if (it == drivers_.end()) return;
  DriverObject* driver = it->second.driver;
  if (driver->unload != nullptr) driver->unload(driver);
  kernel_.CheckPoolEmpty(kPoolTag, "driver " + service);
  kernel_.DeleteDriver(driver);
  dlclose(it->second.module);
  drivers_.erase(it);
}

DriverObject* Machine::FindDriver(const std::string& service) {
  auto it = drivers_.find(service);
  return it == drivers_.end() ? nullptr : it->second.driver;
}

void Machine::BindHardwareId(const std::string& hardwareId, const std::string& service,
                             const std::string& description, const std::string& provider,
                             const std::string& version) {
  std::lock_guard<std::mutex> lock(busMutex_);
  bindings_[UpperAscii(hardwareId)] =
      Binding{service, description.empty() ? service : description, provider, version};
}

const Machine::Binding* Machine::FindBinding(const DevNode* node) {
  std::lock_guard<std::mutex> lock(busMutex_);
  for (const std::string& id : node->hardwareIds) {
    auto it = bindings_.find(UpperAscii(id));
    if (it != bindings_.end()) return &it->second;
  }
  return nullptr;
}

namespace {

constexpr char kUsbClassGuid[] = "{36FC9E60-C465-11CF-8056-444553540000}";
constexpr char kEnumRoot[] = "Machine\\System\\CurrentControlSet\\Enum";

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

std::vector<uint8_t> MultiSz(const std::vector<std::string>& items) {
  std::vector<uint8_t> out;
  for (const auto& item : items) {
    out.insert(out.end(), item.begin(), item.end());
    out.push_back(0);
  }
  out.push_back(0);
  return out;
}

std::vector<uint8_t> Sz(const std::string& text) {
  std::vector<uint8_t> out(text.begin(), text.end());
  out.push_back(0);
  return out;
}

}  // namespace

void Machine::WriteEnumKey(const DevNode* node) {
  const std::string key = std::string(kEnumRoot) + "\\" + node->instanceId;
  registry_->CreateKey(key);
  registry_->SetValue(key, "HardwareID", 7, MultiSz(node->hardwareIds));
  registry_->SetValue(key, "DeviceDesc", 1, Sz(node->description));
  if (!node->service.empty()) registry_->SetValue(key, "Service", 1, Sz(node->service));
  if (!node->driverKey.empty()) registry_->SetValue(key, "Driver", 1, Sz(node->driverKey));
}

// Devices installed before survive a reboot as nodes that are not present.
void Machine::LoadEnumKeys() {
  const std::string usb = std::string(kEnumRoot) + "\\USB";
  for (const std::string& device : registry_->SubKeys(usb)) {
    if (device.rfind("ROOT_HUB", 0) == 0) continue;
    for (const std::string& instance : registry_->SubKeys(usb + "\\" + device)) {
      const std::string key = usb + "\\" + device + "\\" + instance;
      DevNode* node = tree_.Add(tree_.Root(), NodeKind::Device, "USB\\" + device + "\\" + instance);
      auto text = [&](const char* name) {
        auto value = registry_->GetValue(key, name);
        if (!value || value->data.empty()) return std::string();
        return std::string(reinterpret_cast<const char*>(value->data.data()));
      };
      node->description = text("DeviceDesc");
      node->service = text("Service");
      node->driverKey = text("Driver");
      if (auto ids = registry_->GetValue(key, "HardwareID")) {
        std::string item;
        for (uint8_t c : ids->data) {
          if (c != 0) {
            item += static_cast<char>(c);
          } else if (!item.empty()) {
            node->hardwareIds.push_back(item);
            item.clear();
          }
        }
      }
    }
  }
}

Machine::Hub* Machine::HubOf(const DevNode* node) {
  for (auto& hub : hubs_)
    if (hub->node == node) return hub.get();
  return nullptr;
}

DevNode* Machine::AddHostController(uint8_t ports) {
  std::lock_guard<std::recursive_mutex> treeLock(tree_.mutex());
  const uint32_t index = nextController_++;
  DevNode* controller = tree_.Add(
      tree_.Root(), NodeKind::HostController,
      "PCI\\VEN_8086&DEV_7112&SUBSYS_00000000&REV_01\\3&267A616A&0&" + Hex(0x10 + index, 2));
  controller->hardwareIds = {"PCI\\VEN_8086&DEV_7112&SUBSYS_00000000&REV_01",
                             "PCI\\VEN_8086&DEV_7112"};
  controller->description = "Host USB Universal Host Controller";
  controller->service = "usbuhci";
  controller->present = true;
  controller->status = DN_DRIVER_LOADED | DN_STARTED | DN_NT_ENUMERATOR | DN_NT_DRIVER;
  controller->symbolicName = "\\\\.\\HCD" + std::to_string(index);
  // The controller's driver key, which \\.\HCDn names to user mode. (Its
  // class key is not written: nothing here reads it.)
  controller->driverKey = std::string(kUsbClassGuid) + "\\" + Hex(nextDriverKey_++, 4);
  nodeDevices_->AddController(index, controller->driverKey);
  DevNode* root = tree_.Add(controller, NodeKind::RootHub,
                            "USB\\ROOT_HUB\\4&" + Hex(PlaceHash(controller->instanceId), 8) + "&0");
  root->hardwareIds = {"USB\\ROOT_HUB"};
  root->description = "USB Root Hub";
  root->service = "usbhub";
  root->present = true;
  root->status = controller->status;
  AddHubRecord(root, true, true, ports);
  nodeDevices_->AddHub(root->instanceId, false, ports);
  return root;
}

void Machine::AddHubRecord(DevNode* node, bool root, bool selfPowered, uint8_t ports) {
  auto hub = std::make_unique<Hub>();
  hub->node = node;
  hub->root = root;
  hub->selfPowered = selfPowered;
  hub->ports.assign(ports, nullptr);
  hubs_.push_back(std::move(hub));
}

DevNode* Machine::AddHub(DevNode* parentHub, uint8_t port, bool selfPowered, uint8_t ports) {
  std::lock_guard<std::recursive_mutex> treeLock(tree_.mutex());
  Hub* parent = HubOf(parentHub);
  if (parent == nullptr || port == 0 || port > parent->ports.size()) return nullptr;
  DevNode* node =
      tree_.Add(parentHub, NodeKind::Hub,
                "USB\\VID_05E3&PID_0608\\5&" + Hex(PlaceHash(parentHub->instanceId), 8) + "&0&" +
                    std::to_string(port));
  node->hardwareIds = {"USB\\VID_05E3&PID_0608&REV_0100", "USB\\VID_05E3&PID_0608"};
  node->description = "Generic USB Hub";
  node->service = "usbhub";
  node->present = true;
  node->port = port;
  node->status = DN_DRIVER_LOADED | DN_STARTED | DN_NT_ENUMERATOR | DN_NT_DRIVER | DN_REMOVABLE;
  AddHubRecord(node, false, selfPowered, ports);
  nodeDevices_->AddHub(node->instanceId, !selfPowered, ports);
  return node;
}

NTSTATUS Machine::AddAndStart(DeviceObject* physical, DevNode* node) {
  const Binding* binding = FindBinding(node);
  DriverObject* driver = binding == nullptr ? nullptr : FindDriver(binding->service);
  auto problem = [&](uint32_t number, NTSTATUS status) {
    std::lock_guard<std::recursive_mutex> lock(tree_.mutex());
    node->status = DN_HAS_PROBLEM | DN_NT_ENUMERATOR;
    node->problem = number;
    WriteEnumKey(node);
    return status;
  };
  if (driver == nullptr || driver->addDevice == nullptr)
    return problem(CM_PROB_FAILED_INSTALL, STATUS_NO_SUCH_DEVICE);
  {
    std::lock_guard<std::recursive_mutex> lock(tree_.mutex());
    node->service = binding->service;
    if (node->driverKey.empty()) {
      node->driverKey = std::string(kUsbClassGuid) + "\\" + Hex(nextDriverKey_++, 4);
      const std::string key =
          std::string(options_.legacyRegistryLayout ? kServicesRoot : kControlRoot) + "\\Class\\" +
          node->driverKey;
      registry_->CreateKey(key);
      registry_->SetValue(key, "DriverDesc", 1, Sz(binding->description));
      registry_->SetValue(key, "ProviderName", 1, Sz(binding->provider));
      registry_->SetValue(key, "DriverVersion", 1, Sz(binding->version));
    }
    node->description = binding->description;
  }
  NTSTATUS result = driver->addDevice(driver, physical);
  if (!NtSuccess(result)) return problem(CM_PROB_FAILED_ADD, result);
  uint32_t caps = 0;
  io_.QueryCapabilities(physical, 1, &caps);
  result = io_.SendPnp(physical, 0x00);
  if (!NtSuccess(result)) return problem(CM_PROB_FAILED_START, result);
  std::lock_guard<std::recursive_mutex> lock(tree_.mutex());
  node->problem = 0;
  node->status = DN_DRIVER_LOADED | DN_STARTED | DN_NT_ENUMERATOR | DN_NT_DRIVER | DN_DISABLEABLE |
                 ((caps & (1u << 4)) != 0 ? DN_REMOVABLE : 0);
  WriteEnumKey(node);
  return result;
}

DeviceObject* Machine::CreatePhysical(const std::string& instanceId, size_t extensionBytes) {
  DeviceObject* physical = nullptr;
  kernel_.CreateDevice(usbHub_, u"", 0x22, 0, false, false, extensionBytes, &physical);
  physical->initialising = false;
  physical->instanceId = instanceId;
  std::lock_guard<std::mutex> lock(busMutex_);
  physicals_.push_back(physical);
  return physical;
}

DeviceObject* Machine::PlugUsbAt(DevNode* hubNode, uint8_t port,
                                 std::shared_ptr<usb::DeviceModel> model, NTSTATUS* status) {
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
        kernel_, *bus_, static_cast<usb::BusOwner&>(*this), model, budget);
    usbDevice->SetPhysical(physical);
    *reinterpret_cast<usb::UsbDevice**>(physical->extension.data()) = usbDevice.get();
    std::lock_guard<std::mutex> lock(busMutex_);
    usbDevices_.push_back(std::move(usbDevice));
    hub->ports[port - 1] = physical;
    attachments_[physical] = Attachment{hub, port, model};
    node->physical = physical;
  }
  const NTSTATUS result = AddAndStart(physical, node);
  if (status != nullptr) *status = result;
  return physical;
}

DeviceObject* Machine::PlugUsb(std::shared_ptr<usb::DeviceModel> model,
                               const std::string& hardwareId, NTSTATUS* status) {
  (void)hardwareId;  // the device's own descriptor names it
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

usb::UsbDevice* Machine::UsbDeviceOf(DeviceObject* physical) {
  if (physical->driver != usbHub_) return nullptr;
  return *reinterpret_cast<usb::UsbDevice**>(physical->extension.data());
}

void Machine::Unplug(DeviceObject* physical, std::function<void()> gone) {
  {
    std::lock_guard<std::mutex> lock(busMutex_);
    if (physical->deleted || !unplugged_.insert(physical).second) return;
  }
  // The device is gone from the wire first: what it held fails as the
  // driver's transfers would on real hardware.
  if (usb::UsbDevice* usb = UsbDeviceOf(physical)) usb->Detach();
  if (physical->attachedAbove == nullptr) {
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

void Machine::FinishRemoval(DeviceObject* physical) {
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

void Machine::Reenumerate() {
  for (DevNode* node : tree_.Nodes()) {
    DeviceObject* physical = nullptr;
    {
      std::lock_guard<std::recursive_mutex> lock(tree_.mutex());
      if (node->kind != NodeKind::Device || !node->present || node->physical == nullptr) continue;
      if (node->physical->attachedAbove != nullptr) continue;
      physical = node->physical;
    }
    AddAndStart(physical, node);
  }
}

bool Machine::Sleep(uint32_t systemState) {
  std::vector<DeviceObject*> started;
  for (DevNode* node : tree_.Nodes()) {
    std::lock_guard<std::recursive_mutex> lock(tree_.mutex());
    if (node->present && node->physical != nullptr && node->physical->attachedAbove != nullptr)
      started.push_back(node->physical);
  }
  constexpr uint8_t kQueryPower = 3;
  constexpr uint8_t kSetPower = 2;
  constexpr uint32_t kWorking = 1;
  std::vector<DeviceObject*> asked;
  bool vetoed = false;
  for (DeviceObject* physical : started) {
    asked.push_back(physical);
    if (!NtSuccess(io_.SendPower(physical, kQueryPower, 0, systemState))) {
      vetoed = true;
      break;
    }
  }
  if (!vetoed)
    for (DeviceObject* physical : started) io_.SendPower(physical, kSetPower, 0, systemState);
  // Awake again (or never gone): every device asked learns the system works.
  for (DeviceObject* physical : vetoed ? asked : started)
    io_.SendPower(physical, kSetPower, 0, kWorking);
  return !vetoed;
}

void Machine::RequestUnplug(DeviceObject* physical) {
  PostPnp([this, physical] { Unplug(physical); });
}

void Machine::RequestCycle(DeviceObject* physical) {
  PostPnp([this, physical] {
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
      PostPnp([this, place] { PlugUsbAt(place.hub->node, place.port, place.model); });
    });
  });
}

void Machine::PostPnp(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(pnpMutex_);
    if (pnpStop_) return;
    pnpQueue_.push_back(std::move(work));
  }
  pnpCv_.notify_all();
}

void Machine::SettlePnp() {
  std::unique_lock<std::mutex> lock(pnpMutex_);
  pnpCv_.wait(lock, [this] { return pnpQueue_.empty() && pnpBusy_ == 0; });
}

void Machine::PnpWorker() {
  std::unique_lock<std::mutex> lock(pnpMutex_);
  for (;;) {
    pnpCv_.wait(lock, [this] { return pnpStop_ || !pnpQueue_.empty(); });
    if (pnpQueue_.empty()) return;
    std::function<void()> work = std::move(pnpQueue_.front());
    pnpQueue_.pop_front();
    ++pnpBusy_;
    lock.unlock();
    work();
    lock.lock();
    --pnpBusy_;
    pnpCv_.notify_all();
  }
}

}  // namespace hk
