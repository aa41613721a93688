// Vendor requests to the tower's firmware: every one is a device-to-host
// control transfer whose reply starts with a length, a status and a value.
#include "device.h"
#include "tower/values.h"

namespace tower {

NTSTATUS TowerSendVendorRequest(TowerDevice* device, uint8_t request, uint16_t value,
                                uint16_t index, void* reply, ULONG length, ULONG* received) {
  // Bytes the tower does not send read as 0, never as stale data.
  ZeroBytes(reply, length);
  if (received != nullptr) *received = 0;
  plat::TransferBlock* block = plat::TransferAllocVendor(request, value, index, reply, length);
  if (block == nullptr) return STATUS_NO_MEMORY;
  const NTSTATUS status = TowerSubmitTransfer(device->Lower, block, kVendorRequestLimitMs);
  if (received != nullptr) *received = plat::TransferLength(block);
  plat::TransferFree(block);
  return status;
}

NTSTATUS TowerParmRequest(TowerDevice* device, uint8_t request, uint8_t id, uint8_t value,
                          uint16_t index, TOWER_REPLY_PARM* reply) {
  const uint16_t word = static_cast<uint16_t>(value << 8 | id);
  return TowerSendVendorRequest(device, request, word, index, reply, sizeof(*reply), nullptr);
}

NTSTATUS TowerPushLinkSettings(TowerDevice* device, uint8_t range, uint8_t linkMode) {
  TOWER_REPLY_PARM reply;
  // The range always goes first; when it fails the link mode is not sent.
  const NTSTATUS status =
      TowerParmRequest(device, TOWER_REQ_SET_PARM, TOWER_PARM_RANGE, range, 0, &reply);
  if (status != STATUS_SUCCESS) return status;
  return TowerParmRequest(device, TOWER_REQ_SET_PARM, TOWER_PARM_LINK_MODE, linkMode, 0, &reply);
}

}  // namespace tower
