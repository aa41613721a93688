// The tower's standard descriptors, byte for byte.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

// bMaxPower of each configuration, in 2 mA units.
inline constexpr uint8_t kMaxPowerNormal = 50;      // 100 mA
inline constexpr uint8_t kMaxPowerHighPower = 250;  // 500 mA
inline constexpr uint16_t kConfigurationTotalLength = 32;

std::vector<uint8_t> TowerDeviceDescriptor();
// Configuration index 0 is configuration 1, index 1 is configuration 2 (high
// power); empty for any other index.
std::vector<uint8_t> TowerConfigurationDescriptor(uint8_t index);

}  // namespace sim
