#include "kernel/machine.h"

#include <strings.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace hk {

namespace {

std::atomic<Machine*> g_machine{nullptr};

constexpr char kHtmlHelpControl[] = "hhctrl.ocx";
// The class a COM client creates the HTML help control by; its in-process
// server key names the control's file, as regsvr32 registers it.
constexpr char kHtmlHelpServerKey[] =
    "Machine\\Software\\Classes\\CLSID\\{ADB880A6-D8FF-11CF-9377-00AA003B7A11}\\InprocServer32";

std::vector<uint8_t> Sz(const std::string& text) {
  return std::vector<uint8_t>(text.c_str(), text.c_str() + text.size() + 1);
}

}  // namespace

Machine::Machine(const Options& options)
    : options_(options), identity_(IdentityOf(options.windows)), io_(kernel_) {
  kernel_.SetFaults(&faults_);
  if (identity_.Legacy()) options_.legacyRegistryLayout = true;
  std::filesystem::create_directories(options_.stateDir);
  registry_ = std::make_unique<Registry>(
      options_.registryInMemory ? std::filesystem::path() : options_.stateDir / "registry.dat");
  files_ = std::make_unique<Files>(options_.stateDir, identity_.windowsDirName);
  // A start is where the renames and deletions left for it happen, before
  // any program can hold a file.
  files_->CarryOutAtStart(*registry_, identity_.Legacy());
  kernel_.SetRegistry(registry_.get());
  // A registry without the services key is one no Windows has started from.
  if (!registry_->KeyExists(kServicesRoot)) RegisterPlatformComponents();
  registry_->CreateKey(kServicesRoot);
  registry_->CreateKey(kControlRoot);
  if (options_.legacyRegistryLayout)
    registry_->CreateKey(std::string(kServicesRoot) + "\\Class");
  else
    registry_->CreateKey(std::string(kControlRoot) + "\\Class");
  loader_ = std::make_unique<DriverLoader>(kernel_);
  pnp_ = std::make_unique<PnpManager>(kernel_, tree_, *registry_, io_, *loader_,
                                      options_.legacyRegistryLayout);
  topology_ = std::make_unique<UsbTopology>(kernel_, tree_, io_, *pnp_);
  // Devices find their drivers in the installed packages; XP and later take
  // the models decorated for NTx86.
  const bool ntDecorated = !identity_.Legacy() &&
                           (identity_.major > 5 || (identity_.major == 5 && identity_.minor >= 1));
  infs_ = std::make_unique<InfStore>(*files_, *registry_, !identity_.Legacy(), ntDecorated);
  pnp_->SetBindingSource(
      [this](const DevNode& node, DriverBinding* binding) { return infs_->Bind(node, binding); });
  pnp_->LoadEnumKeys();
  for (uint32_t i = 0; i < options_.hostControllers; ++i) topology_->AddHostController();
  Machine* expected = nullptr;
  g_machine.compare_exchange_strong(expected, this);
}

std::string Machine::SystemDirectory() const {
  return files_->WindowsDirectory() + (identity_.Legacy() ? "\\SYSTEM" : "\\System32");
}

bool Machine::IsPlatformModule(const std::string& fileName) {
  return strcasecmp(fileName.c_str(), kHtmlHelpControl) == 0;
}

bool Machine::HasPlatformModule(const std::string& fileName) const {
  return IsPlatformModule(fileName) && identity_.HasHtmlHelp();
}

// What setup of Windows itself registers, once, on a fresh installation: a
// later start keeps whatever has been changed or removed since.
void Machine::RegisterPlatformComponents() {
  if (!identity_.HasHtmlHelp()) return;
  registry_->CreateKey(kHtmlHelpServerKey);
  registry_->SetValue(kHtmlHelpServerKey, "", kRegSz,
                      Sz(SystemDirectory() + "\\" + kHtmlHelpControl));
  registry_->SetValue(kHtmlHelpServerKey, "ThreadingModel", kRegSz, Sz("Apartment"));
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
  pnp_->Stop();
  topology_->UnplugAll();
  io_.ForcePendingRemovals();
  topology_->bus().Drain();
  loader_->UnloadAll();
  for (const std::string& request : kernel_.LiveRequests())
    kernel_.verifier().Report(request + " was never completed");
  return kernel_.verifier().Take();
}

NTSTATUS Machine::LoadDriver(const std::string& service, const std::filesystem::path& module) {
  return loader_->Load(service, module);
}

void Machine::UnloadDriver(const std::string& service) { loader_->Unload(service); }

DriverObject* Machine::FindDriver(const std::string& service) { return loader_->Find(service); }

void Machine::BindHardwareId(const std::string& hardwareId, const std::string& service,
                             const std::string& description, const std::string& provider,
                             const std::string& version) {
  DriverBinding binding;
  binding.service = service;
  binding.description = description;
  binding.provider = provider;
  binding.version = version;
  pnp_->Bind(hardwareId, binding);
}

DevNode* Machine::AddHostController(uint8_t ports) { return topology_->AddHostController(ports); }

DevNode* Machine::AddHostController(const HostControllerOptions& options) {
  return topology_->AddHostController(options);
}

bool Machine::SetHubNodeType(const DevNode* hub, uint32_t nodeType) {
  return topology_->SetHubNodeType(hub, nodeType);
}

DevNode* Machine::AddHub(DevNode* parentHub, uint8_t port, bool selfPowered, uint8_t ports) {
  return topology_->AddHub(parentHub, port, selfPowered, ports);
}

DeviceObject* Machine::PlugUsbAt(DevNode* hub, uint8_t port,
                                 const std::shared_ptr<usb::DeviceModel>& model, NTSTATUS* status) {
  return topology_->PlugUsbAt(hub, port, model, status);
}

DeviceObject* Machine::PlugUsb(const std::shared_ptr<usb::DeviceModel>& model,
                               const std::string& hardwareId, NTSTATUS* status) {
  (void)hardwareId;  // the device's own descriptor names it
  return topology_->PlugUsb(model, status);
}

void Machine::Reenumerate() {
  topology_->RediscoverParked();
  pnp_->Reenumerate();
}

bool Machine::RemoveDevice(DevNode* node) {
  DeviceObject* physical = nullptr;
  {
    std::lock_guard<std::recursive_mutex> lock(tree_.mutex());
    if (node == nullptr || node->removed || node->kind != NodeKind::Device) return false;
    physical = node->present ? node->physical : nullptr;
  }
  if (physical != nullptr) {
    // The entry goes once the stack is gone (after the last handle closed).
    topology_->RemoveAndPark(physical, [this, node] { pnp_->RemoveEntry(node); });
    return true;
  }
  pnp_->RemoveEntry(node);
  return true;
}

bool Machine::Sleep(uint32_t systemState) { return pnp_->Sleep(systemState); }

void Machine::Unplug(DeviceObject* physical, const std::function<void()>& gone) {
  topology_->Unplug(physical, gone);
}

usb::UsbDevice* Machine::UsbDeviceOf(DeviceObject* physical) {
  return topology_->UsbDeviceOf(physical);
}

void Machine::SettlePnp() { pnp_->Settle(); }

}  // namespace hk
