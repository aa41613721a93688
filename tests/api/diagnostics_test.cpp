// Diagnostics through the library's exports: a tower's device node, driver
// key and parent hub's power source, host controllers, and the problem texts
// from the library's own string table.
#include <cstring>
#include <string>

#include "Tavrix.h"
#include "app_fixture.h"
#include "faults/faults.h"

namespace towertest {
namespace {

class Diagnostics : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    machine_->BindHardwareId(kTowerHardwareId, kService, "Zembo IR Tower", "Tower Maker",
                             "1.0.160");
  }
  // A simulated tower on a given hub port.
  hk::DeviceObject* PlugTowerAt(hk::DevNode* hub, uint8_t port) {
    auto tower = std::make_shared<sim::TowerModel>(Instant());
    towers_.push_back(tower);
    return machine_->PlugUsbAt(hub, port, tower);
  }
  hk::DevNode* Node(hk::NodeKind kind, size_t n = 0) {
    std::lock_guard<std::recursive_mutex> lock(machine_->tree().mutex());
    for (hk::DevNode* node : machine_->tree().Nodes())
      if (node->kind == kind && n-- == 0) return node;
    return nullptr;
  }
  static std::string Problem(DWORD problem, DWORD size = 128) {
    char text[128] = {};
    EXPECT_TRUE(QIROTowerGetProblemDesc(problem, text, size));
    return text;
  }
};

TEST_F(Diagnostics, ATowerOnARootHubIsDescribedWhole) {
  ASSERT_NE(PlugTower(), nullptr);
  const auto paths = InterfacePaths(DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
  QIROTOWER_DEVICEINFO info;
  std::memset(&info, 0x5A, sizeof(info));
  ASSERT_TRUE(QIROTowerGetDeviceInfoByNumber(0, QIROTOWER_FIND_PRESENT, &info));
  EXPECT_EQ(info.Size, 0u);
  EXPECT_EQ(info.StatusValid, 1u);
  EXPECT_NE(info.DevNodeStatus & hk::DN_STARTED, 0u);
  EXPECT_EQ(info.ProblemNumber, 0u);
  EXPECT_EQ(info.TowerNumber, 1u);
  EXPECT_STREQ(info.DeviceDesc, "Zembo IR Tower");
  EXPECT_EQ(std::string(info.DevicePath), paths[0]);
  EXPECT_STREQ(info.ParentDesc, "USB Root Hub");
  EXPECT_EQ(info.HubBusPowered, 0u);
  EXPECT_EQ(info.Reserved, 0u);
  EXPECT_STREQ(info.DriverVersion, "1.0.160");
  EXPECT_STREQ(info.DriverDesc, "Zembo IR Tower");
  EXPECT_STREQ(info.ProviderName, "Tower Maker");

  // One past the last tower: no more items.
  EXPECT_FALSE(QIROTowerGetDeviceInfoByNumber(1, QIROTOWER_FIND_PRESENT, &info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
}

TEST_F(Diagnostics, TheParentHubsPowerSourceComesFromTheTopology) {
  hk::DevNode* root = Node(hk::NodeKind::RootHub);
  ASSERT_NE(root, nullptr);
  hk::DevNode* busPowered = machine_->AddHub(root, 1, false);
  hk::DevNode* selfPowered = machine_->AddHub(root, 2, true);
  ASSERT_NE(PlugTowerAt(busPowered, 1), nullptr);
  ASSERT_NE(PlugTowerAt(selfPowered, 3), nullptr);

  QIROTOWER_DEVICEINFO info;
  ASSERT_TRUE(QIROTowerGetDeviceInfoByNumber(0, QIROTOWER_FIND_PRESENT, &info));
  EXPECT_EQ(info.HubBusPowered, 1u);
  EXPECT_STREQ(info.ParentDesc, "Generic USB Hub");
  EXPECT_EQ(info.StatusValid, 1u);
  ASSERT_TRUE(QIROTowerGetDeviceInfoByNumber(1, QIROTOWER_FIND_PRESENT, &info));
  EXPECT_EQ(info.HubBusPowered, 0u);
  EXPECT_EQ(info.TowerNumber, 2u);
  EXPECT_STREQ(info.ParentDesc, "Generic USB Hub");
}

TEST_F(Diagnostics, AnInstalledTowerThatIsUnpluggedIsListedOnlyByTheWideSearch) {
  hk::DeviceObject* physical = PlugTower();
  ASSERT_NE(physical, nullptr);
  UnplugTower(physical);
  machine_->SettlePnp();

  QIROTOWER_DEVICEINFO info;
  for (DWORD mode : {QIROTOWER_FIND_PRESENT, QIROTOWER_FIND_INSTALLED}) {
    EXPECT_FALSE(QIROTowerGetDeviceInfoByNumber(0, mode, &info)) << mode;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  }
  ASSERT_TRUE(QIROTowerGetDeviceInfoByNumber(0, 0, &info));
  EXPECT_EQ(info.StatusValid, 0u);
  EXPECT_EQ(info.DevNodeStatus, 0u);
  EXPECT_EQ(info.ProblemNumber, 24u);
  // A device that is not attached has no place in the tree, so no parent.
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_READ_FAULT));
  EXPECT_STREQ(info.ParentDesc, "");
  EXPECT_EQ(info.HubBusPowered, 0u);
  EXPECT_STREQ(info.DeviceDesc, "Zembo IR Tower") << "its node keeps its properties";
  EXPECT_EQ(Problem(info.ProblemNumber), "This device doesn not exist (0x18)");
}

TEST_F(Diagnostics, ATowerWhoseNodeCarriesAProblemReportsItAndItsText) {
  ASSERT_NE(PlugTower(), nullptr);
  {
    std::lock_guard<std::recursive_mutex> lock(machine_->tree().mutex());
    hk::DevNode* node = Node(hk::NodeKind::Device);
    node->status |= hk::DN_HAS_PROBLEM;
    node->problem = 0x16;
  }
  QIROTOWER_FIND* find = QIROTowerFindFirst(QIROTOWER_FIND_PRESENT);
  ASSERT_NE(find, nullptr);
  QIROTOWER_DEVICEINFO info;
  EXPECT_TRUE(QIROTowerGetDeviceInfo(find, &info));
  EXPECT_EQ(info.StatusValid, 1u);
  EXPECT_EQ(info.ProblemNumber, 0x16u);
  EXPECT_EQ(Problem(info.ProblemNumber), "The device has been disabled (0x16)");

  EXPECT_FALSE(QIROTowerGetDeviceInfo(find, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(QIROTowerFindStop(find));
  for (QIROTOWER_FIND* bad : {static_cast<QIROTOWER_FIND*>(nullptr),
                              static_cast<QIROTOWER_FIND*>(INVALID_HANDLE_VALUE)}) {
    EXPECT_FALSE(QIROTowerGetDeviceInfo(bad, &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
}

TEST_F(Diagnostics, HostControllersAreNamedByTheirDriverKeys) {
  machine_->AddHostController();
  hk::DevNode* first = Node(hk::NodeKind::HostController, 0);
  hk::DevNode* second = Node(hk::NodeKind::HostController, 1);
  ASSERT_NE(second, nullptr);
  ASSERT_NE(first->driverKey, second->driverKey);

  QIROTOWER_HCINFO info;
  std::memset(&info, 0x5A, sizeof(info));
  ASSERT_TRUE(QIROTowerGetHostControllerInfo(1, &info));
  EXPECT_EQ(info.OpenError, 0u);
  EXPECT_EQ(std::string(info.DriverKeyName), second->driverKey);
  EXPECT_STREQ(info.HostControllerDesc, "Host USB Universal Host Controller");
  ASSERT_TRUE(QIROTowerGetHostControllerInfo(0, &info));
  EXPECT_EQ(std::string(info.DriverKeyName), first->driverKey);

  // Number 5 does not exist: the open's error, in the record and as the last error.
  std::memset(&info, 0x5A, sizeof(info));
  EXPECT_FALSE(QIROTowerGetHostControllerInfo(5, &info));
  EXPECT_EQ(info.OpenError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_STREQ(info.DriverKeyName, "");
  EXPECT_FALSE(QIROTowerGetHostControllerInfo(0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(Diagnostics, ProblemTextsComeFromTheLibrarysStringTableWithTheFallback) {
  EXPECT_EQ(Problem(0), "The device is working properly");
  EXPECT_EQ(Problem(0x1F), "The driver failed the AddDevice request (0x!F)");
  EXPECT_EQ(Problem(0x24), "IRQ translator failed (0x24)");
  EXPECT_EQ(Problem(0x2d), "The device is not working properly. Problem ID = 0x2d");
  // Not the text of 0 again: 4096 + 0x10000 would wrap onto it as a 16-bit id.
  EXPECT_EQ(Problem(0x10000), "The device is not working properly. Problem ID = 0x10000");
  // Cut to the buffer; the number only when five more bytes are free.
  EXPECT_EQ(Problem(0x30, 8), "The dev");
  EXPECT_EQ(Problem(0x16, 9), "The devi");
}

// A text found, or the fallback for a number without one (whether or not
// the number's block of texts exists), leaves the caller's last error alone.
TEST_F(Diagnostics, AProblemTextLeavesTheLastErrorAsItWas) {
  for (DWORD problem : {0x16u, 0x2Du, 0x30u, 0x5Fu, 0x70u, 0x10000u}) {
    char text[128];
    SetLastError(1234);
    EXPECT_TRUE(QIROTowerGetProblemDesc(problem, text, sizeof(text))) << problem;
    EXPECT_EQ(GetLastError(), 1234u) << problem;
  }
}

TEST_F(Diagnostics, AProblemTextNeverGoesBeyondTheBuffer) {
  char guard[16];
  for (DWORD size = 1; size <= 6; ++size) {
    std::memset(guard, 'z', sizeof(guard));
    EXPECT_TRUE(QIROTowerGetProblemDesc(0x30, guard, size)) << size;
    EXPECT_EQ(std::strlen(guard), size - 1) << size;
    for (size_t i = size; i < sizeof(guard); ++i) ASSERT_EQ(guard[i], 'z') << size << " at " << i;
  }
  std::memset(guard, 'z', sizeof(guard));
  EXPECT_FALSE(QIROTowerGetProblemDesc(0x30, guard, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(guard[0], 'z');
  EXPECT_FALSE(QIROTowerGetProblemDesc(0x30, nullptr, 10));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// ---- machines and failures provoked through the machine's fault facility

// A driver key name of `chars` characters.
std::string KeyOf(size_t chars) {
  std::string key;
  for (size_t i = 0; i < chars; ++i) key += static_cast<char>('a' + i % 26);
  return key;
}

TEST_F(Diagnostics, AControllerDeepInTheTreeIsFoundByItsDriverKey) {
  hk::HostControllerOptions deep;
  deep.driverKey = "{36FC9E60-C465-11CF-8056-444553540000}\\0042";
  deep.depth = 5;
  machine_->AddHostController(deep);
  hk::HostControllerOptions beside;
  beside.driverKey = "{36FC9E60-C465-11CF-8056-444553540000}\\0043";
  beside.depth = 2;
  machine_->AddHostController(beside);
  QIROTOWER_HCINFO info;
  ASSERT_TRUE(QIROTowerGetHostControllerInfo(1, &info));
  EXPECT_STREQ(info.DriverKeyName, "{36FC9E60-C465-11CF-8056-444553540000}\\0042");
  EXPECT_STREQ(info.HostControllerDesc, "Host USB Universal Host Controller");
  // Past the deep one the walk climbs back up to reach the next.
  ASSERT_TRUE(QIROTowerGetHostControllerInfo(2, &info));
  EXPECT_STREQ(info.DriverKeyName, "{36FC9E60-C465-11CF-8056-444553540000}\\0043");
  EXPECT_STREQ(info.HostControllerDesc, "Host USB Universal Host Controller");
}

TEST_F(Diagnostics, DriverKeyNamesOfEveryLengthUpTo64KiB) {
  // 127 characters still fit the node's 128-byte read; 128 do not, so the
  // walk finds no node; a name of exactly 64 KiB of record is read, cut to
  // the field; a longer one is not trusted with an allocation.
  const std::vector<size_t> lengths = {1, 127, 128, (0x10000 - 4) / 2 - 1, (0x10000 - 4) / 2};
  for (size_t chars : lengths) {
    hk::HostControllerOptions options;
    options.driverKey = KeyOf(chars);
    machine_->AddHostController(options);
  }
  QIROTOWER_HCINFO info;
  for (size_t i = 0; i < lengths.size(); ++i) {
    std::memset(&info, 0x5A, sizeof(info));
    ASSERT_TRUE(QIROTowerGetHostControllerInfo(static_cast<DWORD>(i + 1), &info)) << lengths[i];
    EXPECT_EQ(info.OpenError, 0u);
    const std::string expected =
        lengths[i] > (0x10000 - 4) / 2 - 1 ? "" : KeyOf(lengths[i]).substr(0, 259);
    EXPECT_EQ(std::string(info.DriverKeyName), expected) << lengths[i];
    EXPECT_STREQ(info.HostControllerDesc,
                 lengths[i] <= 127 ? "Host USB Universal Host Controller" : "")
        << lengths[i];
  }
}

TEST_F(Diagnostics, AControllerThatWillNotNameItsDriverKeyIsStillOpened) {
  hk::Faults& faults = machine_->faults();
  auto first = faults.Once(hk::fault::kGetHcdDriverKeyName,
                           static_cast<uint32_t>(STATUS_INVALID_DEVICE_REQUEST), "HCD0");
  QIROTOWER_HCINFO info;
  std::memset(&info, 0x5A, sizeof(info));
  EXPECT_TRUE(QIROTowerGetHostControllerInfo(0, &info));
  EXPECT_EQ(info.OpenError, 0u);
  EXPECT_STREQ(info.DriverKeyName, "");
  EXPECT_STREQ(info.HostControllerDesc, "");
  EXPECT_EQ(first->Hits(), 1u);
  // The length is told, the whole record refused.
  auto second = faults.After(hk::fault::kGetHcdDriverKeyName, 1,
                             static_cast<uint32_t>(STATUS_UNSUCCESSFUL), "HCD0");
  EXPECT_TRUE(QIROTowerGetHostControllerInfo(0, &info));
  EXPECT_STREQ(info.DriverKeyName, "");
  EXPECT_STREQ(info.HostControllerDesc, "");
  EXPECT_EQ(second->Hits(), 1u);
  // The record cannot be allocated.
  auto memory = faults.Once(hk::fault::kCalloc, 0, "Tavrix.dll");
  SetLastError(0);
  EXPECT_TRUE(QIROTowerGetHostControllerInfo(0, &info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_STREQ(info.DriverKeyName, "");
  EXPECT_EQ(memory->Hits(), 1u);
}

TEST_F(Diagnostics, NoHostControllerAtAll) {
  hk::Machine::Options options{stateDir_};
  options.hostControllers = 0;
  Start(options);
  QIROTOWER_HCINFO info;
  EXPECT_FALSE(QIROTowerGetHostControllerInfo(0, &info));
  EXPECT_EQ(info.OpenError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Diagnostics, AHubThatCannotBeAskedOrIsNoHubGivesNoPowerSource) {
  hk::DevNode* hub = machine_->AddHub(Node(hk::NodeKind::RootHub), 2, false);
  ASSERT_NE(hub, nullptr);
  ASSERT_NE(PlugTowerAt(hub, 1), nullptr);
  std::string instance;
  {
    std::lock_guard<std::recursive_mutex> lock(machine_->tree().mutex());
    instance = hub->instanceId;
  }
  QIROTOWER_DEVICEINFO info;
  // The request fails: the call still succeeds, the hub counts as not bus-powered.
  auto refused = machine_->faults().Once(hk::fault::kGetNodeInformation,
                                         static_cast<uint32_t>(STATUS_DEVICE_NOT_READY), instance);
  ASSERT_TRUE(QIROTowerGetDeviceInfoByNumber(0, QIROTOWER_FIND_PRESENT, &info));
  EXPECT_EQ(info.HubBusPowered, 0u);
  EXPECT_STREQ(info.ParentDesc, "Generic USB Hub");
  EXPECT_EQ(refused->Hits(), 1u);
  ASSERT_TRUE(QIROTowerGetDeviceInfoByNumber(0, QIROTOWER_FIND_PRESENT, &info));
  EXPECT_EQ(info.HubBusPowered, 1u);

  // The detail record for the hub's path cannot be allocated.
  QIROTOWER_FIND* find = QIROTowerFindFirst(QIROTOWER_FIND_PRESENT);
  ASSERT_NE(find, nullptr);
  auto memory = machine_->faults().Once(hk::fault::kMalloc, 0, "Tavrix.dll");
  SetLastError(0);
  EXPECT_TRUE(QIROTowerGetDeviceInfo(find, &info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(info.HubBusPowered, 0u);
  EXPECT_EQ(memory->Hits(), 1u);
  EXPECT_TRUE(QIROTowerFindStop(find));

  // The hub answers that it is no hub.
  ASSERT_TRUE(machine_->SetHubNodeType(hub, 1));
  SetLastError(0);
  ASSERT_TRUE(QIROTowerGetDeviceInfoByNumber(0, QIROTOWER_FIND_PRESENT, &info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_UNIT));
  EXPECT_EQ(info.HubBusPowered, 0u);
}

TEST_F(Diagnostics, WhatCannotBeReadLeavesOnlyItsOwnFieldsEmpty) {
  hk::DevNode* hub = machine_->AddHub(Node(hk::NodeKind::RootHub), 1, false);
  ASSERT_NE(hub, nullptr);
  hk::DeviceObject* physical = PlugTowerAt(hub, 1);
  ASSERT_NE(physical, nullptr);
  std::string tower;
  std::string parent;
  {
    std::lock_guard<std::recursive_mutex> lock(machine_->tree().mutex());
    tower = machine_->NodeOf(physical)->instanceId;
    parent = hub->instanceId;
  }
  hk::Faults& faults = machine_->faults();
  QIROTOWER_DEVICEINFO info;
  {
    SCOPED_TRACE("the tower's description");
    auto refused =
        faults.Always(hk::fault::kCmGetDevNodeRegistryPropertyA, CR_NO_SUCH_VALUE, tower);
    ASSERT_TRUE(QIROTowerGetDeviceInfoByNumber(0, QIROTOWER_FIND_PRESENT, &info));
    EXPECT_EQ(refused->Hits(), 1u);
    EXPECT_STREQ(info.DeviceDesc, "");
    EXPECT_STRNE(info.ParentDesc, "");
    EXPECT_STREQ(info.DriverDesc, "Zembo IR Tower");
    EXPECT_EQ(info.StatusValid, 1u);
    EXPECT_EQ(info.HubBusPowered, 1u);
    faults.Clear(refused);
  }
  {
    SCOPED_TRACE("the parent's description");
    auto refused =
        faults.Always(hk::fault::kCmGetDevNodeRegistryPropertyA, CR_NO_SUCH_VALUE, parent);
    ASSERT_TRUE(QIROTowerGetDeviceInfoByNumber(0, QIROTOWER_FIND_PRESENT, &info));
    EXPECT_EQ(refused->Hits(), 1u);
    EXPECT_STREQ(info.DeviceDesc, "Zembo IR Tower");
    EXPECT_STREQ(info.ParentDesc, "");
    EXPECT_EQ(info.HubBusPowered, 1u) << "the hub is asked all the same";
    faults.Clear(refused);
  }
  {
    SCOPED_TRACE("the driver key");
    auto refused = faults.Always(hk::fault::kSetupDiOpenDevRegKey, ERROR_ACCESS_DENIED, tower);
    ASSERT_TRUE(QIROTowerGetDeviceInfoByNumber(0, QIROTOWER_FIND_PRESENT, &info));
    EXPECT_EQ(refused->Hits(), 1u);
    EXPECT_STREQ(info.DriverVersion, "");
    EXPECT_STREQ(info.DriverDesc, "");
    EXPECT_STREQ(info.ProviderName, "");
    EXPECT_STREQ(info.DeviceDesc, "Zembo IR Tower");
    EXPECT_EQ(info.HubBusPowered, 1u);
    faults.Clear(refused);
  }
  {
    SCOPED_TRACE("one value of the driver key");
    auto refused = faults.Always(hk::fault::kRegQueryValueExA, ERROR_CANTREAD, "DriverVersion");
    ASSERT_TRUE(QIROTowerGetDeviceInfoByNumber(0, QIROTOWER_FIND_PRESENT, &info));
    EXPECT_EQ(refused->Hits(), 1u);
    EXPECT_STREQ(info.DriverVersion, "");
    EXPECT_STREQ(info.DriverDesc, "Zembo IR Tower");
    EXPECT_STREQ(info.ProviderName, "Tower Maker");
    faults.Clear(refused);
  }
}

TEST_F(Diagnostics, ProblemTextsTheLibraryCannotLoadFallBackToItsOwnText) {
  // The number's own text missing: the fallback text, loaded, and the number.
  auto own = machine_->faults().Always(hk::fault::kLoadStringA, ERROR_RESOURCE_NAME_NOT_FOUND,
                                       "Tavrix.dll\\" + std::to_string(4096 + 0x1F));
  SetLastError(1234);
  EXPECT_EQ(Problem(0x1F), "The device is not working properly. Problem ID = 0x1f");
  EXPECT_EQ(GetLastError(), 1234u);
  EXPECT_EQ(own->Hits(), 1u);
  // The fallback text missing too: the library's built-in one.
  auto fallback = machine_->faults().Always(hk::fault::kLoadStringA, ERROR_RESOURCE_NAME_NOT_FOUND,
                                            "Tavrix.dll\\4200");
  EXPECT_EQ(Problem(0x1F), "The device is not working properly. Problem ID = 0x1f");
  EXPECT_EQ(Problem(0x2d), "The device is not working properly. Problem ID = 0x2d");
  EXPECT_EQ(Problem(0x2d, 8), "The dev");
  EXPECT_EQ(GetLastError(), 1234u);
  EXPECT_EQ(fallback->Hits(), 3u);
  EXPECT_EQ(Problem(0), "The device is working properly") << "other texts load as ever";
}

TEST_F(Diagnostics, AControllerWhoseNodeCannotBeFoundHasNoDescription) {
  std::string controller;
  {
    std::lock_guard<std::recursive_mutex> lock(machine_->tree().mutex());
    controller = Node(hk::NodeKind::HostController)->instanceId;
  }
  QIROTOWER_HCINFO info;
  // The node's driver key unreadable: no node has the controller's key.
  auto property = machine_->faults().Always(hk::fault::kCmGetDevNodeRegistryPropertyA,
                                            CR_NO_SUCH_VALUE, controller);
  ASSERT_TRUE(QIROTowerGetHostControllerInfo(0, &info));
  EXPECT_STRNE(info.DriverKeyName, "");
  EXPECT_STREQ(info.HostControllerDesc, "");
  EXPECT_GE(property->Hits(), 1u);
  machine_->faults().Clear(property);
  // The tree's root not to be had: the same.
  auto root = machine_->faults().Once(hk::fault::kCmLocateDevNodeA, CR_FAILURE);
  ASSERT_TRUE(QIROTowerGetHostControllerInfo(0, &info));
  EXPECT_STRNE(info.DriverKeyName, "");
  EXPECT_STREQ(info.HostControllerDesc, "");
  EXPECT_EQ(root->Hits(), 1u);
  ASSERT_TRUE(QIROTowerGetHostControllerInfo(0, &info));
  EXPECT_STRNE(info.HostControllerDesc, "");
}

}  // namespace
}  // namespace towertest
