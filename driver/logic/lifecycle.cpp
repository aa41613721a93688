// Start, stop, removal, capabilities and power queries of a tower's device.
#include "device.h"

namespace tower {

namespace {
constexpr ULONG kCapsRemovable = 1u << 4;
constexpr ULONG kCapsSilentInstall = 1u << 7;
constexpr ULONG kCapsSurpriseRemovalOk = 1u << 9;
}  // namespace

NTSTATUS TowerStartDevice(TowerDevice* device, plat::Request* request) {
  plat::RequestSetInformation(request, 0);
  TowerReadHighPower(device);
  SetFlag(&device->Started, true);
  return STATUS_SUCCESS;
}

NTSTATUS TowerStopDevice(TowerDevice* device, plat::Request* request) {
  (void)request;
  SetFlag(&device->Started, false);
  return STATUS_SUCCESS;
}

NTSTATUS TowerSurpriseRemoval(TowerDevice* device, plat::Request* request) {
  SetFlag(&device->Present, false);
  TowerReleaseDeviceUnit(device);
  plat::RequestSetInformation(request, 0);
  return STATUS_SUCCESS;
}

NTSTATUS TowerRemoveDevice(TowerDevice* device, plat::Request* request) {
  SetFlag(&device->Present, false);
  TowerReleaseDeviceUnit(device);
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
      state > static_cast<ULONG>(plat::AtomicRead(&device->Dispatch.SystemPowerState)) &&
      Flag(&device->Open)) {
    plat::RequestComplete(request, STATUS_DEVICE_BUSY, 0);
    return STATUS_DEVICE_BUSY;
  }
  plat::AtomicExchange(&device->Dispatch.SystemPowerState, static_cast<LONG>(state));
  return plat::PowerPassDown(device->Lower, request);
}

}  // namespace tower
