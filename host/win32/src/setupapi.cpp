// Device-information sets over the host machine's device interfaces, and the
// configuration manager's view of device nodes.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "faults/faults.h"
#include "handles.h"
#include "kernel/machine.h"
#include "registry_keys.h"

namespace win32host {

namespace {

struct InterfaceEntry {
  DWORD id = 0;  // stands in SP_DEVICE_INTERFACE_DATA.Reserved
  std::string path;
  DWORD flags = 0;
};

struct Element {
  DWORD id = 0;  // stands in SP_DEVINFO_DATA.Reserved
  std::string instanceId;
  DEVINST devInst = 0;
  GUID classGuid{};
  std::vector<InterfaceEntry> interfaces;
};

// A snapshot taken when the set is built: devices that come or go later do
// not change it.
class DeviceInfoSet final : public Object {
 public:
  std::mutex mutex;
  GUID interfaceClass{};
  std::vector<Element> elements;

  Element* FindElement(const SP_DEVINFO_DATA& data) {
    for (auto& e : elements)
      if (e.id == data.Reserved) return &e;
    return nullptr;
  }
  InterfaceEntry* FindInterface(const SP_DEVICE_INTERFACE_DATA& data, Element** owner) {
    for (auto& e : elements)
      for (auto& i : e.interfaces)
        if (i.id == data.Reserved) {
          *owner = &e;
          return &i;
        }
    return nullptr;
  }
};

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

// The kernel names interface classes in lower case with braces.
std::string GuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1,
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

// The setup class of a device, from its driver key "{class guid}\NNNN".
GUID ClassFromDriverKey(const std::string& driverKey) {
  GUID g{};
  unsigned d4[8] = {};
  unsigned d1 = 0, d2 = 0, d3 = 0;
  if (std::sscanf(driverKey.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3,
                  &d4[0], &d4[1], &d4[2], &d4[3], &d4[4], &d4[5], &d4[6], &d4[7]) != 11)
    return g;
  g.Data1 = d1;
  g.Data2 = static_cast<uint16_t>(d2);
  g.Data3 = static_cast<uint16_t>(d3);
  for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<uint8_t>(d4[i]);
  return g;
}

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto ca = static_cast<unsigned char>(a[i]);
    const auto cb = static_cast<unsigned char>(b[i]);
    if (std::tolower(ca) != std::tolower(cb)) return false;
  }
  return true;
}

// A user-mode interface path: the kernel's "\??\" becomes "\\?\".
std::string UserPath(const std::u16string& link) {
  std::string path = hk::ToU8(link);
  if (path.rfind("\\??\\", 0) == 0) path = "\\\\?\\" + path.substr(4);
  return path;
}

void Fill(SP_DEVINFO_DATA* data, const Element& e) {
  data->ClassGuid = e.classGuid;
  data->DevInst = e.devInst;
  data->Reserved = e.id;
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

BOOL Succeed() {
  // SetupAPI leaves ERROR_SUCCESS behind on success.
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

// Every device the machine has an entry for, present or not (or present
// only), in the order the tree knows them.
HDEVINFO AllDevicesSet(bool presentOnly) {
  auto set = std::make_shared<DeviceInfoSet>();
  if (hk::Machine* machine = CurrentMachine(); machine != nullptr) {
    hk::DeviceTree& tree = machine->tree();
    std::lock_guard<std::recursive_mutex> lock(tree.mutex());
    DWORD nextId = 1;
    for (const hk::DevNode* node : tree.Nodes()) {
      if (node->kind == hk::NodeKind::Root || node->removed) continue;
      if (presentOnly && !node->present) continue;
      Element e;
      e.id = nextId++;
      e.instanceId = node->instanceId;
      e.devInst = node->handle;
      e.classGuid = ClassFromDriverKey(node->driverKey);
      set->elements.push_back(std::move(e));
    }
  }
  SetLastError(ERROR_SUCCESS);
  return InsertHandle(std::move(set));
}

}  // namespace

}  // namespace win32host

using namespace win32host;

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent,
                                     DWORD Flags) {
  (void)hwndParent;
  constexpr DWORD kKnownFlags =
      DIGCF_DEFAULT | DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE;
  if ((Flags & ~kKnownFlags) != 0) {
    SetLastError(ERROR_INVALID_FLAGS);
    return INVALID_HANDLE_VALUE;
  }
  if (auto code = Injected(hk::fault::kSetupDiGetClassDevsA,
                           ClassGuid != nullptr ? GuidText(*ClassGuid) : std::string())) {
    SetLastError(*code);
    return INVALID_HANDLE_VALUE;
  }
  // The subset builds device-interface sets of one class and device sets
  // of every setup class; sets of one setup class are not part of it.
  if ((Flags & DIGCF_DEVICEINTERFACE) == 0 && (Flags & DIGCF_ALLCLASSES) != 0)
    return AllDevicesSet((Flags & DIGCF_PRESENT) != 0);
  if ((Flags & DIGCF_DEVICEINTERFACE) == 0 || (Flags & DIGCF_ALLCLASSES) != 0) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return INVALID_HANDLE_VALUE;
  }
  if (ClassGuid == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  auto set = std::make_shared<DeviceInfoSet>();
  set->interfaceClass = *ClassGuid;
  // Without a machine there are no devices: the set is empty.
  if (hk::Machine* machine = CurrentMachine(); machine != nullptr) {
    const bool presentOnly = (Flags & DIGCF_PRESENT) != 0;
    // The kernel lists interfaces in the order they were first registered,
    // which keeps the order of a search stable from one set to the next.
    const auto interfaces = machine->kernel().Interfaces(GuidText(*ClassGuid), presentOnly);
    DWORD nextId = 1;
    for (const auto& i : interfaces) {
      if (Enumerator != nullptr && !SameText(Enumerator, i.instanceId)) continue;
      Element* element = nullptr;
      for (auto& e : set->elements)
        if (SameText(e.instanceId, i.instanceId)) element = &e;
      if (element == nullptr) {
        Element e;
        e.id = nextId++;
        e.instanceId = i.instanceId;
        hk::DeviceTree& tree = machine->tree();
        std::lock_guard<std::recursive_mutex> lock(tree.mutex());
        if (hk::DevNode* node = tree.Find(i.instanceId); node != nullptr) {
          e.devInst = node->handle;
          e.classGuid = ClassFromDriverKey(node->driverKey);
        }
        set->elements.push_back(std::move(e));
        element = &set->elements.back();
      }
      element->interfaces.push_back(
          InterfaceEntry{nextId++, UserPath(i.link), i.enabled ? SPINT_ACTIVE : 0u});
    }
  }
  SetLastError(ERROR_SUCCESS);
  return InsertHandle(std::move(set));
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                  PSP_DEVINFO_DATA DeviceInfoData) {
  auto set = Lookup<win32host::DeviceInfoSet>(DeviceInfoSet);
  if (!set) return Fail(ERROR_INVALID_HANDLE);
  if (DeviceInfoData == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
  std::lock_guard<std::mutex> lock(set->mutex);
  if (MemberIndex >= set->elements.size()) return Fail(ERROR_NO_MORE_ITEMS);
  Fill(DeviceInfoData, set->elements[MemberIndex]);
  return Succeed();
}

BOOL WINAPI SetupDiDeleteDeviceInfo(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
  auto set = Lookup<win32host::DeviceInfoSet>(DeviceInfoSet);
  if (!set) return Fail(ERROR_INVALID_HANDLE);
  if (DeviceInfoData == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
  std::lock_guard<std::mutex> lock(set->mutex);
  for (auto it = set->elements.begin(); it != set->elements.end(); ++it)
    if (it->id == DeviceInfoData->Reserved) {
      // The elements after it move up one position.
      set->elements.erase(it);
      return Succeed();
    }
  return Fail(ERROR_INVALID_PARAMETER);
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  auto set = Lookup<win32host::DeviceInfoSet>(DeviceInfoSet);
  if (!set) return Fail(ERROR_INVALID_HANDLE);
  if (InterfaceClassGuid == nullptr || DeviceInterfaceData == nullptr)
    return Fail(ERROR_INVALID_PARAMETER);
  if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
    return Fail(ERROR_INVALID_USER_BUFFER);
  if (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
    return Fail(ERROR_INVALID_USER_BUFFER);
  std::lock_guard<std::mutex> lock(set->mutex);
  const Element* only = nullptr;
  if (DeviceInfoData != nullptr) {
    only = set->FindElement(*DeviceInfoData);
    if (only == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  }
  // The set holds interfaces of its own class only.
  if (!SameGuid(*InterfaceClassGuid, set->interfaceClass)) return Fail(ERROR_NO_MORE_ITEMS);
  DWORD position = 0;
  for (const auto& e : set->elements) {
    if (only != nullptr && &e != only) continue;
    for (const auto& i : e.interfaces) {
      if (position++ != MemberIndex) continue;
      DeviceInterfaceData->InterfaceClassGuid = set->interfaceClass;
      DeviceInterfaceData->Flags = i.flags;
      DeviceInterfaceData->Reserved = i.id;
      return Succeed();
    }
  }
  return Fail(ERROR_NO_MORE_ITEMS);
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData) {
  auto set = Lookup<win32host::DeviceInfoSet>(DeviceInfoSet);
  if (!set) return Fail(ERROR_INVALID_HANDLE);
  if (DeviceInterfaceData == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
    return Fail(ERROR_INVALID_USER_BUFFER);
  constexpr DWORD kFixedPart = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  // The record's size field names the fixed part of the record as the
  // caller's compiler laid it out: 5 on 32-bit Windows.
  if (DeviceInterfaceDetailData != nullptr) {
    if (DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) ||
        DeviceInterfaceDetailDataSize < kFixedPart + 1)
      return Fail(ERROR_INVALID_USER_BUFFER);
  } else if (DeviceInterfaceDetailDataSize != 0) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  if (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
    return Fail(ERROR_INVALID_USER_BUFFER);
  std::lock_guard<std::mutex> lock(set->mutex);
  Element* owner = nullptr;
  const InterfaceEntry* entry = set->FindInterface(*DeviceInterfaceData, &owner);
  if (entry == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const DWORD needed = kFixedPart + static_cast<DWORD>(entry->path.size()) + 1;
  if (RequiredSize != nullptr) *RequiredSize = needed;
  if (DeviceInfoData != nullptr) Fill(DeviceInfoData, *owner);
  // A null record came with a size of 0, checked above.
  if (DeviceInterfaceDetailData == nullptr || DeviceInterfaceDetailDataSize < needed)
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(DeviceInterfaceDetailData->DevicePath, entry->path.c_str(), entry->path.size() + 1);
  return Succeed();
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  auto set = Lookup<win32host::DeviceInfoSet>(DeviceInfoSet);
  if (!set || RemoveHandle(DeviceInfoSet) != set) return Fail(ERROR_INVALID_HANDLE);
  return Succeed();
}

CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst,
                                       ULONG ulFlags) {
  if (pulStatus == nullptr || pulProblemNumber == nullptr) return CR_INVALID_POINTER;
  *pulStatus = 0;
  *pulProblemNumber = 0;
  if (ulFlags != 0) return CR_INVALID_FLAG;
  if (dnDevInst == 0) return CR_INVALID_DEVNODE;
  hk::Machine* machine = CurrentMachine();
  if (machine == nullptr) return CR_NO_SUCH_DEVINST;
  hk::DeviceTree& tree = machine->tree();
  std::lock_guard<std::recursive_mutex> lock(tree.mutex());
  const hk::DevNode* node = tree.FindByHandle(dnDevInst);
  // A device that is installed but not attached has no live node.
  if (node == nullptr || !node->present) return CR_NO_SUCH_DEVINST;
  *pulStatus = node->status;
  *pulProblemNumber = (node->status & hk::DN_HAS_PROBLEM) != 0 ? node->problem : 0;
  return CR_SUCCESS;
}

HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 DWORD Scope, DWORD HwProfile, DWORD KeyType, REGSAM samDesired) {
  (void)HwProfile;
  (void)samDesired;  // the store keeps no security
  const auto fail = [](DWORD error) {
    SetLastError(error);
    return static_cast<HKEY>(INVALID_HANDLE_VALUE);
  };
  auto set = Lookup<win32host::DeviceInfoSet>(DeviceInfoSet);
  if (!set) return fail(ERROR_INVALID_HANDLE);
  if (DeviceInfoData == nullptr || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
    return fail(ERROR_INVALID_PARAMETER);
  // The subset keeps one hardware profile and opens the driver key only.
  if (Scope != DICS_FLAG_GLOBAL || KeyType != DIREG_DRV) return fail(ERROR_INVALID_FLAGS);
  std::string instanceId;
  {
    std::lock_guard<std::mutex> lock(set->mutex);
    const Element* element = set->FindElement(*DeviceInfoData);
    if (element == nullptr) return fail(ERROR_INVALID_PARAMETER);
    instanceId = element->instanceId;
  }
  if (auto code = Injected(hk::fault::kSetupDiOpenDevRegKey, instanceId)) return fail(*code);
  hk::Machine* machine = CurrentMachine();
  if (machine == nullptr) return fail(ERROR_FILE_NOT_FOUND);
  std::string driverKey;
  {
    hk::DeviceTree& tree = machine->tree();
    std::lock_guard<std::recursive_mutex> lock(tree.mutex());
    if (const hk::DevNode* node = tree.Find(instanceId)) driverKey = node->driverKey;
  }
  // A device without a driver has no driver key. The legacy family keeps the
  // class keys under the services key.
  if (driverKey.empty()) return fail(ERROR_FILE_NOT_FOUND);
  for (const char* root : {hk::kControlRoot, hk::kServicesRoot}) {
    const std::string path = std::string(root) + "\\Class\\" + driverKey;
    if (machine->registry().KeyExists(path)) return OpenStoreKey(path);
  }
  return fail(ERROR_FILE_NOT_FOUND);
}

}  // extern "C"

extern "C" {

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet,
                                              PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
  auto set = Lookup<win32host::DeviceInfoSet>(DeviceInfoSet);
  if (!set) return Fail(ERROR_INVALID_HANDLE);
  if (DeviceInfoData == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
  if (PropertyBuffer == nullptr && PropertyBufferSize != 0) return Fail(ERROR_INVALID_PARAMETER);
  std::string instanceId;
  {
    std::lock_guard<std::mutex> lock(set->mutex);
    const Element* element = set->FindElement(*DeviceInfoData);
    if (element == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    instanceId = element->instanceId;
  }
  if (auto code = Injected(hk::fault::kSetupDiGetDeviceRegistryPropertyA, instanceId))
    return Fail(*code);
  hk::Machine* machine = CurrentMachine();
  if (machine == nullptr) return Fail(static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
  std::vector<uint8_t> data;
  DWORD type = 0;
  {
    hk::DeviceTree& tree = machine->tree();
    std::lock_guard<std::recursive_mutex> lock(tree.mutex());
    const hk::DevNode* node = tree.Find(instanceId);
    if (node == nullptr || node->removed) return Fail(static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
    if (Property == SPDRP_HARDWAREID) {
      // A device without hardware ids has no such property.
      if (node->hardwareIds.empty()) return Fail(ERROR_INVALID_DATA);
      for (const std::string& id : node->hardwareIds) {
        data.insert(data.end(), id.begin(), id.end());
        data.push_back(0);
      }
      data.push_back(0);
      type = 7;  // REG_MULTI_SZ
    } else if (Property == SPDRP_DEVICEDESC) {
      if (node->description.empty()) return Fail(ERROR_INVALID_DATA);
      data.assign(node->description.begin(), node->description.end());
      data.push_back(0);
      type = 1;  // REG_SZ
    } else {
      return Fail(ERROR_INVALID_DATA);
    }
  }
  if (RequiredSize != nullptr) *RequiredSize = static_cast<DWORD>(data.size());
  if (PropertyRegDataType != nullptr) *PropertyRegDataType = type;
  if (PropertyBufferSize < data.size()) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(PropertyBuffer, data.data(), data.size());
  return Succeed();
}

BOOL WINAPI SetupDiRemoveDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
  auto set = Lookup<win32host::DeviceInfoSet>(DeviceInfoSet);
  if (!set) return Fail(ERROR_INVALID_HANDLE);
  if (DeviceInfoData == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
  std::string instanceId;
  {
    std::lock_guard<std::mutex> lock(set->mutex);
    const Element* element = set->FindElement(*DeviceInfoData);
    if (element == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    instanceId = element->instanceId;
  }
  hk::Machine* machine = CurrentMachine();
  if (machine == nullptr) return Fail(static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
  if (auto code = Injected(hk::fault::kSetupDiRemoveDevice, instanceId)) return Fail(*code);
  hk::DevNode* node = machine->tree().Find(instanceId);
  if (node == nullptr || !machine->RemoveDevice(node))
    return Fail(static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
  return Succeed();
}

}  // extern "C"
