// The legacy family's record of devices: HKLM\Enum\<enumerator>\<device>\<instance>
// for the bus's own devices from the start and for every USB device once
// plugged, kept when it leaves, in that family's string-only form; and a
// DeviceClasses key for each device interface registered. The NT family's
// record stays as it was.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "setup_fixture.h"
#include "win32/windows.h"

namespace towertest {
namespace {

const std::string kEnumUsb = "Machine\\Enum\\USB";
const std::string kClasses = "Machine\\System\\CurrentControlSet\\Control\\DeviceClasses";
const std::string kTowerClass = "{da12761a-0bcd-4bb5-ba81-4bbaa660af4e}";
const std::string kHubClass = "{f18a0e88-c30c-11d0-8815-00a0c906bed8}";

class LegacyLayoutTest : public SetupTest {
 protected:
  // The one instance key below an Enum device key.
  std::string OnlyInstance(const std::string& deviceKey) {
    const std::vector<std::string> instances = SubKeys(deviceKey);
    EXPECT_EQ(instances.size(), 1u) << deviceKey;
    return instances.empty() ? deviceKey + "\\?" : deviceKey + "\\" + instances[0];
  }
  uint32_t TypeOf(const std::string& key, const std::string& name) {
    const auto value = machine_->registry().GetValue(key, name);
    return value ? value->type : ~0u;
  }
  hk::DevNode* Node(const std::string& instanceId) { return machine_->tree().Find(instanceId); }
};

TEST_F(LegacyLayoutTest, AFresh98SeMachineRecordsItsRootHubAndEveryUsbDeviceOncePlugged) {
  InstallAfreshAs(hk::WindowsVersion::Win98SE);
  // The root hub and its controller, from the start, in string values only.
  const std::string rootHub = OnlyInstance(kEnumUsb + "\\ROOT_HUB");
  EXPECT_EQ(Text(rootHub, "HardwareID"), "USB\\ROOT_HUB");
  EXPECT_EQ(TypeOf(rootHub, "HardwareID"), hk::kRegSz);
  EXPECT_EQ(Text(rootHub, "DeviceDesc"), "USB Root Hub");
  EXPECT_EQ(Text(rootHub, "Class"), "USB");
  EXPECT_EQ(Text(rootHub, "Mfg"), "(Standard USB Host Controller)");
  EXPECT_FALSE(machine_->registry().GetValue(rootHub, "Service")) << "the family has no services";
  ASSERT_EQ(SubKeys("Machine\\Enum\\PCI").size(), 1u);
  const std::string controller =
      OnlyInstance("Machine\\Enum\\PCI\\" + SubKeys("Machine\\Enum\\PCI")[0]);
  EXPECT_EQ(Text(controller, "HardwareID"),
            "PCI\\VEN_8086&DEV_7112&SUBSYS_00000000&REV_01,PCI\\VEN_8086&DEV_7112");
  EXPECT_FALSE(Text(controller, "Driver").empty());
  // The root hub's device interface.
  const std::string rootHubId = "USB\\ROOT_HUB\\" + SubKeys(kEnumUsb + "\\ROOT_HUB")[0];
  std::string interfaceName = "##?#" + rootHubId + "#" + kHubClass;
  for (char& c : interfaceName)
    if (c == '\\') c = '#';
  ASSERT_EQ(SubKeys(kClasses + "\\" + kHubClass), std::vector<std::string>{interfaceName});
  const std::string rootHubInterface = kClasses + "\\" + kHubClass + "\\" + interfaceName;
  EXPECT_EQ(Text(rootHubInterface, "DeviceInstance"), rootHubId);
  EXPECT_EQ(Text(rootHubInterface + "\\#", "SymbolicLink").rfind("\\\\?\\usb#root_hub#", 0), 0u);
  EXPECT_TRUE(SubKeys(kClasses + "\\" + kTowerClass).empty());
  EXPECT_FALSE(machine_->registry().KeyExists(kEnumUsb + "\\VID_0F5C&PID_0001"));

  // A tower without a driver: its key as it is found.
  hk::DeviceObject* tower = PlugTower();
  const std::string towerKey = OnlyInstance(kEnumUsb + "\\VID_0F5C&PID_0001");
  const std::string towerIds = Text(towerKey, "HardwareID");
  EXPECT_EQ(towerIds.rfind("USB\\VID_0F5C&PID_0001&REV_", 0), 0u) << towerIds;
  EXPECT_EQ(towerIds.substr(towerIds.find(',')), ",USB\\VID_0F5C&PID_0001");
  EXPECT_EQ(Text(towerKey, "DeviceDesc"), "USB Device");
  EXPECT_EQ(Text(towerKey, "Driver"), "") << "no driver yet";
  EXPECT_TRUE(SubKeys(kClasses + "\\" + kTowerClass).empty()) << "no driver registered one";

  // A hub on the second port, with a device that is no tower on it.
  hk::DevNode* hub = machine_->AddHub(RootHub(), 2, true);
  ASSERT_NE(hub, nullptr);
  const std::string hubKey = OnlyInstance(kEnumUsb + "\\VID_05E3&PID_0608");
  EXPECT_EQ(Text(hubKey, "HardwareID"), "USB\\VID_05E3&PID_0608&REV_0100,USB\\VID_05E3&PID_0608");
  EXPECT_EQ(Text(hubKey, "Class"), "USB");
  EXPECT_EQ(SubKeys(kClasses + "\\" + kHubClass).size(), 2u);
  ASSERT_NE(machine_->PlugUsbAt(hub, 1, Mouse()), nullptr);
  const std::string mouseKey = OnlyInstance(kEnumUsb + "\\VID_046D&PID_C00E");
  EXPECT_EQ(Text(mouseKey, "HardwareID"), "USB\\VID_046D&PID_C00E&REV_1110,USB\\VID_046D&PID_C00E");

  // Gone from the bus, the tower keeps its key; after a restart it is an
  // entry that is not present, with both its ids.
  machine_->Unplug(tower);
  machine_->SettlePnp();
  EXPECT_TRUE(machine_->registry().KeyExists(towerKey));
  Restart();
  EXPECT_TRUE(machine_->registry().KeyExists(towerKey));
  EXPECT_TRUE(machine_->registry().KeyExists(rootHub));
  EXPECT_EQ(TowerEntries(), 1u);
  const std::string towerId = towerKey.substr(std::string("Machine\\Enum\\").size());
  hk::DevNode* entry = Node(towerId);
  ASSERT_NE(entry, nullptr);
  EXPECT_FALSE(entry->present);
  EXPECT_EQ(entry->hardwareIds.size(), 2u);
  EXPECT_EQ(entry->hardwareIds.back(), "USB\\VID_0F5C&PID_0001");
  // The hub's kept entry is the hub again when it is found at its place.
  hub = machine_->AddHub(RootHub(), 2, true);
  ASSERT_NE(hub, nullptr);
  EXPECT_EQ(hub->kind, hk::NodeKind::Hub);
  EXPECT_TRUE(hub->present);
}

TEST_F(LegacyLayoutTest, ABoundTowerRecordsItsDriverAndItsInterfaceKeptAfterItsEntryGoes) {
  InstallAfreshAs(hk::WindowsVersion::Win98SE);
  PutDriverSource("C:\\SETUP");
  ASSERT_TRUE(SetupCopyOEMInfA("C:\\SETUP\\Ostrel.inf", "C:\\SETUP", SPOST_PATH, 0, nullptr, 0,
                               nullptr, nullptr));
  PlugTower();
  const std::string towerKey = OnlyInstance(kEnumUsb + "\\VID_0F5C&PID_0001");
  const std::string towerId = towerKey.substr(std::string("Machine\\Enum\\").size());
  EXPECT_EQ(Text(towerKey, "DeviceDesc"), "QIRO USB Tower");
  EXPECT_EQ(Text(towerKey, "Class"), "USB");
  EXPECT_EQ(Text(towerKey, "Mfg"), "QIRO");
  const std::string driver = Text(towerKey, "Driver");
  ASSERT_FALSE(driver.empty());
  EXPECT_EQ(Text("Machine\\System\\CurrentControlSet\\Services\\Class\\" + driver, "DriverDesc"),
            "QIRO USB Tower");
  // The interface: its key named after the path user mode opens.
  const std::vector<std::string> paths = InterfacePaths(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_EQ(paths.size(), 1u);
  const std::vector<std::string> interfaces = SubKeys(kClasses + "\\" + kTowerClass);
  ASSERT_EQ(interfaces.size(), 1u);
  std::string expected = "##?#" + towerId + "#" + kTowerClass;
  for (char& c : expected)
    if (c == '\\') c = '#';
  EXPECT_EQ(interfaces[0], expected);
  const std::string interfaceKey = kClasses + "\\" + kTowerClass + "\\" + interfaces[0];
  EXPECT_EQ(Text(interfaceKey, "DeviceInstance"), towerId);
  EXPECT_EQ(Text(interfaceKey + "\\#", "SymbolicLink"), paths[0]);

  // The entry removed (as Device Manager or the uninstall does): its Enum
  // and driver keys go; the platform leaves the interface's key behind.
  ASSERT_TRUE(machine_->RemoveDevice(Node(towerId)));
  machine_->SettlePnp();
  EXPECT_EQ(TowerEntries(), 0u);
  EXPECT_FALSE(machine_->registry().KeyExists(towerKey));
  EXPECT_FALSE(machine_->registry().KeyExists(
      "Machine\\System\\CurrentControlSet\\Services\\Class\\" + driver));
  EXPECT_TRUE(machine_->registry().KeyExists(interfaceKey)) << "stale now";
}

TEST_F(LegacyLayoutTest, AFreshDriverKeyNeverTakesTheKeyOfAnEntryKeptFromAnEarlierStart) {
  InstallAfreshAs(hk::WindowsVersion::Win98SE);
  PutDriverSource("C:\\SETUP");
  ASSERT_TRUE(SetupCopyOEMInfA("C:\\SETUP\\Ostrel.inf", "C:\\SETUP", SPOST_PATH, 0, nullptr, 0,
                               nullptr, nullptr));
  machine_->Unplug(PlugTower());
  machine_->SettlePnp();
  const std::string first = OnlyInstance(kEnumUsb + "\\VID_0F5C&PID_0001");
  const std::string firstDriver = Text(first, "Driver");
  ASSERT_FALSE(firstDriver.empty());
  Restart();
  // Another tower, on another port: a driver key of its own.
  ASSERT_NE(machine_->PlugUsbAt(RootHub(), 3, std::make_shared<sim::TowerModel>(Instant())),
            nullptr);
  const std::string towers = kEnumUsb + "\\VID_0F5C&PID_0001";
  std::vector<std::string> drivers;
  for (const std::string& instance : SubKeys(towers)) {
    std::string key = towers;
    key.append("\\").append(instance);
    drivers.push_back(Text(key, "Driver"));
  }
  ASSERT_EQ(drivers.size(), 2u);
  EXPECT_NE(drivers[0], drivers[1]);
  const std::string controller =
      OnlyInstance("Machine\\Enum\\PCI\\" + SubKeys("Machine\\Enum\\PCI")[0]);
  EXPECT_NE(Text(controller, "Driver"), drivers[0]);
  EXPECT_NE(Text(controller, "Driver"), drivers[1]);
}

TEST_F(LegacyLayoutTest, TheNtFamilyRecordsAsBefore) {
  InstallAfreshAs(hk::WindowsVersion::XP);
  EXPECT_FALSE(machine_->registry().KeyExists("Machine\\Enum"));
  EXPECT_FALSE(
      machine_->registry().KeyExists("Machine\\System\\CurrentControlSet\\Enum\\USB\\ROOT_HUB"));
  EXPECT_FALSE(machine_->registry().KeyExists(kClasses));
  PlugTower();
  const std::string towerKey =
      OnlyInstance("Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_0F5C&PID_0001");
  EXPECT_EQ(TypeOf(towerKey, "HardwareID"), hk::kRegMultiSz);
  EXPECT_FALSE(machine_->registry().GetValue(towerKey, "Class"));
  EXPECT_FALSE(machine_->registry().KeyExists(kClasses));
}

}  // namespace
}  // namespace towertest
