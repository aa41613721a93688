#include "app_fixture.h"

#include <algorithm>
#include <cstring>

namespace towertest {

void AppTest::TearDown() {
  for (HANDLE handle : handles_) CloseHandle(handle);
  handles_.clear();
  MachineTest::TearDown();
}

HANDLE AppTest::Open(const std::string& path) {
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle != INVALID_HANDLE_VALUE) handles_.push_back(handle);
  return handle;
}

void AppTest::Close(HANDLE handle) {
  auto it = std::find(handles_.begin(), handles_.end(), handle);
  if (it != handles_.end()) handles_.erase(it);
  EXPECT_TRUE(CloseHandle(handle));
}

std::vector<std::string> AppTest::InterfacePaths(DWORD flags) {
  std::vector<std::string> paths;
  const GUID guid = TowerInterfaceClass();
  HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, flags);
  if (set == INVALID_HANDLE_VALUE) return paths;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof(data);
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data); ++i) {
    char buffer[sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) + MAX_PATH] = {};
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer);
    detail->cbSize = sizeof(*detail);
    if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof(buffer), nullptr, nullptr))
      paths.emplace_back(detail->DevicePath);
  }
  SetupDiDestroyDeviceInfoList(set);
  return paths;
}

GUID TowerInterfaceClass() {
  GUID guid;
  static_assert(sizeof(guid) == sizeof(GUID_DEVINTERFACE_TOWER));
  std::memcpy(&guid, &GUID_DEVINTERFACE_TOWER, sizeof(guid));
  return guid;
}

}  // namespace towertest
