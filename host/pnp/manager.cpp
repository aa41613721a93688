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

}  // namespace

PnpManager::PnpManager(DeviceTree& tree, Registry& registry, IoManager& io, DriverLoader& loader,
                       bool legacyRegistryLayout)
    : tree_(tree),
      registry_(registry),
      io_(io),
      loader_(loader),
      legacyLayout_(legacyRegistryLayout),
      enumRoot_(legacyRegistryLayout ? "Machine\\Enum" : kEnumRoot) {
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
  registry_.SetValue(key, "HardwareID", 7, MultiSz(node->hardwareIds));
  registry_.SetValue(key, "DeviceDesc", 1, Sz(node->description));
  if (!node->service.empty()) registry_.SetValue(key, "Service", 1, Sz(node->service));
  if (!node->driverKey.empty()) registry_.SetValue(key, "Driver", 1, Sz(node->driverKey));
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
      if (auto ids = registry_.GetValue(key, "HardwareID")) {
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

std::string PnpManager::NewDriverKey() {
  std::lock_guard<std::recursive_mutex> lock(tree_.mutex());
  return std::string(kUsbClassGuid) + "\\" + Hex(nextDriverKey_++, 4);
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
