// What the library's parts share: the tower's interface class as the
// platform's GUID, and the module handle.
#pragma once

#include "Tavrix.h"
#include "tower/ids.h"

// The entry point the platform calls at process attach and detach.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

namespace tavrix {

// GUID_DEVINTERFACE_TOWER in the platform's type.
inline constexpr GUID kTowerInterface = {
    tower::GUID_DEVINTERFACE_TOWER.Data1,
    tower::GUID_DEVINTERFACE_TOWER.Data2,
    tower::GUID_DEVINTERFACE_TOWER.Data3,
    {tower::GUID_DEVINTERFACE_TOWER.Data4[0], tower::GUID_DEVINTERFACE_TOWER.Data4[1],
     tower::GUID_DEVINTERFACE_TOWER.Data4[2], tower::GUID_DEVINTERFACE_TOWER.Data4[3],
     tower::GUID_DEVINTERFACE_TOWER.Data4[4], tower::GUID_DEVINTERFACE_TOWER.Data4[5],
     tower::GUID_DEVINTERFACE_TOWER.Data4[6], tower::GUID_DEVINTERFACE_TOWER.Data4[7]}};

// The platform's device-information set a search holds.
inline HDEVINFO SetOf(const QIROTOWER_FIND* find) {
  return reinterpret_cast<HDEVINFO>(static_cast<uintptr_t>(find->DeviceInfoSet));
}

// The library's own module, remembered by its entry point (texts are loaded
// through it).
HMODULE Module();

// Converts UTF-16 text (up to `units` units or its terminator) into the
// caller's multibyte text in the current C locale: at most size - 1 bytes and
// a terminator. False when there is no memory for the conversion.
bool WideToText(const uint16_t* wide, size_t units, char* buffer, size_t size);

}  // namespace tavrix
