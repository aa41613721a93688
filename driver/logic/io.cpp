// Handle operations and the entry of reads, writes and control requests.
#include "device.h"
#include "tower/ioctl.h"

namespace tower {

NTSTATUS TowerOpen(TowerDevice* device, plat::Request* request) {
  if (!Flag(&device->Started) || !Flag(&device->Present)) return STATUS_DEVICE_NOT_CONNECTED;
  if (Flag(&device->Open)) return STATUS_SUCCESS;

  // The stack below completes the open; its answer is not examined.
  plat::PassDownAndWait(device->Lower, request);

  NTSTATUS status = TowerApplyLinkSettings(device);
  if (status != STATUS_SUCCESS) {
    // A tower that did not answer in time (a success-class status) still
    // fails the open: the caller must not get a handle to a device that is
    // not marked open.
    if (NtSuccess(status))
      status = status == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : STATUS_UNSUCCESSFUL;
    return status;
  }
  SetFlag(&device->Open, true);
  return STATUS_SUCCESS;
}

NTSTATUS TowerClose(TowerDevice* device, plat::Request* request) {
  const NTSTATUS status = plat::PassDownAndWait(device->Lower, request);
  if (status == STATUS_SUCCESS && plat::AtomicRead(&device->Dispatch.OpenCount) <= 1)
    SetFlag(&device->Open, false);
  return status;
}

NTSTATUS TowerCleanup(TowerDevice* device, plat::Request* request) {
  (void)request;
  if (plat::AtomicRead(&device->Dispatch.OpenCount) > 1) return STATUS_SUCCESS;
  return STATUS_SUCCESS;
}

NTSTATUS TowerRead(TowerDevice* device, plat::Request* request, ULONG* information) {
  *information = 0;
  // A missing buffer is refused before the readiness test.
  if (plat::RequestDataBuffer(request) == nullptr) return STATUS_INVALID_PARAMETER;
  if (!TowerIsReady(device)) return STATUS_DEVICE_NOT_READY;
  return STATUS_SUCCESS;
}

NTSTATUS TowerWrite(TowerDevice* device, plat::Request* request, ULONG* information) {
  (void)request;
  *information = 0;
  if (!TowerIsReady(device)) return STATUS_DEVICE_NOT_READY;
  return STATUS_SUCCESS;
}

namespace {

NTSTATUS GetState(TowerDevice* device, plat::Request* request, ULONG* information) {
  void* buffer = plat::RequestSystemBuffer(request);
  if (buffer == nullptr || plat::RequestOutputLength(request) < sizeof(QIROTOWER_STATEREC))
    return STATUS_INVALID_PARAMETER;
  QIROTOWER_STATEREC record{};
  record.Size = sizeof(record);
  record.Status = 0;
  record.State = TowerStateWord(device);
  CopyBytes(buffer, &record, sizeof(record));
  *information = sizeof(record);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS TowerDeviceControl(TowerDevice* device, plat::Request* request, ULONG* information) {
  *information = 0;
  const ULONG code = plat::RequestIoctlCode(request);
  // The state is the one thing a tower that is not ready still answers.
  if (code == IOCTL_TOWER_GET_STATE) return GetState(device, request, information);
  if (!TowerIsReady(device)) return STATUS_DEVICE_NOT_READY;
  return STATUS_INVALID_PARAMETER;
}

}  // namespace tower
