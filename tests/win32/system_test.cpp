// The Win32 subset's registry API, configuration manager and USB topology
// requests, as the access library and setup call them.
#include <cstring>
#include <string>

#include "app_fixture.h"

namespace towertest {
namespace {

using SystemTest = AppTest;

TEST_F(SystemTest, TheRegistryApiWorksOnTheStoreTheKernelReads) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE,
                          "SYSTEM\\CurrentControlSet\\Services\\QIROUSBTower\\"
                          "Parameters",
                          &key),
            ERROR_SUCCESS);
  const DWORD range = 1;
  ASSERT_EQ(RegSetValueExA(key, "irrange", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&range),
                           sizeof(range)),
            ERROR_SUCCESS);
  // The same value, through the machine's own view (names compare without case).
  auto stored = machine_->registry().GetValue(kParameters, "IRRange");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->type, static_cast<uint32_t>(REG_DWORD));

  // A buffer too small: the size needed comes back, nothing is copied.
  const char text[] = "a longer text";
  ASSERT_EQ(
      RegSetValueExA(key, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof(text)),
      ERROR_SUCCESS);
  char small[4] = {'x', 'x', 'x', 'x'};
  DWORD size = sizeof(small);
  DWORD type = 0;
  EXPECT_EQ(RegQueryValueExA(key, "Text", nullptr, &type, reinterpret_cast<BYTE*>(small), &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, sizeof(text));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(small[0], 'x');
  size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "Text", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, sizeof(text));
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);

  HKEY services = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services", 0, KEY_READ,
                          &services),
            ERROR_SUCCESS);
  // A key with subkeys stays; a leaf goes.
  EXPECT_EQ(RegDeleteKeyA(services, "QIROUSBTower"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(services, "QIROUSBTower\\Parameters"), ERROR_SUCCESS);
  EXPECT_FALSE(machine_->registry().KeyExists(kParameters));
  EXPECT_EQ(RegOpenKeyExA(services, "QIROUSBTower\\Parameters", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(services), ERROR_SUCCESS);
}

TEST_F(SystemTest, TheDeviceTreeIsWalkedThroughPresentNodesOnly) {
  machine_->AddHostController();
  hk::DeviceObject* physical = PlugTower();
  ASSERT_NE(physical, nullptr);
  DEVINST root = 0;
  ASSERT_EQ(CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL), CR_SUCCESS);
  DEVINST parent = 0;
  EXPECT_EQ(CM_Get_Parent(&parent, root, 0), CR_NO_SUCH_DEVNODE);

  // Root -> first controller -> its root hub -> the tower; the second
  // controller is the first one's sibling.
  DEVINST controller = 0;
  ASSERT_EQ(CM_Get_Child(&controller, root, 0), CR_SUCCESS);
  char text[128];
  ULONG length = sizeof(text);
  ASSERT_EQ(
      CM_Get_DevNode_Registry_PropertyA(controller, CM_DRP_DEVICEDESC, nullptr, text, &length, 0),
      CR_SUCCESS);
  EXPECT_STREQ(text, "Host USB Universal Host Controller");
  DEVINST second = 0;
  EXPECT_EQ(CM_Get_Sibling(&second, controller, 0), CR_SUCCESS);
  DEVINST none = 0;
  EXPECT_EQ(CM_Get_Sibling(&none, second, 0), CR_NO_SUCH_DEVNODE);
  DEVINST hub = 0;
  ASSERT_EQ(CM_Get_Child(&hub, controller, 0), CR_SUCCESS);
  DEVINST tower = 0;
  ASSERT_EQ(CM_Get_Child(&tower, hub, 0), CR_SUCCESS);
  ASSERT_EQ(CM_Get_Parent(&parent, tower, 0), CR_SUCCESS);
  EXPECT_EQ(parent, hub);

  // The driver key: a small buffer learns the size it needs.
  length = 4;
  EXPECT_EQ(CM_Get_DevNode_Registry_PropertyA(tower, CM_DRP_DRIVER, nullptr, text, &length, 0),
            CR_BUFFER_SMALL);
  EXPECT_EQ(length, sizeof("{36FC9E60-C465-11CF-8056-444553540000}\\0002"));

  const std::string instance = physical->instanceId;
  // Once unplugged, the node keeps its properties but leaves the walk.
  machine_->Unplug(physical);
  machine_->SettlePnp();
  EXPECT_EQ(CM_Get_Child(&none, hub, 0), CR_NO_SUCH_DEVNODE);
  EXPECT_EQ(CM_Get_Parent(&parent, tower, 0), CR_NO_SUCH_DEVNODE);
  length = sizeof(text);
  EXPECT_EQ(CM_Get_DevNode_Registry_PropertyA(tower, CM_DRP_DRIVER, nullptr, text, &length, 0),
            CR_SUCCESS);
  DEVINST located = 0;
  EXPECT_EQ(CM_Locate_DevNodeA(&located, instance.c_str(), CM_LOCATE_DEVNODE_NORMAL),
            CR_NO_SUCH_DEVNODE);
  ASSERT_EQ(CM_Locate_DevNodeA(&located, instance.c_str(), CM_LOCATE_DEVNODE_PHANTOM), CR_SUCCESS);
  EXPECT_EQ(located, tower);
}

TEST_F(SystemTest, HubsAndHostControllersAnswerWhatTheyAreAsked) {
  HANDLE controller = CreateFileA("\\\\.\\HCD0", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(controller, INVALID_HANDLE_VALUE);
  uint8_t record[128] = {};
  DWORD bytes = 0;
  EXPECT_FALSE(DeviceIoControl(controller, 0x220424, record, 4, record, 4, &bytes, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_TRUE(DeviceIoControl(controller, 0x220424, record, 6, record, 6, &bytes, nullptr));
  uint32_t actual = 0;
  std::memcpy(&actual, record, 4);
  const std::string key = "{36FC9E60-C465-11CF-8056-444553540000}\\0000";
  EXPECT_EQ(actual, 4 + 2 * (key.size() + 1));
  EXPECT_EQ(bytes, 6u);
  ASSERT_TRUE(DeviceIoControl(controller, 0x220424, record, sizeof(record), record, sizeof(record),
                              &bytes, nullptr));
  EXPECT_EQ(bytes, actual);
  for (size_t i = 0; i < key.size(); ++i) ASSERT_EQ(record[4 + 2 * i], key[i]) << i;
  EXPECT_FALSE(DeviceIoControl(controller, 0x220408, record, 76, record, 76, &bytes, nullptr))
      << "a host controller is no hub";
  CloseHandle(controller);
}

}  // namespace
}  // namespace towertest
