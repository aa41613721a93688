// Names derived from a tower's unit number N (1 to 31), in decimal without
// leading zeros.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace tower {

inline constexpr uint32_t kMaxUnits = 31;

inline constexpr char16_t kDeviceNamePrefix[] = u"\\Device\\QIROUSBTowerDevice";
inline constexpr char16_t kLinkPrefix[] = u"\\??\\QIROTOWER";
inline constexpr char16_t kLegacyLinkPrefix[] = u"\\DosDevices\\QIROTOWER";
inline constexpr char kUserPathFormat[] = "\\\\.\\QIROTOWER%d";

// Longest name the driver builds, terminator included.
inline constexpr size_t kMaxNameChars = 48;

// Writes prefix + decimal(n) with a terminator into out (capacity in
// characters). Returns the length without the terminator, or 0 when it does
// not fit.
template <typename Ch>
constexpr size_t AppendDecimal(const Ch* prefix, uint32_t n, Ch* out, size_t capacity) {
  size_t len = 0;
  while (prefix[len] != 0) {
    if (len + 1 >= capacity) return 0;
    out[len] = prefix[len];
    ++len;
  }
  Ch digits[10] = {};
  size_t count = 0;
  do {
    digits[count++] = static_cast<Ch>('0' + n % 10);
    n /= 10;
  } while (n != 0);
  if (len + count + 1 > capacity) return 0;
  while (count > 0) out[len++] = digits[--count];
  out[len] = 0;
  return len;
}

constexpr size_t FormatDeviceName(uint32_t unit, char16_t* out, size_t capacity) {
  return AppendDecimal(kDeviceNamePrefix, unit, out, capacity);
}

constexpr size_t FormatLinkName(uint32_t unit, bool legacyLayout, char16_t* out, size_t capacity) {
  return AppendDecimal(legacyLayout ? kLegacyLinkPrefix : kLinkPrefix, unit, out, capacity);
}

// "\\.\QIROTOWERn", the path user mode opens.
constexpr size_t FormatUserPath(uint32_t unit, char* out, size_t capacity) {
  return AppendDecimal("\\\\.\\QIROTOWER", unit, out, capacity);
}

}  // namespace tower
