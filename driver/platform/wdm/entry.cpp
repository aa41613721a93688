// The driver image's entry: the loader calls DriverEntry, which hands the
// driver object to the logic and routes the kernel's calls to it.
#include "ddk.h"
#include "tower.h"

namespace {

// The kernel calls these with the standard calling convention of its own.

::NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  return tower::TowerDispatch(plat::D(device), plat::R(irp));
}

::NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical) {
  return tower::TowerAddDevice(reinterpret_cast<plat::Driver*>(driver), plat::D(physical));
}

void NTAPI Unload(PDRIVER_OBJECT driver) {
  tower::TowerUnload(reinterpret_cast<plat::Driver*>(driver));
}

// The requests the logic answers; any other reaches the kernel's default,
// which refuses it.
constexpr UCHAR kDispatched[] = {IRP_MJ_CREATE,         IRP_MJ_CLOSE,   IRP_MJ_READ,  IRP_MJ_WRITE,
                                 IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_POWER, IRP_MJ_PNP};

}  // namespace

extern "C" ::NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

extern "C" ::NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  // The logic takes terminated text; the kernel's counted string need not be.
  char16_t* path = nullptr;
  if (registryPath != nullptr && registryPath->Buffer != nullptr) {
    const size_t chars = registryPath->Length / sizeof(WCHAR);
    path =
        static_cast<char16_t*>(plat::PoolAlloc((chars + 1) * sizeof(char16_t), plat::kWdmPoolTag));
    if (path == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    plat::Copy(path, registryPath->Buffer, chars * sizeof(char16_t));
    path[chars] = 0;
  }
  const ::NTSTATUS status = tower::TowerDriverEntry(reinterpret_cast<plat::Driver*>(driver), path);
  plat::PoolFree(path);  // the logic keeps a copy of its own
  if (!NT_SUCCESS(status)) return status;

  for (const UCHAR major : kDispatched) driver->MajorFunction[major] = &Dispatch;
  driver->DriverExtension->AddDevice = &AddDevice;
  driver->DriverUnload = &Unload;
  return status;
}
