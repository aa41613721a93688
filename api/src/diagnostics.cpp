// Diagnostics of a tower's connection from what the system knows (its device
// node, its driver key, its parent hub's power source), of a USB host
// controller, and the problem texts of the library's string table.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal.h"

namespace {

// GUID_DEVINTERFACE_USB_HUB {F18A0E88-C30C-11D0-8815-00A0C906BED8}.
constexpr GUID kHubInterface = {
    0xF18A0E88u, 0xC30C, 0x11D0, {0x88, 0x15, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0xD8}};

// The USB stack's requests of a hub and of a host controller.
constexpr DWORD kGetNodeInformation = 0x00220408u;
constexpr DWORD kGetHcdDriverKeyName = 0x00220424u;

// USB_NODE_INFORMATION as the hub fills it: node type (0 = hub), the hub
// descriptor, and whether the hub is bus-powered.
struct NodeInformation {
  uint32_t NodeType;
  uint8_t HubDescriptor[71];
  uint8_t HubIsBusPowered;
};
static_assert(sizeof(NodeInformation) == 76, "USB_NODE_INFORMATION is 76 bytes");
static_assert(offsetof(NodeInformation, HubIsBusPowered) == 75, "bus-powered flag at 75");

// USB_HCD_DRIVERKEY_NAME: the length the whole record needs, then the name.
constexpr DWORD kDriverKeyRecordBytes = 6;
constexpr size_t kDriverKeyNameOffset = 4;

constexpr DWORD kProblemTextBase = 4096;
constexpr UINT kFallbackTextId = 4200;
constexpr char kFallbackText[] = "The device is not working properly. Problem ID = 0x";

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

bool IsBadContext(const QIROTOWER_FIND* find) {
  return find == nullptr || find == INVALID_HANDLE_VALUE;
}

// A device node's text property into a fixed field, which stays terminated.
void ReadProperty(DEVINST node, ULONG property, char* field, ULONG size) {
  ULONG length = size;
  CM_Get_DevNode_Registry_PropertyA(node, property, nullptr, field, &length, 0);
  field[size - 1] = '\0';
}

// A text value of the driver key into a fixed field; a failed read leaves it.
void ReadText(HKEY key, const char* name, char* field, DWORD size) {
  DWORD length = size;
  RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(field), &length);
  field[size - 1] = '\0';
}

// Asks the parent hub whether it is bus-powered; the last error tells why
// when it cannot be asked.
void ReadHubPower(DEVINST parent, QIROTOWER_DEVICEINFO* info) {
  HDEVINFO hubs =
      SetupDiGetClassDevsA(&kHubInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (hubs == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA element;
  std::memset(&element, 0, sizeof(element));
  element.cbSize = sizeof(element);
  bool found = false;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(hubs, i, &element); ++i)
    if (element.DevInst == parent) {
      found = true;
      break;
    }
  if (!found) {
    SetupDiDestroyDeviceInfoList(hubs);
    SetLastError(ERROR_DEV_NOT_EXIST);
    return;
  }
  SP_DEVICE_INTERFACE_DATA hubInterface;
  std::memset(&hubInterface, 0, sizeof(hubInterface));
  hubInterface.cbSize = sizeof(hubInterface);
  constexpr DWORD kDetailBytes = 260;
  auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(std::malloc(kDetailBytes));
  if (!SetupDiEnumDeviceInterfaces(hubs, &element, &kHubInterface, 0, &hubInterface)) {
    SetLastError(ERROR_DEV_NOT_EXIST);
  } else if (detail == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  } else {
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(hubs, &hubInterface, detail, kDetailBytes, nullptr,
                                          nullptr)) {
      SetLastError(ERROR_DEV_NOT_EXIST);
    } else {
      HANDLE hub = CreateFileA(detail->DevicePath, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
      if (hub != INVALID_HANDLE_VALUE) {
        NodeInformation node;
        std::memset(&node, 0, sizeof(node));
        DWORD bytes = 0;
        const BOOL ok = DeviceIoControl(hub, kGetNodeInformation, &node, sizeof(node), &node,
                                        sizeof(node), &bytes, nullptr);
        CloseHandle(hub);
        if (ok) {
          if (node.NodeType != 0)
            SetLastError(ERROR_BAD_UNIT);
          else
            info->HubBusPowered = node.HubIsBusPowered;
        }
      }
    }
  }
  std::free(detail);
  // Destroying the list may set the last error too; the hub's answer is what
  // the caller must learn.
  const DWORD why = GetLastError();
  SetupDiDestroyDeviceInfoList(hubs);
  SetLastError(why);
}

// Reads the host controller's driver key name into the record; false when
// it could not be read.
bool ReadDriverKeyName(HANDLE controller, QIROTOWER_HCINFO* info) {
  uint8_t probe[kDriverKeyRecordBytes] = {};
  DWORD bytes = 0;
  if (!DeviceIoControl(controller, kGetHcdDriverKeyName, probe, sizeof(probe), probe, sizeof(probe),
                       &bytes, nullptr) ||
      bytes < kDriverKeyRecordBytes)
    return false;
  uint32_t actual = 0;
  std::memcpy(&actual, probe, sizeof(actual));
  // A length no driver key name can have is not trusted with an allocation.
  if (actual < kDriverKeyRecordBytes || actual > 0x10000u) return false;
  const DWORD length = actual + 8;
  auto* record = static_cast<uint8_t*>(std::calloc(length, 1));
  if (record == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  bool named = false;
  if (DeviceIoControl(controller, kGetHcdDriverKeyName, record, length, record, length, &bytes,
                      nullptr) &&
      bytes > kDriverKeyNameOffset) {
    // The name is UTF-16 from offset 4; copied out unit by unit, so its
    // alignment in the record does not matter.
    const size_t units = (bytes - kDriverKeyNameOffset) / 2;
    auto* wide = static_cast<uint16_t*>(std::calloc(units + 1, sizeof(uint16_t)));
    if (wide != nullptr) {
      std::memcpy(wide, record + kDriverKeyNameOffset, units * 2);
      named = tavrix::WideToText(wide, units, info->DriverKeyName, sizeof(info->DriverKeyName));
      std::free(wide);
    }
    if (!named) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  }
  std::free(record);
  return named && info->DriverKeyName[0] != '\0';
}

// Walks the device tree depth first from its root to the node whose driver
// key is the controller's, and takes that node's description.
void FindControllerNode(QIROTOWER_HCINFO* info) {
  DEVINST root = 0;
  if (CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) return;
  DEVINST node = root;
  for (;;) {
    char driverKey[128] = {};
    ReadProperty(node, CM_DRP_DRIVER, driverKey, sizeof(driverKey));
    if (std::strcmp(driverKey, info->DriverKeyName) == 0) {
      ReadProperty(node, CM_DRP_DEVICEDESC, info->HostControllerDesc,
                   sizeof(info->HostControllerDesc));
      return;
    }
    DEVINST next = 0;
    if (CM_Get_Child(&next, node, 0) == CR_SUCCESS) {
      node = next;
      continue;
    }
    // No child: the next sibling, or that of the nearest ancestor that has
    // one; climbing past the root ends the walk.
    for (;;) {
      if (node == root) return;
      if (CM_Get_Sibling(&next, node, 0) == CR_SUCCESS) break;
      if (CM_Get_Parent(&next, node, 0) != CR_SUCCESS) return;
      node = next;
    }
    node = next;
  }
}

}  // namespace

extern "C" {

BOOL WINAPI QIROTowerGetDeviceInfo(QIROTOWER_FIND* find, QIROTOWER_DEVICEINFO* info) {
  if (IsBadContext(find) || info == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::memset(info, 0, sizeof(*info));
  info->TowerNumber = find->Index + 1;
  SP_DEVINFO_DATA element;
  std::memcpy(&element, find->DeviceInfoData, sizeof(element));

  ReadProperty(element.DevInst, CM_DRP_DEVICEDESC, info->DeviceDesc, sizeof(info->DeviceDesc));
  QIROTowerGetPathNameCopy(find, info->DevicePath, sizeof(info->DevicePath));

  ULONG status = 0;
  ULONG problem = 0;
  if (CM_Get_DevNode_Status(&status, &problem, element.DevInst, 0) == CR_SUCCESS) {
    info->DevNodeStatus = status;
    info->ProblemNumber = problem;
    info->StatusValid = 1;
  } else {
    // The configuration manager's "the device does not exist".
    info->ProblemNumber = 0x18;
  }

  HKEY driverKey =
      SetupDiOpenDevRegKey(tavrix::SetOf(find), &element, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
  if (driverKey != INVALID_HANDLE_VALUE) {
    ReadText(driverKey, "DriverVersion", info->DriverVersion, sizeof(info->DriverVersion));
    ReadText(driverKey, "DriverDesc", info->DriverDesc, sizeof(info->DriverDesc));
    ReadText(driverKey, "ProviderName", info->ProviderName, sizeof(info->ProviderName));
    RegCloseKey(driverKey);
  }

  DEVINST parent = 0;
  if (CM_Get_Parent(&parent, element.DevInst, 0) != CR_SUCCESS) {
    SetLastError(ERROR_READ_FAULT);
    return TRUE;
  }
  ReadProperty(parent, CM_DRP_DEVICEDESC, info->ParentDesc, sizeof(info->ParentDesc));
  ReadHubPower(parent, info);
  // The record is filled as far as it could be: the call succeeds.
  return TRUE;
}

BOOL WINAPI QIROTowerGetDeviceInfoByNumber(DWORD number, DWORD mode, QIROTOWER_DEVICEINFO* info) {
  QIROTOWER_FIND* find = QIROTowerFindFirst(mode);
  if (find == nullptr) return FALSE;
  BOOL result = TRUE;
  for (DWORD i = 0; i < number && result; ++i) result = QIROTowerFindNext(find);
  if (result) result = QIROTowerGetDeviceInfo(find, info);
  // Ending the search keeps the error the steps left.
  const DWORD error = GetLastError();
  QIROTowerFindStop(find);
  SetLastError(error);
  return result;
}

BOOL WINAPI QIROTowerGetHostControllerInfo(DWORD number, QIROTOWER_HCINFO* info) {
  if (info == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::memset(info, 0, sizeof(*info));
  char path[32];
  std::snprintf(path, sizeof(path), "\\\\.\\HCD%lu", static_cast<unsigned long>(number));
  HANDLE controller =
      CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (controller == INVALID_HANDLE_VALUE) {
    info->OpenError = GetLastError();
    return FALSE;
  }
  if (ReadDriverKeyName(controller, info)) FindControllerNode(info);
  CloseHandle(controller);
  return TRUE;
}

BOOL WINAPI QIROTowerGetProblemDesc(DWORD problem, char* buffer, DWORD size) {
  // Nothing fits in no room at all: nothing is written.
  if (buffer == nullptr || size == 0) return Fail(ERROR_INVALID_PARAMETER);
  const int room = size > INT_MAX ? INT_MAX : static_cast<int>(size);
  // A number without a text of its own still succeeds, and leaves the
  // caller's last error as it was: the loader's "not found" is not passed on.
  const DWORD callersError = GetLastError();
  // Texts are found by 16-bit ids; a number beyond them has no text of its
  // own (it must not wrap onto another number's).
  if (problem <= 0xFFFFu - kProblemTextBase &&
      LoadStringA(tavrix::Module(), kProblemTextBase + problem, buffer, room) > 0) {
    SetLastError(callersError);
    return TRUE;
  }
  if (LoadStringA(tavrix::Module(), kFallbackTextId, buffer, room) == 0)
    lstrcpynA(buffer, kFallbackText, room);
  const size_t length = std::strlen(buffer);
  // The number follows in lower-case hexadecimal only when at least five
  // more bytes are free; never beyond the buffer.
  if (length + 5 < size)
    std::snprintf(buffer + length, size - length, "%lx", static_cast<unsigned long>(problem));
  SetLastError(callersError);
  return TRUE;
}

}  // extern "C"
