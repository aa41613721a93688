// The driver's entry on the host machine: the loader finds DriverEntry by name.
#include "kernel/kernel.h"
#include "platform/platform.h"
#include "tower.h"

namespace {

tower::NTSTATUS Dispatch(hk::DeviceObject* device, hk::Irp* irp) {
  return tower::TowerDispatch(reinterpret_cast<plat::Device*>(device),
                              reinterpret_cast<plat::Request*>(irp));
}

tower::NTSTATUS AddDevice(hk::DriverObject* driver, hk::DeviceObject* physical) {
  return tower::TowerAddDevice(reinterpret_cast<plat::Driver*>(driver),
                               reinterpret_cast<plat::Device*>(physical));
}

void Unload(hk::DriverObject* driver) {
  tower::TowerUnload(reinterpret_cast<plat::Driver*>(driver));
}

}  // namespace

extern "C" __attribute__((visibility("default"))) tower::NTSTATUS DriverEntry(
    hk::DriverObject* driver, const char16_t* registryPath);

extern "C" tower::NTSTATUS DriverEntry(hk::DriverObject* driver, const char16_t* registryPath) {
  const tower::NTSTATUS status =
      tower::TowerDriverEntry(reinterpret_cast<plat::Driver*>(driver), registryPath);
  if (!tower::NtSuccess(status)) return status;
  driver->dispatch = &Dispatch;
  driver->addDevice = &AddDevice;
  driver->unload = &Unload;
  return status;
}
