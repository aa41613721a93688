// Identities shared by the driver, the access library and the setup.
#pragma once

#include <stdint.h>

namespace tower {

// Byte layout of a Windows GUID.
struct Guid {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
static_assert(sizeof(Guid) == 16);

constexpr bool operator==(const Guid& a, const Guid& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}

// The device interface class every tower is registered under.
// {DA12761A-0BCD-4BB5-BA81-4BBAA660AF4E}
inline constexpr Guid GUID_DEVINTERFACE_TOWER = {
    0xDA12761Au, 0x0BCD, 0x4BB5, {0xBA, 0x81, 0x4B, 0xBA, 0xA6, 0x60, 0xAF, 0x4E}};

inline constexpr char kTowerHardwareId[] = "USB\\Vid_0F5C&Pid_0001";
inline constexpr uint16_t kTowerVendorId = 0x0F5C;
inline constexpr uint16_t kTowerProductId = 0x0001;

// The service the driver runs as; its Parameters key is the store the
// library writes and the driver reads.
inline constexpr char16_t kServiceName[] = u"QIROUSBTower";

// The version the driver reports for itself.
inline constexpr uint8_t kDriverMajor = 1;
inline constexpr uint8_t kDriverMinor = 0;
inline constexpr uint16_t kDriverBuild = 160;

// Pool tag of every allocation the driver makes ("Wdm " read as bytes).
inline constexpr uint32_t kPoolTag = 0x206D6457u;

}  // namespace tower
