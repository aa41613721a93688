// Driver load and unload, unit numbers, and the creation and destruction of
// a tower's device.
#include "device.h"
#include "tower.h"

namespace tower {

void ZeroBytes(void* block, size_t bytes) {
  auto* p = static_cast<volatile uint8_t*>(block);
  for (size_t i = 0; i < bytes; ++i) p[i] = 0;
}

void CopyBytes(void* to, const void* from, size_t bytes) {
  // The image's own memcpy in the kernel, the C library's on the host: a
  // packet is copied twice on its way to a read, and a loop of byte moves
  // costs several instructions a byte. An empty copy may come with a null
  // pointer (a ring of size 0), which memcpy must never be given.
  if (bytes != 0) __builtin_memcpy(to, from, bytes);
}

namespace {

size_t Length16(const char16_t* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

TowerDriver* DriverState(plat::Driver* driver) {
  return static_cast<TowerDriver*>(plat::DriverGetContext(driver));
}

// Under the legacy registry layout the device classes live under the services
// key, and links are made under \DosDevices\ instead of \??\ .
bool DetectLegacyLayout() {
  plat::RegKey* control = nullptr;
  plat::RegKey* services = nullptr;
  const bool controlOpened = NtSuccess(
      plat::RegOpenKey(plat::RegRoot::Control, u"Class", plat::kKeyRead, false, &control));
  const bool servicesOpened = NtSuccess(
      plat::RegOpenKey(plat::RegRoot::Services, u"Class", plat::kKeyRead, false, &services));
  if (controlOpened) plat::RegClose(control);
  if (servicesOpened) plat::RegClose(services);
  return !controlOpened && servicesOpened;
}

}  // namespace

void TowerDeleteDevice(TowerDevice* device) {
  // The number a removed device kept for its open handle is free with it.
  TowerReleaseDeviceUnit(device);
  plat::Device* self = device->Self;
  if (device->InterfaceRegistered) plat::InterfaceNameFree(&device->Interface);
  TowerDestroyDevice(device);
  plat::PoolFree(device);
  plat::DeviceDelete(self);
}

namespace {

// The last device in the driver's list goes first.
void DestroyDevicesFrom(plat::Device* device) {
  if (device == nullptr) return;
  DestroyDevicesFrom(plat::DeviceNext(device));
  auto* record = *static_cast<TowerDevice**>(plat::DeviceExtension(device));
  if (record->LinkName[0] != 0) plat::SymbolicLinkDelete(record->LinkName);
  if (record->Attached) plat::Detach(record->Lower);
  TowerReleaseDeviceUnit(record);
  TowerDeleteDevice(record);
}

}  // namespace

NTSTATUS TowerTakeUnit(TowerDriver* driver, ULONG* unit) {
  const plat::Irql irql = plat::SpinLockAcquire(&driver->Lock);
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  for (ULONG n = 1; n <= kMaxUnits; ++n) {
    const ULONG bit = 1u << n;
    if ((driver->UnitMask & bit) == 0) {
      driver->UnitMask |= bit;
      *unit = n;
      status = STATUS_SUCCESS;
      break;
    }
  }
  plat::SpinLockRelease(&driver->Lock, irql);
  return status;
}

void TowerReleaseUnit(TowerDriver* driver, ULONG unit) {
  const plat::Irql irql = plat::SpinLockAcquire(&driver->Lock);
  driver->UnitMask &= ~(1u << unit);
  plat::SpinLockRelease(&driver->Lock, irql);
}

void TowerReleaseDeviceUnit(TowerDevice* device) {
  // A number is given back once: after a surprise removal another tower may
  // already hold it by the time the removal arrives.
  if (device->UnitReleased) return;
  device->UnitReleased = true;
  TowerReleaseUnit(device->Driver, device->UnitNumber);
}

uint16_t TowerStateWord(TowerDevice* device) {
  uint16_t state = 0;
  if (Flag(&device->Present)) state |= 0x1;
  if (Flag(&device->Started)) state |= 0x2;
  if (Flag(&device->Open)) state |= 0x4;
  if (Flag(&device->ReaderActive)) state |= 0x8;
  return state;
}

bool TowerIsReady(TowerDevice* device) {
  return Flag(&device->ReaderActive) && Flag(&device->Open) && Flag(&device->Present);
}

NTSTATUS TowerDriverEntry(plat::Driver* driver, const char16_t* registryPath) {
  const bool legacy = DetectLegacyLayout();

  auto* state = static_cast<TowerDriver*>(plat::PoolAlloc(sizeof(TowerDriver), kPoolTag));
  if (state == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  ZeroBytes(state, sizeof(*state));
  plat::SpinLockInit(&state->Lock, "TowerDriver.Lock");
  state->LegacyLayout = legacy;

  if (registryPath != nullptr) {
    const size_t chars = Length16(registryPath) + 1;
    state->RegistryPath =
        static_cast<char16_t*>(plat::PoolAlloc(chars * sizeof(char16_t), kPoolTag));
    if (state->RegistryPath == nullptr) {
      plat::SpinLockDestroy(&state->Lock);
      plat::PoolFree(state);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    CopyBytes(state->RegistryPath, registryPath, chars * sizeof(char16_t));
  }
  plat::DriverSetContext(driver, state);
  return STATUS_SUCCESS;
}

void TowerUnload(plat::Driver* driver) {
  TowerDriver* state = DriverState(driver);
  if (state == nullptr) return;
  DestroyDevicesFrom(plat::DriverFirstDevice(driver));
  if (state->RegistryPath != nullptr) plat::PoolFree(state->RegistryPath);
  plat::SpinLockDestroy(&state->Lock);
  plat::PoolFree(state);
  plat::DriverSetContext(driver, nullptr);
}

NTSTATUS TowerAddDevice(plat::Driver* driver, plat::Device* physical) {
  TowerDriver* state = DriverState(driver);
  ULONG unit = 0;
  if (!NtSuccess(TowerTakeUnit(state, &unit))) return STATUS_INSUFFICIENT_RESOURCES;

  auto* device = static_cast<TowerDevice*>(plat::PoolAlloc(sizeof(TowerDevice), kPoolTag));
  if (device == nullptr) {
    TowerReleaseUnit(state, unit);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  ZeroBytes(device, sizeof(*device));

  char16_t name[kMaxNameChars];
  FormatDeviceName(unit, name, kMaxNameChars);
  plat::DeviceProperties properties{};
  properties.name = name;
  properties.type = plat::kFileDeviceUnknown;
  properties.characteristics = 0;
  properties.exclusive = true;
  properties.directIo = true;
  properties.extensionBytes = sizeof(uintptr_t);  // holds the record's address
  plat::Device* self = nullptr;
  NTSTATUS status = plat::DeviceCreate(driver, properties, &self);
  if (!NtSuccess(status)) {
    plat::PoolFree(device);
    TowerReleaseUnit(state, unit);
    return status;
  }
  *static_cast<TowerDevice**>(plat::DeviceExtension(self)) = device;
  device->Self = self;
  device->Physical = physical;

  FormatLinkName(unit, state->LegacyLayout, device->LinkName, kMaxNameChars);
  status = plat::SymbolicLinkCreate(device->LinkName, name);
  if (!NtSuccess(status)) device->LinkName[0] = 0;

  TowerInitDevice(device, state, unit);

  if (NtSuccess(status)) {
    if (NtSuccess(plat::InterfaceRegister(physical, GUID_DEVINTERFACE_TOWER, &device->Interface)))
      device->InterfaceRegistered = true;
    else
      status = STATUS_INSUFFICIENT_RESOURCES;
  }

  // A device below that is already being removed refuses the attach. A
  // device left unattached would never see a removal and would stay until
  // the driver unloads, keeping its unit number: the add fails instead.
  device->Lower = plat::AttachToStack(self, physical);
  device->Attached = device->Lower != nullptr;
  if (device->Lower == nullptr && NtSuccess(status)) status = STATUS_NO_SUCH_DEVICE;

  if (!NtSuccess(status)) {
    if (device->Lower != nullptr) plat::Detach(device->Lower);
    if (device->LinkName[0] != 0) plat::SymbolicLinkDelete(device->LinkName);
    TowerReleaseDeviceUnit(device);
    TowerDeleteDevice(device);
    return status;
  }

  for (plat::Device* d = plat::DriverFirstDevice(driver); d != nullptr; d = plat::DeviceNext(d))
    plat::DeviceSetInitialised(d);
  return STATUS_SUCCESS;
}

void TowerInitDevice(TowerDevice* device, TowerDriver* driver, ULONG unit) {
  plat::SpinLockInit(&device->StateLock, "TowerDevice.StateLock");
  device->ReadBuffer = nullptr;
  device->Present = 1;
  device->Started = 0;
  device->Open = 0;
  device->ReaderActive = 0;
  device->BufferSize = kDefaultBufferSize;
  device->Timeout_Read_1st = kDefaultTimeoutRead1st;
  device->Timeout_Read_ic = kDefaultTimeoutReadIc;
  device->Timeout_Write = kDefaultTimeoutWrite;
  plat::EventInit(&device->DataEvent, plat::EventType::Synchronization, false);
  plat::EventInit(&device->ReaderStoppedEvent, plat::EventType::Synchronization, false);
  device->HighPower = 0;
  device->UnitNumber = unit;
  device->Driver = driver;

  DispatchState& d = device->Dispatch;
  plat::SpinLockInit(&d.CountLock, "TowerDevice.CountLock");
  d.InProgress = 1;
  device->SystemPowerState = kSystemWorking;
  plat::EventInit(&d.NoOtherRequests, plat::EventType::Notification, true);
  plat::EventInit(&d.NoReader, plat::EventType::Notification, true);
  d.Life.Holds = 1;
  d.Life.Drained = false;
  plat::EventInit(&d.Life.Released, plat::EventType::Notification, false);
  plat::MutexInit(&d.CreateCloseLock, "TowerDevice.CreateCloseLock");
  plat::HoldQueueInit(&d.Held, &TowerHeldCancelled, device);
}

void TowerDestroyDevice(TowerDevice* device) {
  DispatchState& d = device->Dispatch;
  plat::HoldQueueDestroy(&d.Held);
  plat::MutexDestroy(&d.CreateCloseLock);
  plat::EventDestroy(&d.NoReader);
  plat::SpinLockDestroy(&d.CountLock);
  plat::EventDestroy(&d.Life.Released);
  plat::EventDestroy(&d.NoOtherRequests);
  plat::EventDestroy(&device->ReaderStoppedEvent);
  plat::EventDestroy(&device->DataEvent);
  plat::SpinLockDestroy(&device->StateLock);
}

}  // namespace tower
