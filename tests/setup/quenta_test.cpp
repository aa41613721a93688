// The setup library through its exports, and the installer run by the
// machine from its drive: the life of an installation from a tower with no
// driver (problem 28) to a tower that works through the access library, on
// the NT and the legacy family, and the refusals.
#include <gtest/gtest.h>

#include <cstring>

#include "Quenta.h"
#include "Tavrix.h"
#include "faults/faults.h"
#include "setup_fixture.h"
#include "win32/host_process.h"
#include "win32/host_ui.h"
#include "win32/windows.h"

namespace towertest {
namespace {

class QuentaTest : public SetupTest {
 protected:
  void SetUp() override {
    SetupTest::SetUp();
    win32ui::Reset();
  }
  void TearDown() override {
    win32ui::Reset();
    SetupTest::TearDown();
  }
  size_t WorkingTowers() {
    size_t count = 0;
    QIROTOWER_FIND* find = QIROTowerFindFirst(QIROTOWER_FIND_PRESENT);
    if (find == nullptr) return 0;
    do {
      char path[MAX_PATH] = {};
      if (QIROTowerGetPathNameCopy(find, path, sizeof(path))) {
        HANDLE tower = Open(path);
        if (tower != INVALID_HANDLE_VALUE) {
          ++count;
          Close(tower);
        }
      }
    } while (QIROTowerFindNext(find));
    QIROTowerFindStop(find);
    return count;
  }
  void PutInstaller(const std::string& folder) {
    CopyModuleToDrive("installer.exe", folder + "\\installer.exe");
  }
  std::vector<win32ui::MessageBoxRecord> Boxes() { return win32ui::MessageBoxes(); }
};

TEST_F(QuentaTest, ASourceThatIsNoDirectoryIsRefusedBeforeAnythingChanges) {
  PlugTower();
  WriteDriveFile("C:\\SETUP\\Ostrel.inf", "[Version]\n");
  EXPECT_EQ(QIROTowerSetup(0, "C:\\SETUP\\Ostrel.inf", 0), -8);
  EXPECT_EQ(QIROTowerSetup(0, "C:\\NOWHERE", 0), -8);
  EXPECT_EQ(QIROTowerSetup(0, nullptr, 0), -8);
  EXPECT_EQ(TowerEntries(), 1u);
}

TEST_F(QuentaTest, Windows95AndNt4AreRefusedAndNothingChanges) {
  for (hk::WindowsVersion windows : {hk::WindowsVersion::Win95, hk::WindowsVersion::NT4}) {
    BootAs(windows);
    PutDriverSource("C:\\SETUP");
    PlugTower();
    EXPECT_EQ(QIROTowerSetup(0, "C:\\SETUP", 0), -1);
    EXPECT_EQ(TowerEntries(), 1u);
    EXPECT_FALSE(DriveFileExists(machine_->files().WindowsDirectory() + "\\INF\\oem0.inf"));
  }
}

TEST_F(QuentaTest, AMissingInfFailsAfterTheOldDevicesWentAndADriveRootNeedsNoSeparator) {
  PlugTower();
  EXPECT_EQ(QIROTowerSetup(0, "C:\\", 0), -5);
  EXPECT_EQ(TowerEntries(), 0u) << "removed before the copy failed, and not put back";
  // The drive's root as the source: "C:\Ostrel.inf", found.
  PutDriverSource("C:\\");
  EXPECT_EQ(QIROTowerSetup(0, "C:\\", 0), 0);
  EXPECT_TRUE(DriveFileExists("C:\\WINDOWS\\INF\\oem0.inf"));
}

TEST_F(QuentaTest, ThreeOldTowerEntriesPresentOrNotAreAllRemoved) {
  PutDriverSource("C:\\SETUP");
  ASSERT_TRUE(SetupCopyOEMInfA("C:\\SETUP\\Ostrel.inf", "C:\\SETUP", SPOST_PATH, 0, nullptr, 0,
                               nullptr, nullptr));
  hk::DeviceObject* first = PlugTower();
  hk::DeviceObject* second = PlugTower();
  PlugTower();
  machine_->Unplug(first);
  machine_->Unplug(second);
  machine_->SettlePnp();
  ASSERT_EQ(TowerEntries(), 3u);
  EXPECT_EQ(QIROTowerSetup(0, "C:\\SETUP", 0), 0);
  EXPECT_EQ(TowerEntries(), 0u);
  // The one still plugged in is found again by the scan, as new hardware.
  EXPECT_EQ(QIROTowerReenumerateUSB(), 1);
  EXPECT_EQ(TowerEntries(), 1u);
  EXPECT_EQ(WorkingTowers(), 1u);
}

TEST_F(QuentaTest, TheCallbackSlotKeepsItsValue) {
  EXPECT_EQ(QIROTowerSetupGetCallback(), 0u);
  EXPECT_EQ(QIROTowerSetupSetCallback(0x12345678u), 0);
  EXPECT_EQ(QIROTowerSetupGetCallback(), 0x12345678u);
}

TEST_F(QuentaTest, TheInstallerInstallsTheDriverForAWaitingTowerOnXp) {
  PlugTower();
  ASSERT_EQ(TowerEntries(), 1u);
  EXPECT_EQ(WorkingTowers(), 0u) << "problem 28: no driver yet";
  PutDriverSource("C:\\SETUP");
  PutInstaller("C:\\SETUP");
  win32ui::QueueAnswer(IDOK);
  EXPECT_EQ(Win32HostRunProgram("C:\\SETUP\\installer.exe"), 0);
  const auto boxes = Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].caption, "QIRO USB Tower Setup");
  EXPECT_EQ(boxes[0].style, static_cast<UINT>(MB_OKCANCEL));
  EXPECT_EQ(boxes[0].text.rfind("By updating the USB Tower drivers", 0), 0u);
  EXPECT_EQ(boxes[1].text,
            "Driver Installation successful. You can now plug in the QIRO USB Tower.");
  EXPECT_EQ(boxes[1].style, static_cast<UINT>(MB_OK));
  EXPECT_EQ(WorkingTowers(), 1u) << "the re-enumeration bound the tower";
}

TEST_F(QuentaTest, TheInstallerOn98SeCopiesFilesAndCleansUpTheLegacyLeftovers) {
  BootAs(hk::WindowsVersion::Win98SE);
  hk::Registry& registry = machine_->registry();
  const std::string stale = "Machine\\Enum\\USB\\USB\\Vid_0F5C&Pid_0001\\1";
  const std::string classes =
      "Machine\\System\\CurrentControlSet\\Control\\DeviceClasses\\"
      "{da12761a-0bcd-4bb5-ba81-4bbaa660af4e}\\##?#USB#Vid_0F5C&Pid_0001";
  registry.CreateKey(stale);
  registry.CreateKey(classes);
  WriteDriveFile("C:\\WINDOWS\\INF\\drvdata.bin", "old");
  WriteDriveFile("C:\\WINDOWS\\INF\\drvidx.bin", "old");
  PlugTower();
  PutDriverSource("C:\\SETUP");
  PutInstaller("C:\\SETUP");
  win32ui::QueueAnswer(IDOK);
  EXPECT_EQ(Win32HostRunProgram("C:\\SETUP\\installer.exe"), 0);
  EXPECT_TRUE(DriveFileExists("C:\\WINDOWS\\System32\\Drivers\\Ostrel.sys"));
  EXPECT_TRUE(DriveFileExists("C:\\WINDOWS\\Help\\Ostrel.chm"));
  EXPECT_FALSE(registry.KeyExists(stale));
  EXPECT_FALSE(registry.KeyExists(classes));
  EXPECT_FALSE(DriveFileExists("C:\\WINDOWS\\INF\\drvdata.bin"));
  EXPECT_FALSE(DriveFileExists("C:\\WINDOWS\\INF\\drvidx.bin"));
  EXPECT_EQ(WorkingTowers(), 1u);
  // The tower, found again by the installer's scan, registered its
  // interface anew: the class holds that one only.
  const std::vector<std::string> interfaces = registry.SubKeys(
      "Machine\\System\\CurrentControlSet\\Control\\DeviceClasses\\"
      "{da12761a-0bcd-4bb5-ba81-4bbaa660af4e}");
  ASSERT_EQ(interfaces.size(), 1u);
  EXPECT_EQ(interfaces[0].rfind("##?#USB#VID_0F5C&PID_0001#", 0), 0u) << interfaces[0];
}

const std::string kLegacyEnumUsb = "Machine\\Enum\\USB";
const std::string kDeviceClasses = "Machine\\System\\CurrentControlSet\\Control\\DeviceClasses";
const std::string kTowerInterfaces = kDeviceClasses + "\\{da12761a-0bcd-4bb5-ba81-4bbaa660af4e}";
const std::string kHubInterfaces = kDeviceClasses + "\\{f18a0e88-c30c-11d0-8815-00a0c906bed8}";

// Every key below `key`, the key itself first, as paths.
std::vector<std::string> KeysBelow(hk::Registry& registry, const std::string& key) {
  std::vector<std::string> keys{key};
  for (const std::string& sub : registry.SubKeys(key)) {
    std::string subKey = key;
    subKey.append("\\").append(sub);
    const std::vector<std::string> below = KeysBelow(registry, subKey);
    keys.insert(keys.end(), below.begin(), below.end());
  }
  return keys;
}

TEST_F(QuentaTest, On98SeTheSetupRemovesTheStaleInterfaceKeysOfATowerOncePlugged) {
  InstallAfreshAs(hk::WindowsVersion::Win98SE);
  hk::Registry& registry = machine_->registry();
  PutDriverSource("C:\\SETUP");
  PutInstaller("C:\\SETUP");
  win32ui::QueueAnswer(IDOK);
  ASSERT_EQ(Win32HostRunProgram("C:\\SETUP\\installer.exe"), 0);
  // Beside the tower: a hub with a device that is no tower.
  hk::DevNode* hub = machine_->AddHub(RootHub(), 2, true);
  ASSERT_NE(hub, nullptr);
  ASSERT_NE(machine_->PlugUsbAt(hub, 1, Mouse()), nullptr);
  hk::DeviceObject* tower = PlugTower();
  ASSERT_EQ(WorkingTowers(), 1u);
  ASSERT_EQ(SubKeys(kTowerInterfaces).size(), 1u);
  ASSERT_EQ(SubKeys(kLegacyEnumUsb + "\\VID_0F5C&PID_0001").size(), 1u);
  // Once plugged: gone now, its keys kept.
  machine_->Unplug(tower);
  machine_->SettlePnp();
  ASSERT_EQ(SubKeys(kTowerInterfaces).size(), 1u);
  // What is no tower's.
  const std::vector<std::string> rootHub = KeysBelow(registry, kLegacyEnumUsb + "\\ROOT_HUB");
  const std::vector<std::string> hubs = KeysBelow(registry, kLegacyEnumUsb + "\\VID_05E3&PID_0608");
  const std::vector<std::string> mice = KeysBelow(registry, kLegacyEnumUsb + "\\VID_046D&PID_C00E");
  const std::vector<std::string> hubInterfaces = KeysBelow(registry, kHubInterfaces);
  const std::vector<std::string> pci = KeysBelow(registry, "Machine\\Enum\\PCI");
  ASSERT_EQ(rootHub.size(), 2u);
  ASSERT_EQ(hubs.size(), 2u);
  ASSERT_EQ(mice.size(), 2u);
  ASSERT_EQ(hubInterfaces.size(), 5u) << "the class, and the root hub's and the hub's with their #";

  // The setup again: the old entry goes, and the keys the platform left.
  win32ui::Reset();
  win32ui::QueueAnswer(IDOK);
  EXPECT_EQ(Win32HostRunProgram("C:\\SETUP\\installer.exe"), 0);
  EXPECT_EQ(TowerEntries(), 0u);
  EXPECT_FALSE(registry.KeyExists(kTowerInterfaces));
  EXPECT_FALSE(registry.KeyExists(kLegacyEnumUsb + "\\VID_0F5C&PID_0001"));
  EXPECT_FALSE(registry.KeyExists(kLegacyEnumUsb + "\\USB"));
  for (const auto* kept : {&rootHub, &hubs, &mice, &hubInterfaces, &pci})
    for (const std::string& key : *kept) EXPECT_TRUE(registry.KeyExists(key)) << key;

  // Plugged in again, the tower is new hardware with keys of its own.
  PlugTower();
  EXPECT_EQ(WorkingTowers(), 1u);
  EXPECT_EQ(SubKeys(kTowerInterfaces).size(), 1u);
  EXPECT_EQ(SubKeys(kLegacyEnumUsb + "\\VID_0F5C&PID_0001").size(), 1u);
}

TEST_F(QuentaTest, On98SeATowerPluggedInDuringTheSetupComesBackWithFreshKeys) {
  InstallAfreshAs(hk::WindowsVersion::Win98SE);
  hk::Registry& registry = machine_->registry();
  PutDriverSource("C:\\SETUP");
  ASSERT_EQ(QIROTowerSetup(0, "C:\\SETUP", 0), 0);
  PlugTower();
  ASSERT_EQ(WorkingTowers(), 1u);
  const std::vector<std::string> before = SubKeys(kTowerInterfaces);
  ASSERT_EQ(before.size(), 1u);

  EXPECT_EQ(QIROTowerSetup(0, "C:\\SETUP", 0), 0);
  EXPECT_EQ(TowerEntries(), 0u) << "its entry removed, the tower still on its port";
  EXPECT_FALSE(registry.KeyExists(kTowerInterfaces));
  EXPECT_EQ(SubKeys(kHubInterfaces).size(), 1u) << "the root hub's stays";
  EXPECT_EQ(SubKeys(kLegacyEnumUsb + "\\ROOT_HUB").size(), 1u);

  EXPECT_EQ(QIROTowerReenumerateUSB(), 1);
  EXPECT_EQ(WorkingTowers(), 1u);
  EXPECT_EQ(SubKeys(kTowerInterfaces), before) << "the same port: the same interface";
}

TEST_F(QuentaTest, TheInstallerRefusesOldWindowsAndCancelsWithoutAnyChange) {
  BootAs(hk::WindowsVersion::NT4);
  PutDriverSource("C:\\SETUP");
  PutInstaller("C:\\SETUP");
  win32ui::QueueAnswer(IDOK);
  EXPECT_EQ(Win32HostRunProgram("C:\\SETUP\\installer.exe"), -1);
  ASSERT_EQ(Boxes().size(), 2u);
  EXPECT_EQ(Boxes()[1].text, "The QIRO USB Tower cannot be installed on this version of Windows");

  BootAs(hk::WindowsVersion::XP);
  win32ui::Reset();
  PlugTower();
  win32ui::QueueAnswer(IDCANCEL);
  EXPECT_EQ(Win32HostRunProgram("C:\\SETUP\\installer.exe"), -12);
  EXPECT_EQ(Boxes().size(), 1u) << "no message after a cancel";
  EXPECT_EQ(TowerEntries(), 1u);
  EXPECT_FALSE(DriveFileExists("C:\\WINDOWS\\INF\\oem0.inf"));
}

TEST_F(QuentaTest, TheInstallerTakesTheDriveRootWhenItHoldsTheInf) {
  PutDriverSource("C:\\");
  PutInstaller("C:\\CD\\SETUP");
  win32ui::QueueAnswer(IDOK);
  EXPECT_EQ(Win32HostRunProgram("C:\\CD\\SETUP\\installer.exe"), 0);
  // Without the INF at the root, the program's own directory is the source,
  // and a directory without the INF fails the copy.
  ASSERT_TRUE(DeleteFileA("C:\\Ostrel.inf"));
  win32ui::Reset();
  win32ui::QueueAnswer(IDOK);
  EXPECT_EQ(Win32HostRunProgram("C:\\CD\\SETUP\\installer.exe"), -5);
  ASSERT_EQ(Boxes().size(), 2u);
  EXPECT_EQ(Boxes()[1].text, "Could not copy the files");
}

// ---- failures of the platform, provoked through the machine's fault facility

TEST_F(QuentaTest, AVersionThatCannotBeReadGivesMinusNineBeforeAnythingChanges) {
  PutDriverSource("C:\\SETUP");
  PutInstaller("C:\\SETUP");
  PlugTower();
  auto refused = machine_->faults().Always(hk::fault::kGetVersionExA, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(QIROTowerSetup(0, "C:\\SETUP", 0), -9);
  EXPECT_EQ(TowerEntries(), 1u);
  EXPECT_FALSE(DriveFileExists("C:\\WINDOWS\\INF\\oem0.inf"));
  win32ui::QueueAnswer(IDOK);
  EXPECT_EQ(Win32HostRunProgram("C:\\SETUP\\installer.exe"), -9);
  ASSERT_EQ(Boxes().size(), 2u);
  EXPECT_EQ(Boxes()[1].text, "Internal setup error");
  EXPECT_EQ(TowerEntries(), 1u);
  EXPECT_EQ(refused->Hits(), 2u);
}

TEST_F(QuentaTest, ARemovalThePlatformRefusesEndsTheRemovalsButNotTheSetup) {
  PutDriverSource("C:\\SETUP");
  ASSERT_TRUE(SetupCopyOEMInfA("C:\\SETUP\\Ostrel.inf", "C:\\SETUP", SPOST_PATH, 0, nullptr, 0,
                               nullptr, nullptr));
  PlugTower();
  PlugTower();
  PlugTower();
  ASSERT_EQ(TowerEntries(), 3u);
  // The first removal goes, the second is refused: the third is not tried.
  auto refused = machine_->faults().After(hk::fault::kSetupDiRemoveDevice, 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(QIROTowerSetup(0, "C:\\SETUP", 0), 0) << "the count is not used";
  EXPECT_EQ(refused->Hits(), 1u);
  EXPECT_EQ(refused->Seen(), 2u);
  EXPECT_EQ(TowerEntries(), 2u);
}

TEST_F(QuentaTest, AHardwareIdBufferThatCannotBeAllocatedFindsNoTower) {
  PutDriverSource("C:\\SETUP");
  PlugTower();
  auto refused = machine_->faults().Once(hk::fault::kCalloc, 0, "Quenta.dll");
  EXPECT_EQ(QIROTowerSetup(0, "C:\\SETUP", 0), 0);
  EXPECT_EQ(refused->Hits(), 1u);
  EXPECT_EQ(TowerEntries(), 1u) << "no tower was found, so none was removed";
  EXPECT_EQ(machine_->faults().Hits(hk::fault::kSetupDiRemoveDevice), 0u);
}

TEST_F(QuentaTest, AFailedReenumerationIsNotReportedByTheInstaller) {
  PlugTower();
  PutDriverSource("C:\\SETUP");
  PutInstaller("C:\\SETUP");
  auto refused = machine_->faults().Always(hk::fault::kCmReenumerateDevNode, CR_FAILURE);
  EXPECT_EQ(QIROTowerReenumerateUSB(), 0);
  win32ui::QueueAnswer(IDOK);
  EXPECT_EQ(Win32HostRunProgram("C:\\SETUP\\installer.exe"), 0);
  ASSERT_EQ(Boxes().size(), 2u);
  EXPECT_EQ(Boxes()[1].text,
            "Driver Installation successful. You can now plug in the QIRO USB Tower.");
  EXPECT_EQ(refused->Hits(), 2u);
  EXPECT_EQ(WorkingTowers(), 0u) << "without the scan the waiting tower got no driver";
  machine_->faults().Clear(refused);
  EXPECT_EQ(QIROTowerReenumerateUSB(), 1);
  EXPECT_EQ(WorkingTowers(), 1u);
}

TEST_F(QuentaTest, TheInstallerUsesOnlyItsOwnPathFromItsCommandLine) {
  PutDriverSource("C:\\Program Files\\SETUP");
  PutInstaller("C:\\Program Files\\SETUP");
  win32ui::QueueAnswer(IDOK);
  EXPECT_EQ(Win32HostRunProgramWithCommandLine(
                "C:\\Program Files\\SETUP\\installer.exe",
                "\"C:\\Program Files\\SETUP\\installer.exe\" /S C:\\NOWHERE"),
            0);
  ASSERT_EQ(Boxes().size(), 2u);
  EXPECT_EQ(Boxes()[1].text,
            "Driver Installation successful. You can now plug in the QIRO USB Tower.");
  // Its path unquoted: the runtime ends the first argument at the blank, so
  // the program looks in "C:\\" and finds no INF there.
  win32ui::Reset();
  win32ui::QueueAnswer(IDOK);
  EXPECT_EQ(Win32HostRunProgramWithCommandLine("C:\\Program Files\\SETUP\\installer.exe",
                                               "C:\\Program Files\\SETUP\\installer.exe"),
            -5);
  ASSERT_EQ(Boxes().size(), 2u);
  EXPECT_EQ(Boxes()[1].text, "Could not copy the files");
}

std::string InstanceOf(hk::Machine& machine, hk::DeviceObject* physical) {
  std::lock_guard<std::recursive_mutex> lock(machine.tree().mutex());
  return machine.NodeOf(physical)->instanceId;
}

TEST_F(QuentaTest, On98SeAnInfTheSetupCannotOpenOrCopyFromFailsTheCopy) {
  BootAs(hk::WindowsVersion::Win98SE);
  PutDriverSource("C:\\SETUP");
  PlugTower();
  auto refused =
      machine_->faults().Once(hk::fault::kSetupOpenInfFileA, ERROR_ACCESS_DENIED, "Ostrel.inf");
  EXPECT_EQ(QIROTowerSetup(0, "C:\\SETUP", 0), -5);
  EXPECT_EQ(refused->Hits(), 1u);
  EXPECT_EQ(TowerEntries(), 0u) << "the old devices went before";
  EXPECT_FALSE(DriveFileExists("C:\\WINDOWS\\System32\\Drivers\\Ostrel.sys"));
  // A source without a file the INF's default section copies fails the same way.
  ASSERT_TRUE(DeleteFileA("C:\\SETUP\\Ostrel.sys"));
  EXPECT_EQ(QIROTowerSetup(0, "C:\\SETUP", 0), -5);
  EXPECT_FALSE(DriveFileExists("C:\\WINDOWS\\System32\\Drivers\\Ostrel.sys"));
}

TEST_F(QuentaTest, On98SeLegacyKeysThatCannotBeOpenedOrDeletedAreLeftAndTheSetupSucceeds) {
  BootAs(hk::WindowsVersion::Win98SE);
  hk::Registry& registry = machine_->registry();
  const std::string stale = "Machine\\Enum\\USB\\USB\\Vid_0F5C&Pid_0001\\1";
  const std::string classes = kTowerInterfaces + "\\##?#USB#Vid_0F5C&Pid_0001";
  PutDriverSource("C:\\SETUP");
  const auto plant = [&] {
    registry.CreateKey(stale);
    registry.CreateKey(classes);
    WriteDriveFile("C:\\WINDOWS\\INF\\drvdata.bin", "old");
    WriteDriveFile("C:\\WINDOWS\\INF\\drvidx.bin", "old");
  };
  // No "Enum\USB": neither it nor the interface class is touched; the driver
  // database still goes.
  plant();
  auto enumKey =
      machine_->faults().Once(hk::fault::kRegOpenKeyExA, ERROR_ACCESS_DENIED, "Enum\\USB");
  EXPECT_EQ(QIROTowerSetup(0, "C:\\SETUP", 0), 0);
  EXPECT_EQ(enumKey->Hits(), 1u);
  EXPECT_TRUE(registry.KeyExists(stale));
  EXPECT_TRUE(registry.KeyExists(classes));
  EXPECT_FALSE(DriveFileExists("C:\\WINDOWS\\INF\\drvdata.bin"));

  // The device classes unopenable: the device keys went, the class stays.
  plant();
  auto classKey =
      machine_->faults().Once(hk::fault::kRegOpenKeyExA, ERROR_ACCESS_DENIED, "DeviceClasses");
  EXPECT_EQ(QIROTowerSetup(0, "C:\\SETUP", 0), 0);
  EXPECT_EQ(classKey->Hits(), 1u);
  EXPECT_FALSE(registry.KeyExists(stale));
  EXPECT_TRUE(registry.KeyExists(classes));

  // The class key's deletion refused.
  plant();
  auto deletion = machine_->faults().Once(hk::fault::kRegDeleteKeyA, ERROR_ACCESS_DENIED,
                                          "{da12761a-0bcd-4bb5-ba81-4bbaa660af4e}");
  EXPECT_EQ(QIROTowerSetup(0, "C:\\SETUP", 0), 0);
  EXPECT_EQ(deletion->Hits(), 1u);
  EXPECT_FALSE(registry.KeyExists(stale));
  EXPECT_TRUE(registry.KeyExists(classes));
}

TEST_F(QuentaTest, On98SeADriverDatabaseThatCannotBeFoundOrDeletedDoesNotFailTheSetup) {
  BootAs(hk::WindowsVersion::Win98SE);
  PutDriverSource("C:\\SETUP");
  WriteDriveFile("C:\\WINDOWS\\INF\\drvdata.bin", "old");
  WriteDriveFile("C:\\WINDOWS\\INF\\drvidx.bin", "old");
  auto windows =
      machine_->faults().Always(hk::fault::kGetWindowsDirectoryA, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(QIROTowerSetup(0, "C:\\SETUP", 0), 0);
  EXPECT_GE(windows->Hits(), 1u);
  EXPECT_TRUE(DriveFileExists("C:\\WINDOWS\\INF\\drvdata.bin"));
  EXPECT_TRUE(DriveFileExists("C:\\WINDOWS\\INF\\drvidx.bin"));
  machine_->faults().Clear(windows);
  // The first file refused: the second still goes.
  auto first =
      machine_->faults().Once(hk::fault::kDeleteFileA, ERROR_SHARING_VIOLATION, "drvdata.bin");
  EXPECT_EQ(QIROTowerSetup(0, "C:\\SETUP", 0), 0);
  EXPECT_EQ(first->Hits(), 1u);
  EXPECT_TRUE(DriveFileExists("C:\\WINDOWS\\INF\\drvdata.bin"));
  EXPECT_FALSE(DriveFileExists("C:\\WINDOWS\\INF\\drvidx.bin"));
}

TEST_F(QuentaTest, ARootThatCannotBeLocatedIsNotScanned) {
  PlugTower();
  PutDriverSource("C:\\SETUP");
  ASSERT_EQ(QIROTowerSetup(0, "C:\\SETUP", 0), 0);
  auto refused = machine_->faults().Once(hk::fault::kCmLocateDevNodeA, CR_FAILURE);
  EXPECT_EQ(QIROTowerReenumerateUSB(), 0);
  EXPECT_EQ(refused->Hits(), 1u);
  EXPECT_EQ(WorkingTowers(), 0u) << "no scan, so the tower still has no driver";
  EXPECT_EQ(QIROTowerReenumerateUSB(), 1);
  EXPECT_EQ(WorkingTowers(), 1u);
}

TEST_F(QuentaTest, ADeviceListThatCannotBeHadRemovesNoTowerButTheSetupGoesOn) {
  PutDriverSource("C:\\SETUP");
  PlugTower();
  auto refused =
      machine_->faults().Always(hk::fault::kSetupDiGetClassDevsA, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(QIROTowerSetup(0, "C:\\SETUP", 0), 0);
  EXPECT_EQ(refused->Hits(), 1u);
  EXPECT_EQ(TowerEntries(), 1u);
  EXPECT_TRUE(DriveFileExists("C:\\WINDOWS\\INF\\oem0.inf"));
}

TEST_F(QuentaTest, HardwareIdsThatCannotBeReadSkipTheDeviceOrEndTheSearch) {
  PutDriverSource("C:\\SETUP");
  ASSERT_TRUE(SetupCopyOEMInfA("C:\\SETUP\\Ostrel.inf", "C:\\SETUP", SPOST_PATH, 0, nullptr, 0,
                               nullptr, nullptr));
  const std::string first = InstanceOf(*machine_, PlugTower());
  PlugTower();
  ASSERT_EQ(TowerEntries(), 2u);
  // A device without hardware ids is passed over: both towers go.
  auto none = machine_->faults().Once(hk::fault::kSetupDiGetDeviceRegistryPropertyA,
                                      ERROR_INVALID_DATA, first);
  EXPECT_EQ(QIROTowerSetup(0, "C:\\SETUP", 0), 0);
  EXPECT_EQ(none->Hits(), 1u);
  EXPECT_EQ(TowerEntries(), 0u);

  ASSERT_EQ(QIROTowerReenumerateUSB(), 1);
  ASSERT_EQ(TowerEntries(), 2u);
  // Any other failure of the first read ends the search: neither goes.
  auto denied = machine_->faults().Once(hk::fault::kSetupDiGetDeviceRegistryPropertyA,
                                        ERROR_ACCESS_DENIED, first);
  const uint64_t removals = machine_->faults().Hits(hk::fault::kSetupDiRemoveDevice);
  EXPECT_EQ(QIROTowerSetup(0, "C:\\SETUP", 0), 0);
  EXPECT_EQ(denied->Hits(), 1u);
  EXPECT_EQ(TowerEntries(), 2u);
  EXPECT_EQ(machine_->faults().Hits(hk::fault::kSetupDiRemoveDevice), removals);
}

TEST_F(QuentaTest, AReadAfterTheBufferGrewThatFailsPassesOverThatDevice) {
  PutDriverSource("C:\\SETUP");
  ASSERT_TRUE(SetupCopyOEMInfA("C:\\SETUP\\Ostrel.inf", "C:\\SETUP", SPOST_PATH, 0, nullptr, 0,
                               nullptr, nullptr));
  PlugTower();
  // The host controller's ids are longer than the first buffer: a read, the
  // size, and the read again, which fails.
  std::string controller;
  {
    std::lock_guard<std::recursive_mutex> lock(machine_->tree().mutex());
    controller = RootHub()->parent->instanceId;
  }
  auto refused = machine_->faults().After(hk::fault::kSetupDiGetDeviceRegistryPropertyA, 2,
                                          ERROR_ACCESS_DENIED, controller);
  EXPECT_EQ(QIROTowerSetup(0, "C:\\SETUP", 0), 0);
  EXPECT_EQ(refused->Hits(), 1u);
  EXPECT_EQ(TowerEntries(), 0u) << "the search went on past the controller to the tower";
}

TEST_F(QuentaTest, TheInstallerWithoutItsStringsShowsItsBuiltInTexts) {
  PutDriverSource("C:\\SETUP");
  PutInstaller("C:\\SETUP");
  for (const char* id : {"installer.exe\\1", "installer.exe\\2", "installer.exe\\100"})
    machine_->faults().Always(hk::fault::kLoadStringA, ERROR_RESOURCE_NAME_NOT_FOUND, id);
  win32ui::QueueAnswer(IDOK);
  EXPECT_EQ(Win32HostRunProgram("C:\\SETUP\\installer.exe"), 0);
  ASSERT_EQ(Boxes().size(), 2u);
  EXPECT_EQ(Boxes()[0].caption, "QIRO USB Tower Setup");
  EXPECT_EQ(Boxes()[0].text, "Press OK to install or update the QIRO USB Tower driver files");
  EXPECT_EQ(Boxes()[1].caption, "QIRO USB Tower Setup");
  EXPECT_EQ(Boxes()[1].text, "Message not found in resource file");
  EXPECT_EQ(machine_->faults().Hits(hk::fault::kLoadStringA), 4u);
}

TEST_F(QuentaTest, TheInstallerScansTheTreeAfterAFailedSetupToo) {
  PutInstaller("C:\\SETUP");  // no INF beside it
  auto scan = machine_->faults().Always(hk::fault::kCmReenumerateDevNode, CR_FAILURE);
  win32ui::QueueAnswer(IDOK);
  EXPECT_EQ(Win32HostRunProgram("C:\\SETUP\\installer.exe"), -5);
  ASSERT_EQ(Boxes().size(), 2u);
  EXPECT_EQ(Boxes()[1].text, "Could not copy the files");
  EXPECT_EQ(scan->Hits(), 1u) << "the scan ran, and its failure changed nothing";
}

}  // namespace
}  // namespace towertest
