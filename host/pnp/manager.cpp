#include "pnp/manager.h"

#include <algorithm>
#include <cstdio>

#include "tower/ntstatus.h"

namespace hk {

using namespace tower;

std::string UpperAscii(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  });
  return text;
}

namespace {

constexpr char kUsbClassGuid[] = "{36FC9E60-C465-11CF-8056-444553540000}";

std::string Hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof(text), "%0*X", digits, value);
  return text;
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

// The legacy family's registry has no multi-string type: its lists of ids
// are one string, the items separated by commas.
std::string CommaList(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) {
    if (!out.empty()) out += ',';
    out += item;
  }
  return out;
}

// A list of ids in either family's form: NUL-separated items of a
// multi-string, or comma-separated items of a string.
std::vector<std::string> IdList(const Registry::Value& value) {
  const bool multi = value.type == kRegMultiSz;
  std::vector<std::string> items;
  std::string item;
  for (uint8_t c : value.data) {
    if (c != 0 && (multi || c != ',')) {
      item += static_cast<char>(c);
      continue;
    }
    if (!item.empty()) items.push_back(item);
    item.clear();
    if (c == 0 && !multi) return items;  // a string ends at its NUL
  }
  if (!item.empty()) items.push_back(item);
  return items;
}

bool SameIdText(const std::string& a, const std::string& b) {
  return UpperAscii(a) == UpperAscii(b);
}

}  // namespace

PnpManager::PnpManager(Kernel& kernel, DeviceTree& tree, Registry& registry, IoManager& io,
                       DriverLoader& loader, bool legacyRegistryLayout)
    : kernel_(kernel),
      tree_(tree),
      registry_(registry),
      io_(io),
      loader_(loader),
      legacyLayout_(legacyRegistryLayout),
      enumRoot_(legacyRegistryLayout ? kLegacyEnumRoot : kEnumRoot) {
  thread_ = std::thread([this] { Worker(); });
}

PnpManager::~PnpManager() { Stop(); }

void PnpManager::Bind(const std::string& hardwareId, const DriverBinding& binding) {
  std::lock_guard<std::mutex> lock(bindingMutex_);
  DriverBinding b = binding;
  if (b.description.empty()) b.description = b.service;
  bindings_[UpperAscii(hardwareId)] = b;
}

void PnpManager::SetBindingSource(std::function<bool(const DevNode&, DriverBinding*)> source) {
  std::lock_guard<std::mutex> lock(bindingMutex_);
  source_ = std::move(source);
}

bool PnpManager::FindBinding(const DevNode* node, DriverBinding* binding) {
  std::function<bool(const DevNode&, DriverBinding*)> source;
  {
    std::lock_guard<std::mutex> lock(bindingMutex_);
    for (const std::string& id : node->hardwareIds) {
      auto it = bindings_.find(UpperAscii(id));
      if (it != bindings_.end()) {
        *binding = it->second;
        return true;
      }
    }
    source = source_;
  }
  return source && source(*node, binding);
}

void PnpManager::WriteEnumKey(const DevNode* node) {
  const std::string key = enumRoot_ + "\\" + node->instanceId;
  registry_.CreateKey(key);
  if (!legacyLayout_) {
    registry_.SetValue(key, "HardwareID", kRegMultiSz, MultiSz(node->hardwareIds));
    registry_.SetValue(key, "DeviceDesc", kRegSz, Sz(node->description));
    if (!node->service.empty()) registry_.SetValue(key, "Service", kRegSz, Sz(node->service));
    if (!node->driverKey.empty()) registry_.SetValue(key, "Driver", kRegSz, Sz(node->driverKey));
    return;
  }
  // The legacy family's hardware key: strings only, the setup class and
  // manufacturer by name, and no service: the driver is found through the
  // Driver value, its key under Services\Class.
  registry_.SetValue(key, "HardwareID", kRegSz, Sz(CommaList(node->hardwareIds)));
  registry_.SetValue(key, "DeviceDesc", kRegSz, Sz(node->description));
  if (!node->className.empty()) registry_.SetValue(key, "Class", kRegSz, Sz(node->className));
  if (!node->manufacturer.empty()) registry_.SetValue(key, "Mfg", kRegSz, Sz(node->manufacturer));
  if (!node->driverKey.empty()) registry_.SetValue(key, "Driver", kRegSz, Sz(node->driverKey));
}

void PnpManager::RecordBusDevice(const DevNode* node) {
  if (!legacyLayout_) return;
  std::lock_guard<std::recursive_mutex> lock(tree_.mutex());
  WriteEnumKey(node);
  RecordInterfaces(node);
}

void PnpManager::RecordInterfaces(const DevNode* node) {
  if (!legacyLayout_) return;
  for (const DeviceInterface& i : kernel_.Interfaces("", false)) {
    if (!SameIdText(i.instanceId, node->instanceId)) continue;
    // The interface's key is named by its user-mode path "\\?\usb#...#{guid}"
    // with '#' for each '\' and the instance part spelt as the device's id
    // is; the path itself is kept under the key's "#" subkey.
    std::string path = ToU8(i.link);
    if (path.rfind("\\??\\", 0) == 0) path = "\\\\?\\" + path.substr(4);
    std::string name = "##?#" + node->instanceId + "#" + i.classGuid;
    std::replace(name.begin(), name.end(), '\\', '#');
    const std::string key = std::string(kDeviceClassesRoot) + "\\" + i.classGuid + "\\" + name;
    registry_.CreateKey(key + "\\#");
    registry_.SetValue(key, "DeviceInstance", kRegSz, Sz(node->instanceId));
    registry_.SetValue(key + "\\#", "SymbolicLink", kRegSz, Sz(path));
  }
}

void PnpManager::LoadEnumKeys() {
  const std::string usb = enumRoot_ + "\\USB";
  for (const std::string& device : registry_.SubKeys(usb)) {
    if (device.rfind("ROOT_HUB", 0) == 0) continue;
    std::string deviceKey = usb;
    deviceKey.append("\\").append(device);
    for (const std::string& instance : registry_.SubKeys(deviceKey)) {
      std::string key = deviceKey;
      key.append("\\").append(instance);
      std::string instanceId = "USB\\";
      instanceId.append(device).append("\\").append(instance);
      DevNode* node = tree_.Add(tree_.Root(), NodeKind::Device, instanceId);
      auto text = [&](const char* name) {
        auto value = registry_.GetValue(key, name);
        if (!value || value->data.empty()) return std::string();
        return std::string(reinterpret_cast<const char*>(value->data.data()));
      };
      node->description = text("DeviceDesc");
      node->service = text("Service");
      node->driverKey = text("Driver");
      node->className = text("Class");
      node->manufacturer = text("Mfg");
      if (auto ids = registry_.GetValue(key, "HardwareID")) node->hardwareIds = IdList(*ids);
    }
  }
}

std::string PnpManager::NewDriverKey() {
  std::lock_guard<std::recursive_mutex> lock(tree_.mutex());
  const std::string classRoot =
      std::string(legacyLayout_ ? kServicesRoot : kControlRoot) + "\\Class\\";
  // The count starts again with every start, but entries kept from an
  // earlier one still hold their keys: a new key is one nobody holds.
  for (;;) {
    std::string key = std::string(kUsbClassGuid) + "\\" + Hex(nextDriverKey_++, 4);
    bool held = registry_.KeyExists(classRoot + key);
    for (const DevNode* node : tree_.Nodes())
      held = held || (!node->removed && SameIdText(node->driverKey, key));
    if (!held) return key;
  }
}

void PnpManager::RemoveEntry(DevNode* node) {
  std::lock_guard<std::recursive_mutex> lock(tree_.mutex());
  registry_.DeleteTree(enumRoot_ + "\\" + node->instanceId);
  if (!node->driverKey.empty())
    registry_.DeleteTree(std::string(legacyLayout_ ? kServicesRoot : kControlRoot) + "\\Class\\" +
                         node->driverKey);
  node->removed = true;
  node->present = false;
  node->status = 0;
  node->problem = 0;
}

NTSTATUS PnpManager::AddAndStart(DeviceObject* physical, DevNode* node) {
  std::lock_guard<std::recursive_mutex> configuring(configureMutex_);
  DriverBinding binding;
  const bool bound = FindBinding(node, &binding);
  DriverObject* driver = bound ? loader_.Find(binding.service) : nullptr;
  // The driver a package names is loaded with its first device.
  if (bound && driver == nullptr && !binding.image.empty()) {
    // The host's build of a driver image stands in for it where one is known.
    std::filesystem::path module = loader_.ModuleOfImage(binding.image);
    if (module.empty()) module = binding.imageFile;
    if (!module.empty() && NtSuccess(loader_.Load(binding.service, module)))
      driver = loader_.Find(binding.service);
  }
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
    node->service = binding.service;
    if (node->driverKey.empty()) {
      node->driverKey = NewDriverKey();
      const std::string key =
          std::string(legacyLayout_ ? kServicesRoot : kControlRoot) + "\\Class\\" + node->driverKey;
      registry_.CreateKey(key);
      registry_.SetValue(key, "DriverDesc", 1, Sz(binding.description));
      registry_.SetValue(key, "ProviderName", 1, Sz(binding.provider));
      registry_.SetValue(key, "DriverVersion", 1, Sz(binding.version));
    }
    node->description = binding.description;
    node->manufacturer = binding.manufacturer;
    // The driver key is one of the USB class's.
    node->className = binding.className.empty() ? "USB" : binding.className;
  }
  NTSTATUS result = driver->addDevice(driver, physical);
  // An interface is recorded once registered, whether or not the add or
  // the start then fails.
  RecordInterfaces(node);
  if (!NtSuccess(result)) return problem(CM_PROB_FAILED_ADD, result);
  if (afterAdd_) afterAdd_(physical);
  uint32_t caps = 0;
  io_.QueryCapabilities(physical, 1, &caps);
  result = io_.SendPnp(physical, 0x00);
  RecordInterfaces(node);
  if (!NtSuccess(result)) return problem(CM_PROB_FAILED_START, result);
  std::lock_guard<std::recursive_mutex> lock(tree_.mutex());
  node->problem = 0;
  node->status = DN_DRIVER_LOADED | DN_STARTED | DN_NT_ENUMERATOR | DN_NT_DRIVER | DN_DISABLEABLE |
                 ((caps & (1u << 4)) != 0 ? DN_REMOVABLE : 0);
  WriteEnumKey(node);
  return result;
}

void PnpManager::Reenumerate() {
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

bool PnpManager::Sleep(uint32_t systemState) {
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

void PnpManager::Post(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stop_) return;
    queue_.push_back(std::move(work));
  }
  cv_.notify_all();
}

void PnpManager::Settle() {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [this] { return queue_.empty() && busy_ == 0; });
}

void PnpManager::Stop() {
  Settle();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void PnpManager::Worker() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    cv_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (queue_.empty()) return;
    std::function<void()> work = std::move(queue_.front());
    queue_.pop_front();
    ++busy_;
    lock.unlock();
    work();
    lock.lock();
    --busy_;
    cv_.notify_all();
  }
}

}  // namespace hk
