// The Windows the host machine answers as: its version numbers, its family
// and where that family keeps things.
#pragma once

#include <cstdint>
#include <string>

namespace hk {

enum class WindowsVersion : uint8_t { Win95, Win98, Win98SE, WinMe, NT4, Win2000, XP };

struct PlatformIdentity {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t build = 0;
  uint32_t platformId = 0;  // 1 VER_PLATFORM_WIN32_WINDOWS, 2 VER_PLATFORM_WIN32_NT
  const char* servicePack = "";
  const char* windowsDirName = "WINDOWS";

  // The legacy family (95, 98, Me) sets the version word's top bit.
  bool Legacy() const { return platformId == 1; }
  // The HTML help control (hhctrl.ocx) came with Windows 98 and 2000; a
  // fresh 95 or NT 4 (4.0 of either family) has none.
  bool HasHtmlHelp() const { return !(major == 4 && minor == 0); }
  // GetVersion's word: major in the low byte, minor in the next; the high
  // word is the build on the NT family and the top bit on the legacy family.
  uint32_t VersionWord() const {
    const uint32_t low = major | minor << 8;
    return Legacy() ? low | 0x80000000u | (build & 0x7FFFu) << 16 : low | (build & 0xFFFFu) << 16;
  }
};

inline PlatformIdentity IdentityOf(WindowsVersion version) {
  switch (version) {
    case WindowsVersion::Win95:
      return {4, 0, 950, 1, "", "WINDOWS"};
    case WindowsVersion::Win98:
      return {4, 10, 1998, 1, "", "WINDOWS"};
    case WindowsVersion::Win98SE:
      return {4, 10, 2222, 1, " A ", "WINDOWS"};
    case WindowsVersion::WinMe:
      return {4, 90, 3000, 1, "", "WINDOWS"};
    case WindowsVersion::NT4:
      return {4, 0, 1381, 2, "Service Pack 6", "WINNT"};
    case WindowsVersion::Win2000:
      return {5, 0, 2195, 2, "Service Pack 4", "WINNT"};
    case WindowsVersion::XP:
      break;
  }
  return {5, 1, 2600, 2, "Service Pack 3", "WINDOWS"};
}

}  // namespace hk
