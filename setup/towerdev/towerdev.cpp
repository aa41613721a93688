#include "towerdev.h"

#include <stdlib.h>
#include <string.h>

namespace towerdev {

namespace {

// Case-insensitive comparison of two 8-bit texts, as the platform's own
// comparison of device ids does.
bool SameId(const char* a, const char* b) { return lstrcmpiA(a, b) == 0; }

}  // namespace

bool FindDeviceByHardwareId(const char* id, HDEVINFO* deviceList, SP_DEVINFO_DATA* device) {
  if (deviceList != nullptr) *deviceList = INVALID_HANDLE_VALUE;
  if (id == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  HDEVINFO list = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
  if (list == INVALID_HANDLE_VALUE) return false;
  // Room for the id and the list's two terminators; a longer list asks for more.
  DWORD size = static_cast<DWORD>(strlen(id) + 2);
  char* buffer = static_cast<char*>(calloc(size, 1));
  SP_DEVINFO_DATA data;
  memset(&data, 0, sizeof(data));
  data.cbSize = sizeof(data);
  SP_DEVINFO_DATA found;
  bool isFound = false;
  for (DWORD index = 0; buffer != nullptr && !isFound; ++index) {
    if (!SetupDiEnumDeviceInfo(list, index, &data)) break;
    if (!SetupDiGetDeviceRegistryPropertyA(list, &data, SPDRP_HARDWAREID, nullptr,
                                           reinterpret_cast<PBYTE>(buffer), size, nullptr)) {
      const DWORD error = GetLastError();
      if (error == ERROR_INVALID_DATA) continue;  // a device without hardware ids
      if (error != ERROR_INSUFFICIENT_BUFFER) break;
      DWORD required = 0;
      SetupDiGetDeviceRegistryPropertyA(list, &data, SPDRP_HARDWAREID, nullptr, nullptr, 0,
                                        &required);
      free(buffer);
      // One zero byte more than the list needs: the list always ends.
      size = required + 1;
      buffer = static_cast<char*>(calloc(size, 1));
      if (buffer == nullptr) break;
      if (!SetupDiGetDeviceRegistryPropertyA(list, &data, SPDRP_HARDWAREID, nullptr,
                                             reinterpret_cast<PBYTE>(buffer), size, nullptr))
        continue;
    }
    for (const char* item = buffer; *item != '\0'; item += strlen(item) + 1)
      if (SameId(item, id)) {
        found = data;
        isFound = true;
        break;
      }
  }
  free(buffer);
  if (deviceList != nullptr) {
    *deviceList = list;
    if (isFound && device != nullptr) *device = found;
  } else {
    const DWORD error = GetLastError();
    SetupDiDestroyDeviceInfoList(list);
    SetLastError(error);
  }
  return isFound;
}

int RemoveTowerDevices() {
  int removed = 0;
  for (;;) {
    HDEVINFO list = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA device;
    memset(&device, 0, sizeof(device));
    device.cbSize = sizeof(device);
    const bool found = FindDeviceByHardwareId(kTowerHardwareId, &list, &device);
    const bool gone = found && SetupDiRemoveDevice(list, &device);
    // The list is released on every path, found or not.
    if (list != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(list);
    if (!gone) break;
    ++removed;
  }
  return removed;
}

}  // namespace towerdev
