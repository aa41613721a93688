// The applet's uninstall: its file and help file deleted now or at the next
// restart (the delayed move on XP, Wininit.ini's [rename] list on 98 SE),
// the tower entries removed; and the rename list kept in force when a step
// of writing it fails.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "delete_file.h"
#include "faults/faults.h"
#include "resource.h"
#include "setup_fixture.h"
#include "win32/host_process.h"
#include "win32/host_ui.h"
#include "win32/windows.h"

namespace towertest {
namespace {

class UninstallTest : public SetupTest {
 protected:
  void SetUp() override {
    SetupTest::SetUp();
    win32ui::Reset();
  }
  void TearDown() override {
    UnloadApplet();
    win32ui::Reset();
    SetupTest::TearDown();
  }
  // The driver installed from its package, a tower bound to it, and the
  // applet loaded from the system directory as the Control Panel does.
  void InstallAndLoadApplet(const std::string& appletPath) {
    PutDriverSource("C:\\SETUP");
    ASSERT_TRUE(SetupCopyOEMInfA("C:\\SETUP\\Ostrel.inf", "C:\\SETUP", SPOST_PATH, 0, nullptr, 0,
                                 nullptr, nullptr));
    PlugTower();
    ASSERT_EQ(TowerEntries(), 1u);
    ASSERT_TRUE(DriveFileExists("C:\\WINDOWS\\Help\\Ostrel.chm"));
    CopyModuleToDrive("Ostrel.cpl", appletPath);
    applet_ = LoadLibraryA(appletPath.c_str());
    ASSERT_NE(applet_, nullptr);
    cpl_ = reinterpret_cast<APPLET_PROC>(
        reinterpret_cast<void*>(GetProcAddress(applet_, "CPlApplet")));
    ASSERT_NE(cpl_, nullptr);
    ASSERT_EQ(cpl_(nullptr, CPL_INIT, 0, 0), 1);
  }
  void UnloadApplet() {
    if (applet_ == nullptr) return;
    cpl_(nullptr, CPL_STOP, 0, 0);
    cpl_(nullptr, CPL_EXIT, 0, 0);
    FreeLibrary(applet_);
    applet_ = nullptr;
  }
  // The user presses "&Uninstall..." on the General page and answers Yes.
  void PressUninstall() {
    win32ui::QueueAnswer(IDYES);
    win32ui::SetPerson(
        [&](HWND sheet) { EXPECT_TRUE(win32ui::Click(win32ui::Page(sheet, 0), IDC_UNINSTALL)); });
    EXPECT_EQ(cpl_(nullptr, CPL_DBLCLK, 0, 0), 0);
  }
  std::vector<std::string> Texts() {
    std::vector<std::string> texts;
    for (const auto& box : win32ui::MessageBoxes()) texts.push_back(box.text);
    return texts;
  }

  HMODULE applet_ = nullptr;
  APPLET_PROC cpl_ = nullptr;
};

const char kConfirm[] = "Are you sure you want to uninstall the QIRO USB Tower?";
const char kRestartNeeded[] =
    "Uninstallation successful. You can now unplug the tower. The control panel applet will be "
    "removed next time you restart the PC.";

TEST_F(UninstallTest, OnXpTheAppletInUseAndItsHelpGoAtTheNextRestart) {
  InstallAndLoadApplet("C:\\WINDOWS\\SYSTEM32\\Ostrel.cpl");
  PressUninstall();
  ASSERT_EQ(Texts(), (std::vector<std::string>{kConfirm, kRestartNeeded}));
  EXPECT_EQ(win32ui::MessageBoxes()[0].style, 0x124u);
  EXPECT_EQ(win32ui::MessageBoxes()[1].style, 0x40u);
  EXPECT_EQ(TowerEntries(), 0u);
  // The help file could have gone at once; it waits with the applet.
  EXPECT_TRUE(DriveFileExists("C:\\WINDOWS\\SYSTEM32\\Ostrel.cpl"));
  EXPECT_TRUE(DriveFileExists("C:\\WINDOWS\\Help\\Ostrel.chm"));
  UnloadApplet();
  Restart();
  EXPECT_FALSE(DriveFileExists("C:\\WINDOWS\\SYSTEM32\\Ostrel.cpl"));
  EXPECT_FALSE(DriveFileExists("C:\\WINDOWS\\Help\\Ostrel.chm"));
  EXPECT_TRUE(DriveFileExists("C:\\WINDOWS\\System32\\Drivers\\Ostrel.sys")) << "the driver stays";
}

TEST_F(UninstallTest, On98SeBothFilesGoThroughWininitAtTheNextRestart) {
  BootAs(hk::WindowsVersion::Win98SE);
  InstallAndLoadApplet("C:\\WINDOWS\\SYSTEM\\Ostrel.cpl");
  PressUninstall();
  ASSERT_EQ(Texts(), (std::vector<std::string>{kConfirm, kRestartNeeded}));
  EXPECT_EQ(TowerEntries(), 0u);
  // Each entry goes right after the header; what followed it stays as it was.
  EXPECT_EQ(ReadDriveFile("C:\\WINDOWS\\Wininit.ini"),
            "[rename]\r\nNUL=C:\\WINDOWS\\HELP\\OSTREL.CHM\r\n\r\nNUL=C:\\WINDOWS\\SYSTEM\\OSTREL."
            "CPL\r\n");
  UnloadApplet();
  Restart();
  EXPECT_FALSE(DriveFileExists("C:\\WINDOWS\\SYSTEM\\Ostrel.cpl"));
  EXPECT_FALSE(DriveFileExists("C:\\WINDOWS\\Help\\Ostrel.chm"));
}

TEST_F(UninstallTest, On98SeTheInterfaceKeyOutlivesTheEntryUntilTheNextSetupRemovesIt) {
  const std::string enumUsb = "Machine\\Enum\\USB";
  const std::string towerInterfaces =
      "Machine\\System\\CurrentControlSet\\Control\\DeviceClasses\\"
      "{da12761a-0bcd-4bb5-ba81-4bbaa660af4e}";
  InstallAfreshAs(hk::WindowsVersion::Win98SE);
  InstallAndLoadApplet("C:\\WINDOWS\\SYSTEM\\Ostrel.cpl");
  hk::Registry& registry = machine_->registry();
  ASSERT_EQ(SubKeys(towerInterfaces).size(), 1u);
  // Unplugged first, as a tower often is: its entry is removed all the same.
  const std::vector<std::string> instances = SubKeys(enumUsb + "\\VID_0F5C&PID_0001");
  ASSERT_EQ(instances.size(), 1u);
  hk::DevNode* tower = machine_->tree().Find("USB\\VID_0F5C&PID_0001\\" + instances[0]);
  ASSERT_NE(tower, nullptr);
  machine_->Unplug(tower->physical);
  machine_->SettlePnp();
  PressUninstall();
  EXPECT_EQ(TowerEntries(), 0u);
  EXPECT_TRUE(SubKeys(enumUsb + "\\VID_0F5C&PID_0001").empty()) << "the entry's key went";
  EXPECT_EQ(SubKeys(towerInterfaces).size(), 1u) << "the platform leaves the interface's key";
  EXPECT_EQ(SubKeys(enumUsb + "\\ROOT_HUB").size(), 1u);
  UnloadApplet();

  // The setup run later removes what the platform left.
  CopyModuleToDrive("installer.exe", "C:\\SETUP\\installer.exe");
  win32ui::Reset();
  win32ui::QueueAnswer(IDOK);
  EXPECT_EQ(Win32HostRunProgram("C:\\SETUP\\installer.exe"), 0);
  EXPECT_FALSE(registry.KeyExists(towerInterfaces));
  EXPECT_FALSE(registry.KeyExists(enumUsb + "\\VID_0F5C&PID_0001"));
  EXPECT_EQ(SubKeys(enumUsb + "\\ROOT_HUB").size(), 1u);
  EXPECT_EQ(SubKeys("Machine\\System\\CurrentControlSet\\Control\\DeviceClasses\\"
                    "{f18a0e88-c30c-11d0-8815-00a0c906bed8}")
                .size(),
            1u);
}

TEST_F(UninstallTest, AnsweringNoChangesNothing) {
  InstallAndLoadApplet("C:\\WINDOWS\\SYSTEM32\\Ostrel.cpl");
  win32ui::QueueAnswer(IDNO);
  win32ui::SetPerson([&](HWND sheet) {
    EXPECT_TRUE(win32ui::Click(win32ui::Page(sheet, 0), IDC_UNINSTALL));
    EXPECT_TRUE(win32ui::Exists(sheet)) << "the sheet stays open";
  });
  cpl_(nullptr, CPL_DBLCLK, 0, 0);
  EXPECT_EQ(Texts(), std::vector<std::string>{kConfirm});
  EXPECT_EQ(TowerEntries(), 1u);
  UnloadApplet();
  Restart();
  EXPECT_TRUE(DriveFileExists("C:\\WINDOWS\\SYSTEM32\\Ostrel.cpl"));
}

// ---- failures of the platform, provoked through the machine's fault facility

const char kDone[] = "Uninstallation successful. You can now unplug the tower.";
const char kErrorDeleting[] = "Error deleting control panel applet";

TEST_F(UninstallTest, OnXpAnAppletThatCannotBeScheduledIsReportedAndTheTowersStillGo) {
  InstallAndLoadApplet("C:\\WINDOWS\\SYSTEM32\\Ostrel.cpl");
  auto refused = machine_->faults().Always(hk::fault::kMoveFileExA, ERROR_ACCESS_DENIED);
  PressUninstall();
  ASSERT_EQ(Texts(), (std::vector<std::string>{kConfirm, kErrorDeleting, kDone}));
  EXPECT_EQ(win32ui::MessageBoxes()[1].style, 0x40u);
  EXPECT_EQ(refused->Hits(), 1u) << "the help file is left alone";
  EXPECT_EQ(TowerEntries(), 0u);
  EXPECT_FALSE(
      machine_->registry().GetValue(hk::kPendingRenamesKey, hk::kPendingRenamesValue).has_value());
  UnloadApplet();
  Restart();
  EXPECT_TRUE(DriveFileExists("C:\\WINDOWS\\SYSTEM32\\Ostrel.cpl"));
  EXPECT_TRUE(DriveFileExists("C:\\WINDOWS\\Help\\Ostrel.chm"));
}

TEST_F(UninstallTest, On98SeAShortPathThatCannotBeHadKeepsTheListAndIsReported) {
  BootAs(hk::WindowsVersion::Win98SE);
  InstallAndLoadApplet("C:\\WINDOWS\\SYSTEM\\Ostrel.cpl");
  const std::string old = "[rename]\r\nNUL=C:\\EARLIER.TXT\r\n";
  WriteDriveFile("C:\\WINDOWS\\Wininit.ini", old);
  auto refused =
      machine_->faults().Always(hk::fault::kGetShortPathNameA, ERROR_ACCESS_DENIED, "Ostrel.cpl");
  PressUninstall();
  ASSERT_EQ(Texts(), (std::vector<std::string>{kConfirm, kErrorDeleting, kDone}));
  EXPECT_EQ(refused->Hits(), 1u);
  EXPECT_EQ(ReadDriveFile("C:\\WINDOWS\\Wininit.ini"), old) << "the earlier list stays in force";
  EXPECT_EQ(TowerEntries(), 0u);
}

TEST_F(UninstallTest, On98SeTheOldListThatCannotBeReadIntoMemoryIsReported) {
  BootAs(hk::WindowsVersion::Win98SE);
  InstallAndLoadApplet("C:\\WINDOWS\\SYSTEM\\Ostrel.cpl");
  const std::string old = "[rename]\r\nNUL=C:\\EARLIER.TXT\r\n";
  WriteDriveFile("C:\\WINDOWS\\Wininit.ini", old);
  auto refused = machine_->faults().Once(hk::fault::kMalloc, 0, "Ostrel.cpl");
  PressUninstall();
  EXPECT_EQ(refused->Hits(), 1u);
  ASSERT_EQ(Texts(), (std::vector<std::string>{kConfirm, kErrorDeleting, kDone}));
  EXPECT_EQ(ReadDriveFile("C:\\WINDOWS\\Wininit.ini"), old);
}

TEST_F(UninstallTest, ATowerEntryThePlatformWillNotRemoveIsNotReported) {
  InstallAndLoadApplet("C:\\WINDOWS\\SYSTEM32\\Ostrel.cpl");
  auto refused = machine_->faults().Always(hk::fault::kSetupDiRemoveDevice, ERROR_ACCESS_DENIED);
  PressUninstall();
  ASSERT_EQ(Texts(), (std::vector<std::string>{kConfirm, kRestartNeeded}));
  EXPECT_EQ(refused->Hits(), 1u) << "one refusal ends the removals";
  EXPECT_EQ(TowerEntries(), 1u);
}

class ScheduleTest : public SetupTest {
 protected:
  void SetUp() override {
    SetupTest::SetUp();
    BootAs(hk::WindowsVersion::Win98SE);
  }
};

TEST_F(ScheduleTest, TheNewEntryGoesRightAfterTheHeaderInAnyLetterCase) {
  WriteDriveFile("C:\\Program Files\\Ostrel Applet.cpl", "applet");
  const std::string old = "[boot]\r\nshell=x\r\n[ReNaMe]\r\nNUL=C:\\OLD.TXT\r\n";
  WriteDriveFile("C:\\WINDOWS\\Wininit.ini", old);
  bool scheduled = false;
  ASSERT_TRUE(menvok::DeleteFileOrScheduleOnReboot("C:\\Program Files\\Ostrel Applet.cpl", true,
                                                   &scheduled));
  EXPECT_TRUE(scheduled);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS_REBOOT_REQUIRED));
  EXPECT_EQ(
      ReadDriveFile("C:\\WINDOWS\\Wininit.ini"),
      "[boot]\r\nshell=x\r\n[ReNaMe]\r\nNUL=C:\\PROGRA~1\\OSTREL~1.CPL\r\n\r\nNUL=C:\\OLD.TXT\r\n");
  EXPECT_EQ(ReadDriveFile("C:\\WINDOWS\\Wininit.bak"), old);
}

TEST_F(ScheduleTest, WithoutWininitTheListStartsAndAnEmptyBackupStays) {
  WriteDriveFile("C:\\x.txt", "x");
  bool scheduled = false;
  ASSERT_TRUE(menvok::DeleteFileOrScheduleOnReboot("C:\\x.txt", true, &scheduled));
  EXPECT_EQ(ReadDriveFile("C:\\WINDOWS\\Wininit.ini"), "[rename]\r\nNUL=C:\\X.TXT\r\n");
  EXPECT_TRUE(DriveFileExists("C:\\WINDOWS\\Wininit.bak"));
  EXPECT_EQ(ReadDriveFile("C:\\WINDOWS\\Wininit.bak"), "");
  Restart();
  EXPECT_FALSE(DriveFileExists("C:\\x.txt"));
}

TEST_F(ScheduleTest, AFailingStepKeepsTheEarlierListInForce) {
  const std::string old = "[rename]\r\nNUL=C:\\EARLIER.TXT\r\n";
  WriteDriveFile("C:\\EARLIER.TXT", "earlier");
  WriteDriveFile("C:\\WINDOWS\\Wininit.ini", old);
  // A short form longer than a path may be: the short-name step fails.
  std::string deep = "C:";
  for (int i = 0; i < 30; ++i) deep += "\\Directory Number " + std::to_string(i);
  deep += "\\Long File Name.txt";
  WriteDriveFile(deep, "deep");
  bool scheduled = true;
  EXPECT_FALSE(menvok::DeleteFileOrScheduleOnReboot(deep.c_str(), true, &scheduled));
  EXPECT_FALSE(scheduled);
  EXPECT_EQ(ReadDriveFile("C:\\WINDOWS\\Wininit.ini"), old);

  // Creating the new list fails.
  WriteDriveFile("C:\\y.txt", "y");
  machine_->files().RefuseCreating("Wininit.ini");
  EXPECT_FALSE(menvok::DeleteFileOrScheduleOnReboot("C:\\y.txt", true, &scheduled));
  EXPECT_EQ(ReadDriveFile("C:\\WINDOWS\\Wininit.ini"), old);
  Restart();
  EXPECT_FALSE(DriveFileExists("C:\\EARLIER.TXT")) << "the earlier entry was carried out";
  EXPECT_TRUE(DriveFileExists("C:\\y.txt"));
}

TEST_F(ScheduleTest, AFreeFileGoesAtOnceAndMissingOnesAreReported) {
  BootAs(hk::WindowsVersion::XP);
  WriteDriveFile("C:\\free.txt", "free");
  SetFileAttributesA("C:\\free.txt", FILE_ATTRIBUTE_READONLY);
  bool scheduled = true;
  ASSERT_TRUE(menvok::DeleteFileOrScheduleOnReboot("C:\\free.txt", false, &scheduled));
  EXPECT_FALSE(scheduled) << "read-only is cleared first";
  EXPECT_FALSE(DriveFileExists("C:\\free.txt"));
  EXPECT_FALSE(menvok::DeleteFileOrScheduleOnReboot("C:\\free.txt", false, &scheduled));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(menvok::DeleteFileOrScheduleOnReboot("", false, &scheduled));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
  char joined[MAX_PATH];
  ASSERT_TRUE(menvok::JoinPath(joined, "C:\\", "a.txt"));
  EXPECT_STREQ(joined, "C:\\a.txt");
  ASSERT_TRUE(menvok::JoinPath(joined, "C:\\WINDOWS", "a.txt"));
  EXPECT_STREQ(joined, "C:\\WINDOWS\\a.txt");
  EXPECT_FALSE(menvok::JoinPath(joined, nullptr, "a.txt"));
}

TEST_F(UninstallTest, AHelpFileAlreadyGoneIsNotReported) {
  InstallAndLoadApplet("C:\\WINDOWS\\SYSTEM32\\Ostrel.cpl");
  ASSERT_TRUE(DeleteFileA("C:\\WINDOWS\\Help\\Ostrel.chm"));
  PressUninstall();
  ASSERT_EQ(Texts(), (std::vector<std::string>{kConfirm, kRestartNeeded}));
  EXPECT_EQ(TowerEntries(), 0u);
}

TEST_F(UninstallTest, AHelpFileWhosePlaceCannotBeFoundStaysUnreported) {
  InstallAndLoadApplet("C:\\WINDOWS\\SYSTEM32\\Ostrel.cpl");
  auto refused =
      machine_->faults().Always(hk::fault::kGetWindowsDirectoryA, ERROR_NOT_ENOUGH_MEMORY);
  PressUninstall();
  ASSERT_EQ(Texts(), (std::vector<std::string>{kConfirm, kRestartNeeded}));
  EXPECT_GE(refused->Hits(), 1u);
  EXPECT_EQ(TowerEntries(), 0u);
  machine_->faults().Clear(refused);
  UnloadApplet();
  Restart();
  EXPECT_FALSE(DriveFileExists("C:\\WINDOWS\\SYSTEM32\\Ostrel.cpl"));
  EXPECT_TRUE(DriveFileExists("C:\\WINDOWS\\Help\\Ostrel.chm"));
}

TEST_F(UninstallTest, WithoutItsStringsTheUninstallSaysMessageNotFound) {
  InstallAndLoadApplet("C:\\WINDOWS\\SYSTEM32\\Ostrel.cpl");
  for (UINT id : {IDS_NAME, IDS_CONFIRM_UNINSTALL, IDS_UNINSTALLED_RESTART})
    machine_->faults().Always(hk::fault::kLoadStringA, ERROR_RESOURCE_NAME_NOT_FOUND,
                              "Ostrel.cpl\\" + std::to_string(id));
  PressUninstall();
  const auto boxes = win32ui::MessageBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  for (const auto& box : boxes) {
    EXPECT_EQ(box.text, "Message not found in resource file");
    EXPECT_EQ(box.caption, "QIRO USB Tower");
  }
  EXPECT_EQ(TowerEntries(), 0u) << "the answer was Yes all the same";
}

// Each step of the list's renewal that the platform refuses fails the
// scheduling and leaves the list in force as it was.
TEST_F(ScheduleTest, EachRefusedStepBeforeTheNewListLeavesTheOldOneInForce) {
  const std::string old = "[rename]\r\nNUL=C:\\EARLIER.TXT\r\n";
  WriteDriveFile("C:\\WINDOWS\\Wininit.ini", old);
  WriteDriveFile("C:\\y.txt", "y");
  bool scheduled = true;
  const auto unchanged = [&] {
    EXPECT_FALSE(scheduled);
    EXPECT_EQ(ReadDriveFile("C:\\WINDOWS\\Wininit.ini"), old);
  };
  {
    SCOPED_TRACE("no Windows directory");
    auto refused =
        machine_->faults().Once(hk::fault::kGetWindowsDirectoryA, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(menvok::DeleteFileOrScheduleOnReboot("C:\\y.txt", true, &scheduled));
    EXPECT_EQ(refused->Hits(), 1u);
    unchanged();
  }
  {
    SCOPED_TRACE("an old backup that will not go");
    WriteDriveFile("C:\\WINDOWS\\Wininit.bak", "stale");
    auto refused =
        machine_->faults().Once(hk::fault::kDeleteFileA, ERROR_ACCESS_DENIED, "Wininit.bak");
    EXPECT_FALSE(menvok::DeleteFileOrScheduleOnReboot("C:\\y.txt", true, &scheduled));
    EXPECT_EQ(refused->Hits(), 1u);
    unchanged();
    EXPECT_EQ(ReadDriveFile("C:\\WINDOWS\\Wininit.bak"), "stale");
  }
  {
    SCOPED_TRACE("a list that cannot be renamed");
    auto refused =
        machine_->faults().Once(hk::fault::kMoveFileA, ERROR_SHARING_VIOLATION, "Wininit.ini");
    EXPECT_FALSE(menvok::DeleteFileOrScheduleOnReboot("C:\\y.txt", true, &scheduled));
    EXPECT_EQ(refused->Hits(), 1u);
    unchanged();
  }
  // With nothing refused the entry goes in after the earlier one's header.
  ASSERT_TRUE(menvok::DeleteFileOrScheduleOnReboot("C:\\y.txt", true, &scheduled));
  EXPECT_TRUE(scheduled);
  EXPECT_EQ(ReadDriveFile("C:\\WINDOWS\\Wininit.ini"),
            "[rename]\r\nNUL=C:\\Y.TXT\r\n\r\nNUL=C:\\EARLIER.TXT\r\n");
}

TEST_F(ScheduleTest, ABackupThatCannotBeCreatedFailsWithoutAList) {
  WriteDriveFile("C:\\y.txt", "y");
  machine_->files().RefuseCreating("Wininit.bak");
  bool scheduled = true;
  EXPECT_FALSE(menvok::DeleteFileOrScheduleOnReboot("C:\\y.txt", true, &scheduled));
  EXPECT_FALSE(scheduled);
  EXPECT_FALSE(DriveFileExists("C:\\WINDOWS\\Wininit.ini"));
  Restart();
  EXPECT_TRUE(DriveFileExists("C:\\y.txt"));
}

}  // namespace
}  // namespace towertest
