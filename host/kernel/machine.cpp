#include "kernel/machine.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>

#include "tower/ids.h"

namespace hk {

using namespace tower;

namespace {

using EntryFn = NTSTATUS (*)(DriverObject*, const char16_t*);

std::string UpperAscii(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  });
  return text;
}

// The bus's own driver for the physical devices it reports: it accepts the
// requests a function driver hands down.
NTSTATUS BusDispatch(DeviceObject* device, Irp* irp) {
  Kernel& kernel = *device->driver->kernel;
  NTSTATUS status = STATUS_SUCCESS;
  switch (irp->major) {
    case IrpMajor::Create:
    case IrpMajor::Close:
    case IrpMajor::Cleanup:
    case IrpMajor::Power:
      break;
    case IrpMajor::Pnp:
      switch (irp->minor) {
        case 0x00:  // start
        case 0x01:  // query remove
        case 0x02:  // remove
        case 0x03:  // cancel remove
        case 0x04:  // stop
        case 0x05:  // query stop
        case 0x06:  // cancel stop
        case 0x17:  // surprise removal
          break;
        case 0x09:  // capabilities: the bus fills in what it knows
          if (irp->capsVersion < 1) {
            status = STATUS_INVALID_PARAMETER;
            break;
          }
          irp->capsFlags |= 1u << 6;  // UniqueID
          break;
        default:
          status = irp->status;  // not ours: leave the request as it came
          break;
      }
      break;
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  kernel.CompleteIrp(irp, status, irp->information);
  return status;
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
  nullBus_ = kernel_.CreateDriver("\\Driver\\HostBus");
  nullBus_->dispatch = &BusDispatch;
  usbHub_ = kernel_.CreateDriver("\\Driver\\usbhub");
  usbHub_->dispatch = &usb::UsbDevice::Dispatch;
  bus_ = std::make_unique<usb::Bus>();
  pnpThread_ = std::thread([this] { PnpWorker(); });
}

Machine::~Machine() { Shutdown(); }

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

void Machine::BindHardwareId(const std::string& hardwareId, const std::string& service) {
  bindings_[UpperAscii(hardwareId)] = service;
}

DeviceObject* Machine::CreatePhysical(const std::string& hardwareId, DispatchFn dispatch,
                                      size_t extensionBytes) {
  DriverObject* owner = dispatch == &BusDispatch ? nullBus_ : usbHub_;
  DeviceObject* physical = nullptr;
  kernel_.CreateDevice(owner, u"", 0x22, 0, false, false, extensionBytes, &physical);
  physical->initialising = false;
  std::lock_guard<std::mutex> lock(busMutex_);
  physical->instanceId = hardwareId + "\\" + std::to_string(nextInstance_++);
  physicals_.push_back(physical);
  return physical;
}

NTSTATUS Machine::AddAndStart(DeviceObject* physical, const std::string& hardwareId) {
  auto binding = bindings_.find(UpperAscii(hardwareId));
  DriverObject* driver = binding == bindings_.end() ? nullptr : FindDriver(binding->second);
  if (driver == nullptr || driver->addDevice == nullptr) return STATUS_NO_SUCH_DEVICE;
  NTSTATUS result = driver->addDevice(driver, physical);
  if (NtSuccess(result)) result = io_.SendPnp(physical, 0x00);
  return result;
}

DeviceObject* Machine::Plug(const std::string& hardwareId, NTSTATUS* status) {
  DeviceObject* physical = CreatePhysical(hardwareId, &BusDispatch, 0);
  const NTSTATUS result = AddAndStart(physical, hardwareId);
  if (status != nullptr) *status = result;
  return physical;
}

DeviceObject* Machine::PlugUsb(std::shared_ptr<usb::DeviceModel> model,
                               const std::string& hardwareId, NTSTATUS* status,
                               uint32_t portBudgetMa) {
  DeviceObject* physical =
      CreatePhysical(hardwareId, &usb::UsbDevice::Dispatch, sizeof(usb::UsbDevice*));
  auto device = std::make_unique<usb::UsbDevice>(kernel_, *bus_, static_cast<usb::BusOwner&>(*this),
                                                 std::move(model), portBudgetMa);
  device->SetPhysical(physical);
  *reinterpret_cast<usb::UsbDevice**>(physical->extension.data()) = device.get();
  {
    std::lock_guard<std::mutex> lock(busMutex_);
    usbDevices_.push_back(std::move(device));
  }
  const NTSTATUS result = AddAndStart(physical, hardwareId);
  if (status != nullptr) *status = result;
  return physical;
}

usb::UsbDevice* Machine::UsbDeviceOf(DeviceObject* physical) {
  if (physical->driver != usbHub_) return nullptr;
  return *reinterpret_cast<usb::UsbDevice**>(physical->extension.data());
}

void Machine::Unplug(DeviceObject* physical) {
  if (physical->deleted) return;
  // The device is gone from the wire first: what it held fails as the
  // driver's transfers would on real hardware.
  if (usb::UsbDevice* usb = UsbDeviceOf(physical)) usb->Detach();
  if (physical->attachedAbove != nullptr) {
    io_.SendPnp(physical, 0x17);
    io_.SendPnp(physical, 0x02);
  }
  kernel_.DeleteDevice(physical);
}

void Machine::RequestUnplug(DeviceObject* physical) {
  PostPnp([this, physical] { Unplug(physical); });
}

void Machine::RequestCycle(DeviceObject* physical) {
  PostPnp([this, physical] {
    usb::UsbDevice* usb = UsbDeviceOf(physical);
    if (usb == nullptr || physical->deleted) return;
    std::shared_ptr<usb::DeviceModel> model = usb->model();
    const std::string hardwareId = physical->instanceId.substr(0, physical->instanceId.rfind('\\'));
    Unplug(physical);
    PlugUsb(model, hardwareId);
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
