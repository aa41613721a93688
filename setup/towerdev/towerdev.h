// Tower device entries in the platform's device tree: found by hardware id
// and removed, whether or not a tower is plugged in. One source, built into
// both the setup library and the Control Panel applet.
#pragma once

#include "win32/windows.h"

namespace towerdev {

// The tower's hardware id. Not inline: an inline variable is a symbol the
// dynamic linker keeps unique process-wide, and such a symbol pins the
// library that defines it in memory, so the applet could never be unloaded.
constexpr char kTowerHardwareId[] = "USB\\Vid_0F5C&Pid_0001";

// Whether a device whose hardware-id list holds `id` (compared without
// regard to case) exists among all devices of all classes, present or not.
// When deviceList is given, the caller asked for the device: it gets the
// device list (to release with SetupDiDestroyDeviceInfoList, found or not)
// and, when found, the device's record in *device. The thread's last error
// is left as the search left it.
bool FindDeviceByHardwareId(const char* id, HDEVINFO* deviceList, SP_DEVINFO_DATA* device);

// Removes every device entry with the tower's hardware id, each pass on a
// fresh list; returns how many it removed.
int RemoveTowerDevices();

}  // namespace towerdev
