// Vendor requests to the tower's firmware.
#include "device.h"
#include "tower/values.h"

namespace tower {

NTSTATUS TowerPushLinkSettings(TowerDevice* device, uint8_t range, uint8_t linkMode) {
  (void)device;
  (void)range;
  (void)linkMode;
  return STATUS_SUCCESS;
}

}  // namespace tower
