// Driver installation the Plug and Play way: a device without a driver
// package shows problem 28; an INF copied into the store binds it at the next
// scan with the package's service, driver key and driver file; device
// entries are listed, read and removed through SetupAPI; a section's file
// copies keep a newer file.
#include <gtest/gtest.h>

#include <cstring>

#include "setup_fixture.h"
#include "win32/windows.h"

namespace towertest {
namespace {

class PnpInstallTest : public SetupTest {
 protected:
  hk::DevNode* TowerNode() {
    std::lock_guard<std::recursive_mutex> lock(machine_->tree().mutex());
    for (hk::DevNode* node : machine_->tree().Nodes())
      if (!node->removed && node->kind == hk::NodeKind::Device && node->present &&
          node->instanceId.rfind("USB\\VID_0F5C&PID_0001\\", 0) == 0)
        return node;
    return nullptr;
  }
  void Reenumerate() {
    DEVINST root = 0;
    ASSERT_EQ(CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL), CR_SUCCESS);
    ASSERT_EQ(CM_Reenumerate_DevNode(root, CM_REENUMERATE_SYNCHRONOUS), CR_SUCCESS);
  }
  std::string ClassValue(const std::string& driverKey, const char* name) {
    auto value = machine_->registry().GetValue(
        std::string(hk::kControlRoot) + "\\Class\\" + driverKey, name);
    return value && !value->data.empty() ? reinterpret_cast<const char*>(value->data.data()) : "";
  }
  // The hardware-id lists of every device entry, present or not.
  std::vector<std::string> AllHardwareIds() {
    std::vector<std::string> ids;
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
      char buffer[512] = {};
      if (SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, nullptr,
                                            reinterpret_cast<PBYTE>(buffer), sizeof(buffer),
                                            nullptr))
        ids.emplace_back(buffer);
    }
    SetupDiDestroyDeviceInfoList(set);
    return ids;
  }
};

TEST_F(PnpInstallTest, ADeviceWithoutAPackageWaitsWithProblem28UntilAnInstalledInfBindsIt) {
  NTSTATUS status = 0;
  PlugTower(&status);
  hk::DevNode* node = TowerNode();
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->problem, hk::CM_PROB_FAILED_INSTALL);
  EXPECT_NE(node->status & hk::DN_HAS_PROBLEM, 0u);
  EXPECT_EQ(machine_->FindDriver(kService), nullptr);
  EXPECT_TRUE(InterfacePaths(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE).empty());

  PutDriverSource("C:\\SETUP");
  char stored[MAX_PATH] = {};
  PSTR component = nullptr;
  ASSERT_TRUE(SetupCopyOEMInfA("C:\\SETUP\\Ostrel.inf", "C:\\SETUP\\", SPOST_PATH, 0, stored,
                               sizeof(stored), nullptr, &component));
  EXPECT_STREQ(stored, "C:\\WINDOWS\\INF\\oem0.inf");
  EXPECT_STREQ(component, "oem0.inf");
  // The same INF again keeps its name in the store.
  ASSERT_TRUE(SetupCopyOEMInfA("C:\\SETUP\\Ostrel.inf", "C:\\SETUP\\", SPOST_PATH, 0, stored,
                               sizeof(stored), nullptr, nullptr));
  EXPECT_STREQ(stored, "C:\\WINDOWS\\INF\\oem0.inf");
  EXPECT_FALSE(SetupCopyOEMInfA("C:\\SETUP\\Missing.inf", "C:\\SETUP\\", SPOST_PATH, 0, stored,
                                sizeof(stored), nullptr, nullptr));
  EXPECT_EQ(node->problem, hk::CM_PROB_FAILED_INSTALL) << "nothing binds before the next scan";

  Reenumerate();
  node = TowerNode();
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->problem, 0u);
  EXPECT_NE(node->status & hk::DN_STARTED, 0u);
  EXPECT_EQ(node->service, kService);
  EXPECT_EQ(ClassValue(node->driverKey, "DriverDesc"), "QIRO USB Tower");
  EXPECT_EQ(ClassValue(node->driverKey, "ProviderName"), "QIRO");
  EXPECT_EQ(ClassValue(node->driverKey, "DriverVersion"), "1.0.0.160");
  EXPECT_TRUE(DriveFileExists("C:\\WINDOWS\\System32\\Drivers\\Ostrel.sys"));
  EXPECT_EQ(InterfacePaths(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE).size(), 1u);
}

TEST_F(PnpInstallTest, DeviceEntriesAreListedReadAndRemovedPresentOrNot) {
  PutDriverSource("C:\\SETUP");
  ASSERT_TRUE(SetupCopyOEMInfA("C:\\SETUP\\Ostrel.inf", "C:\\SETUP", SPOST_PATH, 0, nullptr, 0,
                               nullptr, nullptr));
  PlugTower();
  ASSERT_NE(TowerNode(), nullptr);
  ASSERT_EQ(TowerNode()->service, kService) << "an installed package binds at once";

  HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof(data);
  bool found = false;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data) && !found; ++i) {
    char small[4] = {};
    DWORD required = 0;
    if (SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, nullptr,
                                          reinterpret_cast<PBYTE>(small), sizeof(small), &required))
      continue;
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<char> ids(required);
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, nullptr,
                                                  reinterpret_cast<PBYTE>(ids.data()), required,
                                                  nullptr));
    // A sequence of strings closed by an empty one.
    EXPECT_EQ(ids[required - 1], '\0');
    EXPECT_EQ(ids[required - 2], '\0');
    for (const char* id = ids.data(); *id != '\0'; id += std::strlen(id) + 1)
      if (std::strcmp(id, "USB\\VID_0F5C&PID_0001") == 0) found = true;
  }
  ASSERT_TRUE(found);
  ASSERT_TRUE(SetupDiRemoveDevice(set, &data));
  SetupDiDestroyDeviceInfoList(set);
  EXPECT_EQ(TowerNode(), nullptr);
  EXPECT_TRUE(InterfacePaths(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE).empty());
  for (const std::string& id : AllHardwareIds()) EXPECT_EQ(id.find("PID_0001"), std::string::npos);

  // Still on its port: the next scan finds it as new hardware.
  Reenumerate();
  ASSERT_NE(TowerNode(), nullptr);
  EXPECT_EQ(TowerNode()->service, kService);

  // An entry of a tower no longer plugged in is listed and removed too.
  machine_->Unplug(TowerNode()->physical);
  machine_->SettlePnp();
  set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
  SP_DEVINFO_DATA present{};
  present.cbSize = sizeof(present);
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &present); ++i) {
    char buffer[256] = {};
    if (SetupDiGetDeviceRegistryPropertyA(set, &present, SPDRP_HARDWAREID, nullptr,
                                          reinterpret_cast<PBYTE>(buffer), sizeof(buffer),
                                          nullptr)) {
      EXPECT_EQ(std::string(buffer).find("PID_0001"), std::string::npos) << "not present";
    }
  }
  SetupDiDestroyDeviceInfoList(set);
}

std::string WithVersion(uint32_t high, uint32_t low, const std::string& body) {
  std::string data = body;
  while (data.size() % 4 != 0) data += '\0';
  const uint32_t words[] = {0xFEEF04BDu, 0x00010000u, high, low};
  data.append(reinterpret_cast<const char*>(words), sizeof(words));
  return data;
}

TEST_F(PnpInstallTest, SectionFileCopiesKeepANewerFileAndFailForAMissingSource) {
  PutDriverSource("C:\\SETUP");
  WriteDriveFile("C:\\SETUP\\Ostrel.sys", WithVersion(0x00010000, 0x000000A0, "source"));
  WriteDriveFile("C:\\WINDOWS\\System32\\Drivers\\Ostrel.sys",
                 WithVersion(0x00020000, 0, "newer on the system"));
  HINF inf = SetupOpenInfFileA("C:\\SETUP\\Ostrel.inf", nullptr, INF_STYLE_WIN4, nullptr);
  ASSERT_NE(inf, INVALID_HANDLE_VALUE);
  PVOID context = SetupInitDefaultQueueCallback(nullptr);
  ASSERT_TRUE(SetupInstallFromInfSectionA(nullptr, inf, "DefaultInstall", SPINST_FILES, nullptr,
                                          "C:\\SETUP", SP_COPY_NEWER, SetupDefaultQueueCallbackA,
                                          context, nullptr, nullptr));
  EXPECT_EQ(ReadDriveFile("C:\\WINDOWS\\System32\\Drivers\\Ostrel.sys"),
            WithVersion(0x00020000, 0, "newer on the system"));
  // Without the version comparison the source replaces it.
  ASSERT_TRUE(SetupInstallFromInfSectionA(nullptr, inf, "DefaultInstall", SPINST_FILES, nullptr,
                                          "C:\\SETUP\\", 0, SetupDefaultQueueCallbackA, context,
                                          nullptr, nullptr));
  EXPECT_EQ(ReadDriveFile("C:\\WINDOWS\\System32\\Drivers\\Ostrel.sys"),
            WithVersion(0x00010000, 0x000000A0, "source"));
  EXPECT_FALSE(SetupInstallFromInfSectionA(nullptr, inf, "DefaultInstall", SPINST_FILES, nullptr,
                                           "C:\\NOWHERE", SP_COPY_NEWER, SetupDefaultQueueCallbackA,
                                           context, nullptr, nullptr));
  EXPECT_FALSE(SetupInstallFromInfSectionA(nullptr, inf, "NoSuchSection", SPINST_FILES, nullptr,
                                           "C:\\SETUP", SP_COPY_NEWER, SetupDefaultQueueCallbackA,
                                           context, nullptr, nullptr));
  SetupTermDefaultQueueCallback(context);
  SetupCloseInfFile(inf);
  EXPECT_EQ(SetupOpenInfFileA("C:\\SETUP\\Nothing.inf", nullptr, INF_STYLE_WIN4, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
}  // namespace towertest
