// Tower search: a walk over the platform's device-information set of the
// tower's interface class, forwards and backwards, with each tower's device
// path; and the library-wide error of a tower's status byte.
#include <cstdlib>
#include <cstring>
#include <new>

#include "internal.h"

namespace {

using tavrix::kTowerInterface;

static_assert(sizeof(SP_DEVINFO_DATA) == sizeof(QIROTOWER_FIND::DeviceInfoData),
              "the search context holds the platform's element record");

// The detail record: the fixed part and room for a 260-character path.
constexpr DWORD kDetailBytes = MAX_PATH + 6;

bool Invalid(const QIROTOWER_FIND* find) {
  return find == nullptr || find == reinterpret_cast<const QIROTOWER_FIND*>(INVALID_HANDLE_VALUE);
}

void KeepSet(QIROTOWER_FIND* find, HDEVINFO set) {
#if defined(_WIN64)
  find->DeviceInfoSet = set;
#else
  find->DeviceInfoSet = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(set));
#endif
}

SP_DEVINFO_DATA Element(const QIROTOWER_FIND* find) {
  SP_DEVINFO_DATA element;
  std::memcpy(&element, find->DeviceInfoData, sizeof(element));
  return element;
}

void SetElement(QIROTOWER_FIND* find, const SP_DEVINFO_DATA& element) {
  std::memcpy(find->DeviceInfoData, &element, sizeof(element));
}

// Reads the current element's device path; the path stays empty when the
// element has no tower interface or its detail cannot be read.
void ReadPath(QIROTOWER_FIND* find) {
  find->PathName[0] = '\0';
  SP_DEVINFO_DATA element = Element(find);
  SP_DEVICE_INTERFACE_DATA interfaceData;
  std::memset(&interfaceData, 0, sizeof(interfaceData));
  interfaceData.cbSize = sizeof(interfaceData);
  GUID interfaceClass = kTowerInterface;
  if (!SetupDiEnumDeviceInterfaces(tavrix::SetOf(find), &element, &interfaceClass, 0,
                                   &interfaceData))
    return;
  auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(std::malloc(kDetailBytes));
  if (detail == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return;
  }
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (SetupDiGetDeviceInterfaceDetailA(tavrix::SetOf(find), &interfaceData, detail, kDetailBytes,
                                       nullptr, nullptr))
    lstrcpynA(find->PathName, detail->DevicePath, sizeof(find->PathName));
  std::free(detail);
}

void Free(QIROTOWER_FIND* find) {
  if (tavrix::SetOf(find) != nullptr) SetupDiDestroyDeviceInfoList(tavrix::SetOf(find));
  delete find;
}

BOOL Step(QIROTOWER_FIND* find, DWORD step) {
  if (Invalid(find)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  SP_DEVINFO_DATA element;
  std::memset(&element, 0, sizeof(element));
  element.cbSize = sizeof(element);
  // Unsigned: a step back from the first element asks for 0xFFFFFFFF, which
  // is not there, and the context keeps its element.
  if (!SetupDiEnumDeviceInfo(tavrix::SetOf(find), find->Index + step, &element)) return FALSE;
  find->Index += step;
  SetElement(find, element);
  ReadPath(find);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // namespace

extern "C" {

QIROTOWER_FIND* WINAPI QIROTowerFindFirst(DWORD mode) {
  auto* find = new (std::nothrow) QIROTOWER_FIND;
  if (find == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::memset(find, 0, sizeof(*find));
  find->Mode = mode;
  SP_DEVINFO_DATA element;
  std::memset(&element, 0, sizeof(element));
  element.cbSize = sizeof(element);
  SetElement(find, element);

  const DWORD flags = mode == QIROTOWER_FIND_PRESENT ? DIGCF_DEVICEINTERFACE | DIGCF_PRESENT
                                                     : DIGCF_DEVICEINTERFACE;
  HDEVINFO set = SetupDiGetClassDevsA(&kTowerInterface, nullptr, nullptr, flags);
  if (set == INVALID_HANDLE_VALUE) {
    delete find;
    SetLastError(ERROR_NO_MORE_ITEMS);
    return nullptr;
  }
  KeepSet(find, set);

  if (mode == QIROTOWER_FIND_INSTALLED) {
    // Towers whose device node cannot be read (installed once, absent now)
    // leave the set; the one that moves up takes the same position.
    DWORD position = 0;
    while (SetupDiEnumDeviceInfo(set, position, &element)) {
      ULONG status = 0;
      ULONG problem = 0;
      // An element that cannot be taken out is stepped over, or the walk
      // would probe it for ever.
      if (CM_Get_DevNode_Status(&status, &problem, element.DevInst, 0) == CR_SUCCESS ||
          !SetupDiDeleteDeviceInfo(set, &element))
        ++position;
    }
  }

  if (!SetupDiEnumDeviceInfo(set, 0, &element)) {
    const DWORD error = GetLastError();
    if (error != ERROR_SUCCESS) {
      Free(find);
      SetLastError(error);
      return nullptr;
    }
  }
  SetElement(find, element);
  ReadPath(find);
  SetLastError(ERROR_SUCCESS);
  return find;
}

BOOL WINAPI QIROTowerFindNext(QIROTOWER_FIND* find) { return Step(find, 1); }

BOOL WINAPI QIROTowerFindPrev(QIROTOWER_FIND* find) { return Step(find, static_cast<DWORD>(-1)); }

BOOL WINAPI QIROTowerFindStop(QIROTOWER_FIND* find) {
  if (Invalid(find)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Free(find);
  return TRUE;
}

const char* WINAPI QIROTowerGetPathName(QIROTOWER_FIND* find) {
  if (Invalid(find)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return "";
  }
  return find->PathName;
}

BOOL WINAPI QIROTowerGetPathNameCopy(QIROTOWER_FIND* find, char* buffer, DWORD size) {
  if (Invalid(find) || buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  lstrcpynA(buffer, find->PathName, static_cast<int>(size));
  // The buffer keeps the cut path.
  if (size < std::strlen(find->PathName) + 1) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  return TRUE;
}

DWORD WINAPI QIROTowerGetWin32Error(DWORD status) {
  const DWORD low = status & 0xFFFFu;
  return low == 0 ? 0 : QIROTOWER_ERROR_BASE | low;
}

}  // extern "C"
