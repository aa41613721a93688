// Start, stop, removal, capabilities and power queries of a tower's device.
#include "device.h"
#include "tower/values.h"

namespace tower {

namespace {

constexpr ULONG kCapsRemovable = 1u << 4;
constexpr ULONG kCapsSilentInstall = 1u << 7;
constexpr ULONG kCapsSurpriseRemovalOk = 1u << 9;
constexpr ULONG kMaxConfigurationBytes = 1024;

// Both configurations carry the receive and send endpoints on interface 0,
// alternate setting 0.
ULONG Select(TowerDevice* device, uint8_t configuration) {
  const PipeBinding bindings[] = {
      {kConfigurationNormal, kTowerInterface, kTowerAltSetting, kEndpointIn, &device->ReadPipe},
      {kConfigurationNormal, kTowerInterface, kTowerAltSetting, kEndpointOut, &device->WritePipe},
      {kConfigurationHighPower, kTowerInterface, kTowerAltSetting, kEndpointIn, &device->ReadPipe},
      {kConfigurationHighPower, kTowerInterface, kTowerAltSetting, kEndpointOut,
       &device->WritePipe},
  };
  return TowerSelectConfiguration(device->Lower, configuration, bindings,
                                  sizeof(bindings) / sizeof(bindings[0]), kMaxConfigurationBytes);
}

}  // namespace

NTSTATUS TowerStartDevice(TowerDevice* device, plat::Request* request) {
  plat::RequestSetInformation(request, 0);
  TowerReadHighPower(device);

  if (Select(device, kConfigurationNormal) != kSelectOk) return STATUS_UNSUCCESSFUL;
  if (device->HighPower == 0) {
    SetFlag(&device->Started, true);
    return STATUS_SUCCESS;
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    TowerUnconfigure(device->Lower);
    const ULONG result =
        Select(device, device->HighPower != 0 ? kConfigurationHighPower : kConfigurationNormal);
    if (result == kSelectOk) {
      SetFlag(&device->Started, true);
      return STATUS_SUCCESS;
    }
    // The stack refused the high-power configuration itself (the port cannot
    // supply it): fall back to the normal one. The registry keeps asking for
    // high power, so the next start tries again.
    if (result != kSelectRefused || device->HighPower == 0) break;
    device->HighPower = 0;
  }
  // No configuration is in force: the start has failed, whatever the
  // deselection before it said.
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS TowerStopDevice(TowerDevice* device, plat::Request* request) {
  (void)request;
  SetFlag(&device->Started, false);
  TowerUnconfigure(device->Lower);
  return STATUS_SUCCESS;
}

namespace {

// A removed device with a handle still open keeps its number until that
// handle's close deletes it: its device object, named after the number,
// lives until then, and a tower added meanwhile under the same number would
// fail its add on the name. With no handle open the number is free at once.
void ReleaseUnitUnlessOpen(TowerDevice* device) {
  if (plat::AtomicRead(&device->Dispatch.OpenCount) == 0) TowerReleaseDeviceUnit(device);
}

}  // namespace

NTSTATUS TowerSurpriseRemoval(TowerDevice* device, plat::Request* request) {
  SetFlag(&device->Present, false);
  ReleaseUnitUnlessOpen(device);
  plat::RequestSetInformation(request, 0);
  return STATUS_SUCCESS;
}

NTSTATUS TowerRemoveDevice(TowerDevice* device, plat::Request* request) {
  SetFlag(&device->Present, false);
  ReleaseUnitUnlessOpen(device);
  plat::RequestSetInformation(request, 0);
  if (device->LinkName[0] != 0) {
    plat::SymbolicLinkDelete(device->LinkName);
    device->LinkName[0] = 0;
  }
  return STATUS_SUCCESS;
}

NTSTATUS TowerQueryCapabilities(TowerDevice* device, plat::Request* request) {
  if (plat::RequestCapabilitiesVersion(request) < 1) return plat::PassDown(device->Lower, request);
  const NTSTATUS status = plat::PassDownAndWait(device->Lower, request);
  if (NtSuccess(status))
    *plat::RequestCapabilitiesFlags(request) |=
        kCapsRemovable | kCapsSilentInstall | kCapsSurpriseRemovalOk;
  plat::RequestComplete(request, status, 0);
  return status;
}

NTSTATUS TowerQueryPower(TowerDevice* device, plat::Request* request) {
  plat::PowerStartNext(request);
  const ULONG state = plat::RequestPowerState(request);
  // An open tower vetoes a sleep deeper than the last accepted state.
  if (plat::RequestPowerType(request) == plat::PowerStateType::System &&
      state > static_cast<ULONG>(plat::AtomicRead(&device->SystemPowerState)) &&
      Flag(&device->Open)) {
    plat::RequestComplete(request, STATUS_DEVICE_BUSY, 0);
    return STATUS_DEVICE_BUSY;
  }
  plat::AtomicExchange(&device->SystemPowerState, static_cast<LONG>(state));
  return plat::PowerPassDown(device->Lower, request);
}

}  // namespace tower
