#include "sim/descriptors.h"

#include "tower/ids.h"
#include "tower/values.h"

namespace sim {

namespace {

uint8_t Low(uint16_t v) { return static_cast<uint8_t>(v); }
uint8_t High(uint16_t v) { return static_cast<uint8_t>(v >> 8); }

constexpr uint8_t kDescDevice = 1;
constexpr uint8_t kDescConfiguration = 2;
constexpr uint8_t kDescInterface = 4;
constexpr uint8_t kDescEndpoint = 5;
constexpr uint8_t kEndpointInterrupt = 0x03;
constexpr uint8_t kVendorClass = 0xFF;
constexpr uint8_t kPacketSize = 8;
constexpr uint8_t kPollInterval = 10;  // ms

void AddEndpoint(std::vector<uint8_t>& d, uint8_t address) {
  d.insert(d.end(), {7, kDescEndpoint, address, kEndpointInterrupt, kPacketSize, 0, kPollInterval});
}

}  // namespace

std::vector<uint8_t> TowerDeviceDescriptor() {
  // The class is declared per interface; the tower has no string descriptors.
  return {18,
          kDescDevice,
          Low(0x0110),
          High(0x0110),
          0,
          0,
          0,
          kPacketSize,
          Low(tower::kTowerVendorId),
          High(tower::kTowerVendorId),
          Low(tower::kTowerProductId),
          High(tower::kTowerProductId),
          Low(0x0100),
          High(0x0100),
          0,
          0,
          0,
          2};
}

std::vector<uint8_t> TowerConfigurationDescriptor(uint8_t index) {
  if (index > 1) return {};
  const uint8_t value = index == 0 ? tower::kConfigurationNormal : tower::kConfigurationHighPower;
  const uint8_t power = index == 0 ? kMaxPowerNormal : kMaxPowerHighPower;
  std::vector<uint8_t> d{9,
                         kDescConfiguration,
                         Low(kConfigurationTotalLength),
                         High(kConfigurationTotalLength),
                         1,
                         value,
                         0,
                         0x80,  // bus powered
                         power};
  d.insert(d.end(), {9, kDescInterface, tower::kTowerInterface, tower::kTowerAltSetting, 2,
                     kVendorClass, 0, 0, 0});
  AddEndpoint(d, tower::kEndpointIn);
  AddEndpoint(d, tower::kEndpointOut);
  return d;
}

}  // namespace sim
