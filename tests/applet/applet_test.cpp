// The Control Panel applet Ostrel.cpl, loaded by its file name and driven
// through CPlApplet and the headless user interface as a user would: with
// simulated towers on self- and bus-powered hubs, the registry the driver
// reads, and the access library underneath.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Tavrix.h"
#include "app_fixture.h"
#include "faults/faults.h"
#include "resource.h"
#include "win32/host_ui.h"
#include "win32/windows.h"

namespace towertest {
namespace {

enum Page { kGeneral = 0, kAdvanced = 1, kDiagnostics = 2 };

constexpr char kHelpServerKey[] = "CLSID\\{ADB880A6-D8FF-11CF-9377-00AA003B7A11}\\InprocServer32";

class AppletTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    win32ui::Reset();
    module_ = LoadLibraryA("Ostrel.cpl");
    ASSERT_NE(module_, nullptr) << GetLastError();
    cpl_ = reinterpret_cast<APPLET_PROC>(
        reinterpret_cast<void*>(GetProcAddress(module_, "CPlApplet")));
    ASSERT_NE(cpl_, nullptr);
    ASSERT_EQ(cpl_(nullptr, CPL_INIT, 0, 0), 1);
  }
  void TearDown() override {
    if (module_) {
      cpl_(nullptr, CPL_STOP, 0, 0);
      cpl_(nullptr, CPL_EXIT, 0, 0);
      FreeLibrary(module_);
    }
    win32ui::Reset();
    AppTest::TearDown();
  }

  // Double-clicks the item; the person acts on the sheet it opens.
  void OpenSheet(std::function<void(HWND sheet)> person) {
    win32ui::SetPerson(std::move(person));
    EXPECT_EQ(cpl_(nullptr, CPL_DBLCLK, 0, 0), 0);
  }

  // The defaults as the driver will read them.
  void StoreDefaults(DWORD range, DWORD highPower, DWORD bufferSize = 1024) {
    QIROTOWER_CONFIG c;
    std::memset(&c, 0, sizeof(c));
    c.Size = sizeof(c);
    ASSERT_TRUE(QIROTowerGetFactoryConfig(&c));
    c.IRRange = range;
    c.HighPower = highPower;
    c.BufferSize = bufferSize;
    ASSERT_TRUE(QIROTowerSetDefaultConfig(&c));
  }
  std::optional<uint32_t> Registry(const char* name) {
    auto value = machine_->registry().GetValue(kParameters, name);
    if (!value || value->data.size() != 4) return std::nullopt;
    uint32_t v;
    std::memcpy(&v, value->data.data(), 4);
    return v;
  }
  size_t RegistryValues() { return machine_->registry().ValueNames(kParameters).size(); }

  // A tower on a hub of its own kind, behind a host controller of its own.
  void PlugTowerOnHub(bool selfPowered) {
    hk::DevNode* root = machine_->AddHostController();
    hk::DevNode* hub = machine_->AddHub(root, 1, selfPowered);
    auto tower = std::make_shared<sim::TowerModel>(Instant());
    towers_.push_back(tower);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    machine_->PlugUsbAt(hub, 1, tower, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
  }

  // The help file where setup installs it, the Windows Help directory.
  void PutHelpFile() {
    const auto host =
        machine_->files().HostPath(machine_->files().WindowsDirectory() + "\\Help\\Ostrel.chm");
    ASSERT_TRUE(host);
    std::ofstream(*host, std::ios::binary) << "ITSF help";
  }
  static void RegisterHelpControl(const char* path) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_CLASSES_ROOT, kHelpServerKey, &key), ERROR_SUCCESS);
    RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path),
                   static_cast<DWORD>(std::strlen(path) + 1));
    RegCloseKey(key);
  }
  static void ExpectHelpNotFound(size_t presses) {
    const auto boxes = win32ui::MessageBoxes();
    ASSERT_EQ(boxes.size(), presses);
    for (const auto& box : boxes) {
      EXPECT_EQ(box.text, "Help file was not found");
      EXPECT_EQ(box.caption, "QIRO USB Tower");
      EXPECT_EQ(box.style, 0u);
    }
  }
  // A new load of the applet starts with its module-wide state empty.
  void ReloadApplet() {
    cpl_(nullptr, CPL_EXIT, 0, 0);
    FreeLibrary(module_);
    module_ = LoadLibraryA("Ostrel.cpl");
    ASSERT_NE(module_, nullptr);
    cpl_ = reinterpret_cast<APPLET_PROC>(
        reinterpret_cast<void*>(GetProcAddress(module_, "CPlApplet")));
    ASSERT_EQ(cpl_(nullptr, CPL_INIT, 0, 0), 1);
  }

  static bool Checked(HWND sheet, int page, int id) {
    return win32ui::Checked(win32ui::Page(sheet, page), id);
  }
  static bool Enabled(HWND sheet, int page, int id) {
    return win32ui::Enabled(win32ui::Page(sheet, page), id);
  }

  HMODULE module_ = nullptr;
  APPLET_PROC cpl_ = nullptr;
};

TEST_F(AppletTest, ControlPanelMessagesDescribeOneItem) {
  EXPECT_EQ(cpl_(nullptr, CPL_GETCOUNT, 0, 0), 1);
  CPLINFO info;
  std::memset(&info, 0xAB, sizeof(info));
  EXPECT_EQ(cpl_(nullptr, CPL_INQUIRE, 0, reinterpret_cast<LPARAM>(&info)), 0);
  EXPECT_EQ(info.idIcon, 2);
  EXPECT_EQ(info.idName, 1);
  EXPECT_EQ(info.idInfo, 2);
  EXPECT_EQ(info.lData, 0);
  CPLINFO untouched;
  std::memset(&untouched, 0xAB, sizeof(untouched));
  EXPECT_EQ(cpl_(nullptr, CPL_NEWINQUIRE, 0, reinterpret_cast<LPARAM>(&untouched)), 0);
  EXPECT_EQ(cpl_(nullptr, CPL_SELECT, 0, 0), 0);
  EXPECT_EQ(untouched.idIcon, static_cast<int>(0xABABABAB));
  // The item's texts and icon are the module's own.
  char text[128];
  ASSERT_GT(LoadStringA(module_, IDS_INFO, text, sizeof(text)), 0);
  EXPECT_STREQ(text, "Changes default settings for your QIRO USB Tower");
  EXPECT_NE(LoadIconA(module_, MAKEINTRESOURCEA(IDI_TOWER)), nullptr);
  EXPECT_TRUE(win32ui::MessageBoxes().empty());
}

TEST_F(AppletTest, SheetShowsThreePagesFromTheModuleAndApplyNeverEnables) {
  PlugTower();
  OpenSheet([&](HWND sheet) {
    char caption[64];
    GetWindowTextA(sheet, caption, sizeof(caption));
    EXPECT_STREQ(caption, "QIRO USB Tower");
    ASSERT_EQ(win32ui::PageCount(sheet), 3);
    EXPECT_EQ(win32ui::PageTitle(sheet, kGeneral), "General");
    EXPECT_EQ(win32ui::PageTitle(sheet, kAdvanced), "Advanced");
    EXPECT_EQ(win32ui::PageTitle(sheet, kDiagnostics), "Diagnostics");
    EXPECT_EQ(GetDlgItem(sheet, IDHELP), nullptr);  // no sheet-level Help
    // Every page draws the applet's icon at the top left.
    const win32ui::WindowInfo icon = win32ui::Info(win32ui::Children(win32ui::Page(sheet, 0))[0]);
    HINSTANCE from = nullptr;
    EXPECT_EQ(win32ui::IconSource(icon.icon, &from), "#2");
    EXPECT_EQ(from, module_);

    EXPECT_TRUE(win32ui::Click(win32ui::Page(sheet, kGeneral), IDC_RANGE_SHORT));
    EXPECT_TRUE(win32ui::Click(win32ui::Page(sheet, kGeneral), IDC_MODE_VLL));
    EXPECT_TRUE(win32ui::SwitchPage(sheet, kAdvanced));
    EXPECT_TRUE(win32ui::Type(win32ui::Page(sheet, kAdvanced), IDC_TIMEOUT_WRITE, "300"));
    EXPECT_FALSE(win32ui::Enabled(sheet, ID_APPLY_NOW));
    EXPECT_FALSE(win32ui::Click(sheet, ID_APPLY_NOW));
    win32ui::Click(sheet, IDCANCEL);
  });
}

struct Expected {
  const char* cls;
  int id;       // 0xFFFF for a control without one
  DWORD style;  // bits that must be set
  int x, y, cx, cy;
  const char* text;
};

constexpr int kNone = 0xFFFF;
constexpr DWORD kRadio = BS_AUTORADIOBUTTON;
constexpr DWORD kGroupStart = WS_GROUP | WS_TABSTOP;

// The templates as the pages' tables give them, in template order.
const std::vector<Expected> kGeneralTemplate = {
    {"Static", kNone, SS_ICON, 7, 7, 20, 20, ""},
    {"Button", kNone, BS_GROUPBOX, 42, 7, 71, 60, "Infrared Range"},
    {"Button", IDC_RANGE_SHORT, kRadio | kGroupStart, 59, 20, 33, 10, "&Short"},
    {"Button", IDC_RANGE_MEDIUM, kRadio, 59, 33, 41, 10, "&Medium"},
    {"Button", IDC_RANGE_LONG, kRadio, 59, 46, 32, 10, "&Long"},
    {"Button", kNone, BS_GROUPBOX, 119, 7, 110, 60, "Default Communication Mode"},
    {"Button", IDC_MODE_IR, kRadio | kGroupStart, 129, 21, 53, 10, "&Infrared (IR)"},
    {"Button", IDC_MODE_VLL, kRadio, 129, 34, 87, 10, "&Visible Light Link (VLL)"},
    {"Button", IDC_LONG_RANGE, BS_AUTOCHECKBOX | kGroupStart, 46, 80, 141, 10,
     "&Enable long range infrared transmission"},
    {"Static", kNone, SS_LEFT, 46, 92, 176, 25,
     "(Requires a high power USB connection, and the tower will use more power than normal)"},
    {"Button", IDC_UNINSTALL, BS_PUSHBUTTON, 7, 136, 50, 14, "&Uninstall..."},
    {"Button", IDC_RESET, BS_PUSHBUTTON, 125, 136, 50, 14, "&Reset"},
    {"Button", IDC_HELPBUTTON, BS_PUSHBUTTON, 179, 136, 50, 14, "&Help"},
};
constexpr DWORD kDigits = ES_NUMBER | WS_BORDER | ES_AUTOHSCROLL;
const std::vector<Expected> kAdvancedTemplate = {
    {"Static", kNone, SS_ICON, 7, 7, 20, 20, ""},
    {"Button", kNone, BS_GROUPBOX, 40, 7, 189, 75, "Timeouts"},
    {"Static", kNone, SS_LEFT, 50, 24, 44, 8, "&Write timeout:"},
    {"Edit", IDC_TIMEOUT_WRITE, kDigits, 148, 23, 40, 14, ""},
    {"Static", kNone, SS_LEFT, 196, 25, 22, 8, "(msec)"},
    {"Static", kNone, SS_LEFT, 50, 42, 76, 8, "Read timeout (&1st byte):"},
    {"Edit", IDC_TIMEOUT_FIRST, kDigits, 148, 40, 40, 14, ""},
    {"Static", kNone, SS_LEFT, 196, 42, 22, 8, "(msec)"},
    {"Static", kNone, SS_LEFT, 50, 59, 96, 8, "Read timeout (&intercharacter): "},
    {"Edit", IDC_TIMEOUT_INTERCHAR, kDigits, 148, 58, 40, 14, ""},
    {"Static", kNone, SS_LEFT, 196, 60, 22, 8, "(msec)"},
    {"Static", kNone, SS_LEFT, 49, 94, 87, 8, "Read &buffer size:"},
    {"Edit", IDC_BUFFER_SIZE, WS_BORDER | ES_AUTOHSCROLL, 149, 92, 40, 14, ""},
    {"Static", kNone, SS_LEFT, 196, 95, 22, 8, "(bytes)"},
    {"Button", IDC_RESET, BS_PUSHBUTTON, 125, 136, 50, 14, "&Reset"},
    {"Button", IDC_HELPBUTTON, BS_PUSHBUTTON, 179, 136, 50, 14, "&Help"},
};
const std::vector<Expected> kDiagnosticsTemplate = {
    {"Static", kNone, SS_ICON, 7, 7, 20, 20, ""},
    {"Button", kNone, BS_GROUPBOX, 36, 7, 193, 143, ""},
    {"Static", kNone, SS_LEFT, 47, 17, 51, 8, "Tower number"},
    {"Edit", IDC_TOWER_NUMBER, ES_READONLY, 99, 17, 40, 12, ""},
    {"Static", kNone, SS_LEFT, 47, 31, 47, 8, "Device name: "},
    {"Edit", IDC_DEVICE_NAME, ES_READONLY, 99, 31, 124, 12, ""},
    {"Static", kNone, SS_LEFT, 47, 43, 42, 8, "Attached to: "},
    {"Edit", IDC_ATTACHED_TO, ES_READONLY, 99, 43, 124, 12, ""},
    {"Static", kNone, SS_BLACKFRAME | SS_SUNKEN, 42, 56, 179, 68, ""},
    {"Edit", IDC_HUB_POWER, ES_READONLY | ES_MULTILINE, 47, 60, 168, 30, ""},
    {"Edit", IDC_DEVICE_STATUS, ES_READONLY | ES_MULTILINE, 47, 94, 170, 23, ""},
    {"Button", IDC_PREVIOUS, BS_PUSHBUTTON | kGroupStart, 42, 130, 52, 14, "<< &Previous"},
    {"Button", IDC_NEXT, BS_PUSHBUTTON, 97, 130, 45, 14, "&Next >>"},
    {"Button", IDC_HELPBUTTON, BS_PUSHBUTTON | kGroupStart, 171, 130, 50, 14, "&Help"},
};

void ExpectTemplate(HWND page, const std::vector<Expected>& expected) {
  const win32ui::WindowInfo dialog = win32ui::Info(page);
  EXPECT_EQ(dialog.cx, 236);
  EXPECT_EQ(dialog.cy, 157);
  EXPECT_EQ(dialog.font, "MS Sans Serif");
  EXPECT_EQ(dialog.pointSize, 8);
  EXPECT_EQ(dialog.style & (WS_CHILD | WS_VISIBLE | WS_POPUP), WS_CHILD);
  const std::vector<HWND> controls = win32ui::Children(page);
  ASSERT_EQ(controls.size(), expected.size());
  for (size_t i = 0; i < controls.size(); ++i) {
    const win32ui::WindowInfo c = win32ui::Info(controls[i]);
    const Expected& e = expected[i];
    SCOPED_TRACE(std::string("control ") + std::to_string(i) + " \"" + e.text + "\"");
    EXPECT_EQ(c.cls, e.cls);
    EXPECT_EQ(c.id, e.id);
    if (std::string(e.cls) == "Button") {
      EXPECT_EQ(c.style & BS_TYPEMASK, e.style & BS_TYPEMASK);
    } else if (std::string(e.cls) == "Static") {
      EXPECT_EQ(c.style & SS_TYPEMASK, e.style & SS_TYPEMASK);
    }
    EXPECT_EQ(c.style & e.style, e.style);
    // Groups decide which radio buttons exclude each other and where the
    // keyboard's tab stops; statics do not take part.
    if (std::string(e.cls) != "Static") {
      EXPECT_EQ((c.style & WS_GROUP) != 0, (e.style & WS_GROUP) != 0) << "group start";
    }
    EXPECT_EQ(c.x, e.x);
    EXPECT_EQ(c.y, e.y);
    EXPECT_EQ(c.cx, e.cx);
    EXPECT_EQ(c.cy, e.cy);
    // The edits show what the page has put there by now.
    if (std::string(e.cls) != "Edit") {
      EXPECT_EQ(c.text, e.text);
    }
  }
}

TEST_F(AppletTest, PagesAreBuiltFromTemplatesAsTheirTablesGiveThem) {
  OpenSheet([&](HWND sheet) {
    EXPECT_TRUE(win32ui::SwitchPage(sheet, kAdvanced));
    EXPECT_TRUE(win32ui::SwitchPage(sheet, kDiagnostics));
    {
      SCOPED_TRACE("General");
      ExpectTemplate(win32ui::Page(sheet, kGeneral), kGeneralTemplate);
    }
    {
      SCOPED_TRACE("Advanced");
      ExpectTemplate(win32ui::Page(sheet, kAdvanced), kAdvancedTemplate);
    }
    {
      SCOPED_TRACE("Diagnostics");
      ExpectTemplate(win32ui::Page(sheet, kDiagnostics), kDiagnosticsTemplate);
      for (int id : {IDC_TOWER_NUMBER, IDC_DEVICE_NAME, IDC_ATTACHED_TO})
        EXPECT_FALSE(win32ui::Info(GetDlgItem(win32ui::Page(sheet, kDiagnostics), id)).style &
                     WS_BORDER);
    }
    win32ui::Click(sheet, IDCANCEL);
  });
}

TEST_F(AppletTest, OkWritesTheRecordAndRestartsEveryTower) {
  PlugTower();
  PlugTower();
  ASSERT_EQ(Tower(0).Configuration(), 1);
  OpenSheet([&](HWND sheet) {
    HWND general = win32ui::Page(sheet, kGeneral);
    EXPECT_TRUE(win32ui::Click(general, IDC_LONG_RANGE));
    EXPECT_TRUE(win32ui::Click(general, IDC_RANGE_LONG));
    EXPECT_TRUE(win32ui::Click(general, IDC_MODE_VLL));
    EXPECT_TRUE(win32ui::SwitchPage(sheet, kAdvanced));
    EXPECT_TRUE(win32ui::Type(win32ui::Page(sheet, kAdvanced), IDC_TIMEOUT_FIRST, "250"));
    EXPECT_TRUE(win32ui::Click(sheet, IDOK));
  });
  machine_->SettlePnp();
  EXPECT_EQ(Registry("IRRange"), 3u);
  EXPECT_EQ(Registry("LinkMode"), 1u);
  EXPECT_EQ(Registry("HighPower"), 1u);
  EXPECT_EQ(Registry("Timeout_Read_1st"), 250u);
  EXPECT_EQ(Registry("Timeout_Write"), 200u);
  EXPECT_EQ(Registry("BufferSize"), 1024u);
  // Both towers left the bus and came back; at their new start they took up
  // the high-power choice, which a root hub's port can feed.
  EXPECT_EQ(Tower(0).Configuration(), 2);
  EXPECT_EQ(Tower(1).Configuration(), 2);
}

TEST_F(AppletTest, CancelAndTheCloseBoxWriteNothingAndRestartNoTower) {
  PlugTower();
  for (bool closeBox : {false, true}) {
    Tower(0).ClearSetupLog();
    OpenSheet([&](HWND sheet) {
      win32ui::Click(win32ui::Page(sheet, kGeneral), IDC_RANGE_SHORT);
      win32ui::SwitchPage(sheet, kAdvanced);
      win32ui::Type(win32ui::Page(sheet, kAdvanced), IDC_BUFFER_SIZE, "64");
      if (closeBox)
        EXPECT_TRUE(win32ui::CloseBox(sheet));
      else
        EXPECT_TRUE(win32ui::Click(sheet, IDCANCEL));
    });
    EXPECT_EQ(RegistryValues(), 0u) << "close box: " << closeBox;
    EXPECT_TRUE(Tower(0).SetupLog().empty());
  }
}

TEST_F(AppletTest, WithoutATowerLongRangeIsWithdrawnAndOkStoresMedium) {
  StoreDefaults(3, 1);
  OpenSheet([&](HWND sheet) {
    EXPECT_FALSE(Checked(sheet, kGeneral, IDC_LONG_RANGE));
    EXPECT_FALSE(Enabled(sheet, kGeneral, IDC_LONG_RANGE));
    EXPECT_TRUE(Checked(sheet, kGeneral, IDC_RANGE_MEDIUM));
    EXPECT_FALSE(Checked(sheet, kGeneral, IDC_RANGE_LONG));
    EXPECT_FALSE(Enabled(sheet, kGeneral, IDC_RANGE_LONG));
    win32ui::Click(sheet, IDOK);
  });
  EXPECT_EQ(Registry("HighPower"), 0u);
  EXPECT_EQ(Registry("IRRange"), 2u);
}

TEST_F(AppletTest, ATowerOnABusPoweredHubWithdrawsLongRange) {
  StoreDefaults(3, 1);
  PlugTowerOnHub(true);
  PlugTowerOnHub(false);
  OpenSheet([&](HWND sheet) {
    EXPECT_FALSE(Enabled(sheet, kGeneral, IDC_LONG_RANGE));
    EXPECT_FALSE(Checked(sheet, kGeneral, IDC_LONG_RANGE));
    EXPECT_TRUE(Checked(sheet, kGeneral, IDC_RANGE_MEDIUM));
    EXPECT_FALSE(win32ui::Click(win32ui::Page(sheet, kGeneral), IDC_LONG_RANGE));
    win32ui::Click(sheet, IDCANCEL);
  });
}

TEST_F(AppletTest, OnSelfPoweredHubsTheSwitchGovernsLong) {
  StoreDefaults(3, 1);
  PlugTowerOnHub(true);
  PlugTower();
  OpenSheet([&](HWND sheet) {
    HWND general = win32ui::Page(sheet, kGeneral);
    EXPECT_TRUE(Checked(sheet, kGeneral, IDC_LONG_RANGE));
    EXPECT_TRUE(Enabled(sheet, kGeneral, IDC_LONG_RANGE));
    EXPECT_TRUE(Checked(sheet, kGeneral, IDC_RANGE_LONG));
    EXPECT_TRUE(Enabled(sheet, kGeneral, IDC_RANGE_LONG));
    // Switching it off moves Long to Medium and withdraws Long.
    EXPECT_TRUE(win32ui::Click(general, IDC_LONG_RANGE));
    EXPECT_TRUE(Checked(sheet, kGeneral, IDC_RANGE_MEDIUM));
    EXPECT_FALSE(Checked(sheet, kGeneral, IDC_RANGE_LONG));
    EXPECT_FALSE(Enabled(sheet, kGeneral, IDC_RANGE_LONG));
    // On again: Long is offered, Medium stays chosen.
    EXPECT_TRUE(win32ui::Click(general, IDC_LONG_RANGE));
    EXPECT_TRUE(Enabled(sheet, kGeneral, IDC_RANGE_LONG));
    EXPECT_TRUE(Checked(sheet, kGeneral, IDC_RANGE_MEDIUM));
    // Coming back to the page looks at the towers again but keeps the choice.
    EXPECT_TRUE(win32ui::SwitchPage(sheet, kDiagnostics));
    EXPECT_TRUE(win32ui::SwitchPage(sheet, kGeneral));
    EXPECT_TRUE(Checked(sheet, kGeneral, IDC_LONG_RANGE));
    EXPECT_TRUE(Checked(sheet, kGeneral, IDC_RANGE_MEDIUM));
    win32ui::Click(sheet, IDOK);
  });
  EXPECT_EQ(Registry("HighPower"), 1u);
  EXPECT_EQ(Registry("IRRange"), 2u);
}

TEST_F(AppletTest, ResetShowsTheFactoryValuesOnBothPages) {
  PlugTower();
  StoreDefaults(1, 1, 4096);
  OpenSheet([&](HWND sheet) {
    HWND general = win32ui::Page(sheet, kGeneral);
    win32ui::Click(general, IDC_MODE_VLL);
    EXPECT_TRUE(Checked(sheet, kGeneral, IDC_LONG_RANGE));
    EXPECT_TRUE(Checked(sheet, kGeneral, IDC_RANGE_SHORT));
    EXPECT_TRUE(win32ui::Click(general, IDC_RESET));
    EXPECT_FALSE(Checked(sheet, kGeneral, IDC_LONG_RANGE));
    EXPECT_TRUE(Checked(sheet, kGeneral, IDC_RANGE_MEDIUM));
    EXPECT_FALSE(Checked(sheet, kGeneral, IDC_RANGE_SHORT));
    EXPECT_TRUE(Checked(sheet, kGeneral, IDC_MODE_IR));
    EXPECT_FALSE(Checked(sheet, kGeneral, IDC_MODE_VLL));
    // Enabling is not looked at again: Long stays offered.
    EXPECT_TRUE(Enabled(sheet, kGeneral, IDC_RANGE_LONG));

    EXPECT_TRUE(win32ui::SwitchPage(sheet, kAdvanced));
    HWND advanced = win32ui::Page(sheet, kAdvanced);
    EXPECT_EQ(win32ui::Text(advanced, IDC_BUFFER_SIZE), "4096");
    win32ui::Type(advanced, IDC_TIMEOUT_WRITE, "5");
    EXPECT_TRUE(win32ui::Click(advanced, IDC_RESET));
    EXPECT_EQ(win32ui::Text(advanced, IDC_TIMEOUT_WRITE), "200");
    EXPECT_EQ(win32ui::Text(advanced, IDC_TIMEOUT_FIRST), "200");
    EXPECT_EQ(win32ui::Text(advanced, IDC_TIMEOUT_INTERCHAR), "100");
    EXPECT_EQ(win32ui::Text(advanced, IDC_BUFFER_SIZE), "1024");
    // Nothing reaches the registry before OK.
    EXPECT_EQ(Registry("BufferSize"), 4096u);
    win32ui::Click(sheet, IDCANCEL);
  });
}

TEST_F(AppletTest, AdvancedValuesAreStoredByTheConversionRules) {
  QIROTOWER_CONFIG c;
  std::memset(&c, 0, sizeof(c));
  c.Size = sizeof(c);
  QIROTowerGetFactoryConfig(&c);
  c.Timeout_Write = 0x80000000u;
  ASSERT_TRUE(QIROTowerSetDefaultConfig(&c));
  OpenSheet([&](HWND sheet) {
    EXPECT_TRUE(win32ui::SwitchPage(sheet, kAdvanced));
    HWND advanced = win32ui::Page(sheet, kAdvanced);
    // A stored value of 2^31 or more shows with a minus sign.
    EXPECT_EQ(win32ui::Text(advanced, IDC_TIMEOUT_WRITE), "-2147483648");
    // The timeouts take digits only.
    EXPECT_TRUE(win32ui::Type(advanced, IDC_TIMEOUT_FIRST, "3x5"));
    EXPECT_EQ(win32ui::Text(advanced, IDC_TIMEOUT_FIRST), "35");
    EXPECT_TRUE(win32ui::Type(advanced, IDC_TIMEOUT_INTERCHAR, "12345678901234567890123"));
    EXPECT_TRUE(win32ui::Type(advanced, IDC_BUFFER_SIZE, " 2048 bytes"));
    EXPECT_TRUE(win32ui::Click(sheet, IDOK));
  });
  EXPECT_EQ(Registry("Timeout_Write"), 0x80000000u);  // "-2147483648" read back
  EXPECT_EQ(Registry("Timeout_Read_1st"), 35u);
  // The first 19 characters are read back, and overflow gives the largest value.
  EXPECT_EQ(Registry("Timeout_Read_ic"), 0xFFFFFFFFu);
  EXPECT_EQ(Registry("BufferSize"), 2048u);
}

TEST_F(AppletTest, ABufferSizeWithoutANumberIsStoredAsZeroWithoutAWord) {
  OpenSheet([&](HWND sheet) {
    EXPECT_TRUE(win32ui::SwitchPage(sheet, kAdvanced));
    HWND advanced = win32ui::Page(sheet, kAdvanced);
    EXPECT_TRUE(win32ui::Type(advanced, IDC_BUFFER_SIZE, "abc"));
    // The page is left and the sheet closed as with any other text.
    EXPECT_TRUE(win32ui::SwitchPage(sheet, kGeneral));
    EXPECT_TRUE(win32ui::Click(sheet, IDOK));
  });
  EXPECT_TRUE(win32ui::MessageBoxes().empty());
  EXPECT_EQ(Registry("BufferSize"), 0u);
}

TEST_F(AppletTest, OkWithoutOpeningAdvancedKeepsItsValuesAsRead) {
  QIROTOWER_CONFIG c;
  std::memset(&c, 0, sizeof(c));
  c.Size = sizeof(c);
  QIROTowerGetFactoryConfig(&c);
  c.Timeout_Write = 7;
  c.Timeout_Read_1st = 8;
  c.Timeout_Read_ic = 9;
  c.BufferSize = 10;
  ASSERT_TRUE(QIROTowerSetDefaultConfig(&c));
  OpenSheet([&](HWND sheet) {
    win32ui::Click(win32ui::Page(sheet, kGeneral), IDC_MODE_VLL);
    EXPECT_EQ(win32ui::Page(sheet, kAdvanced), nullptr);
    win32ui::Click(sheet, IDOK);
  });
  EXPECT_EQ(Registry("Timeout_Write"), 7u);
  EXPECT_EQ(Registry("Timeout_Read_1st"), 8u);
  EXPECT_EQ(Registry("Timeout_Read_ic"), 9u);
  EXPECT_EQ(Registry("BufferSize"), 10u);
  EXPECT_EQ(Registry("LinkMode"), 1u);
}

TEST_F(AppletTest, DiagnosticsStepsThroughTwoTowersAndRereadsOnReturn) {
  PlugTowerOnHub(false);
  hk::DevNode* second = machine_->NodeOf(PlugTower());
  OpenSheet([&](HWND sheet) {
    EXPECT_TRUE(win32ui::SwitchPage(sheet, kDiagnostics));
    HWND page = win32ui::Page(sheet, kDiagnostics);
    EXPECT_EQ(win32ui::Text(page, IDC_TOWER_NUMBER), "1");
    EXPECT_EQ(win32ui::Text(page, IDC_HUB_POWER),
              "The parent hub is bus-powered. If you need the tower to transmit long range, you "
              "should connect it to a self-powered hub");
    EXPECT_EQ(win32ui::Text(page, IDC_DEVICE_STATUS), "The device is working properly");
    EXPECT_FALSE(win32ui::Text(page, IDC_DEVICE_NAME).empty());
    EXPECT_FALSE(win32ui::Text(page, IDC_ATTACHED_TO).empty());
    EXPECT_TRUE(win32ui::Click(page, IDC_NEXT));
    EXPECT_EQ(win32ui::Text(page, IDC_TOWER_NUMBER), "2");
    EXPECT_EQ(win32ui::Text(page, IDC_HUB_POWER),
              "The parent hub is self-powered (so the tower can be enabled to transmit long "
              "range");
    // Past the last tower Next starts again at the first...
    EXPECT_TRUE(win32ui::Click(page, IDC_NEXT));
    EXPECT_EQ(win32ui::Text(page, IDC_TOWER_NUMBER), "1");
    // ...and Previous on the first stays there.
    EXPECT_TRUE(win32ui::Click(page, IDC_PREVIOUS));
    EXPECT_EQ(win32ui::Text(page, IDC_TOWER_NUMBER), "1");
    EXPECT_TRUE(win32ui::Click(page, IDC_NEXT));
    EXPECT_EQ(win32ui::Text(page, IDC_TOWER_NUMBER), "2");

    // Away and back: the same tower, its status read again.
    EXPECT_TRUE(win32ui::SwitchPage(sheet, kGeneral));
    {
      std::lock_guard<std::recursive_mutex> lock(machine_->tree().mutex());
      second->status |= hk::DN_HAS_PROBLEM;
      second->problem = 0x16;
    }
    EXPECT_TRUE(win32ui::SwitchPage(sheet, kDiagnostics));
    EXPECT_EQ(win32ui::Text(page, IDC_TOWER_NUMBER), "2");
    EXPECT_EQ(win32ui::Text(page, IDC_DEVICE_STATUS), "The device has been disabled (0x16)");
    {
      std::lock_guard<std::recursive_mutex> lock(machine_->tree().mutex());
      second->status &= ~hk::DN_HAS_PROBLEM;
      second->problem = 0;
    }
    win32ui::Click(sheet, IDCANCEL);
  });
}

TEST_F(AppletTest, DiagnosticsWithoutATowerSaysSo) {
  OpenSheet([&](HWND sheet) {
    EXPECT_TRUE(win32ui::SwitchPage(sheet, kDiagnostics));
    HWND page = win32ui::Page(sheet, kDiagnostics);
    EXPECT_EQ(win32ui::Text(page, IDC_HUB_POWER),
              "No QIRO USB towers seem to be currently connected");
    EXPECT_EQ(win32ui::Text(page, IDC_TOWER_NUMBER), "");
    // A tower plugged in meanwhile is found by the next step.
    PlugTower();
    EXPECT_TRUE(win32ui::Click(page, IDC_NEXT));
    EXPECT_EQ(win32ui::Text(page, IDC_TOWER_NUMBER), "1");
    win32ui::Click(sheet, IDCANCEL);
  });
}

// NT 4 has no HTML help control: neither registered nor there by name.
TEST_F(AppletTest, HelpWithoutAHelpControlSaysSoOncePerPressAndLooksOnlyOnce) {
  InstallAfresh(hk::WindowsVersion::NT4);
  PutHelpFile();
  OpenSheet([&](HWND sheet) {
    HWND general = win32ui::Page(sheet, kGeneral);
    EXPECT_TRUE(win32ui::Click(general, IDC_HELPBUTTON));
    // A help control registered after the first failure is not looked for:
    // the stand-in would stay loaded had it been.
    RegisterHelpControl("HelpStandIn.ocx");
    EXPECT_TRUE(win32ui::SwitchPage(sheet, kDiagnostics));
    EXPECT_TRUE(win32ui::Click(win32ui::Page(sheet, kDiagnostics), IDC_HELPBUTTON));
    EXPECT_EQ(GetModuleHandleA("HelpStandIn.ocx"), nullptr);
    win32ui::Click(sheet, IDCANCEL);
  });
  ExpectHelpNotFound(2);
}

TEST_F(AppletTest, EachPagesHelpShowsItsTopicFromTheInstalledHelpFile) {
  PutHelpFile();
  OpenSheet([&](HWND sheet) {
    for (int page : {kGeneral, kAdvanced, kDiagnostics}) {
      EXPECT_TRUE(win32ui::SwitchPage(sheet, page));
      EXPECT_TRUE(win32ui::Click(win32ui::Page(sheet, page), IDC_HELPBUTTON));
    }
    // The page stays as it was.
    EXPECT_EQ(win32ui::CurrentPage(sheet), kDiagnostics);
    const auto shown = win32ui::HelpTopics();
    ASSERT_EQ(shown.size(), 3u);
    const char* topics[] = {"General_configuration.htm", "Advanced_configuration.htm",
                            "Diagnostics.htm"};
    for (int page : {kGeneral, kAdvanced, kDiagnostics}) {
      SCOPED_TRACE(topics[page]);
      EXPECT_EQ(shown[page].file, "C:\\WINDOWS\\Help\\Ostrel.chm");
      EXPECT_EQ(shown[page].topic, topics[page]);
      EXPECT_EQ(shown[page].owner, win32ui::Page(sheet, page));
    }
    win32ui::Click(sheet, IDCANCEL);
  });
  EXPECT_TRUE(win32ui::MessageBoxes().empty());
}

// The registration is only the first place the applet looks: without it,
// or when it names a file that is not there, the control is loaded by name.
TEST_F(AppletTest, HelpFindsTheControlByNameWhenItsRegistrationLeadsNowhere) {
  PutHelpFile();
  for (bool registered : {false, true}) {
    SCOPED_TRACE(registered ? "registered, file missing" : "not registered");
    ReloadApplet();  // the applet looks for the control once per load
    if (registered)
      RegisterHelpControl("C:\\WINDOWS\\System32\\Gone\\hhctrl.ocx");
    else
      ASSERT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, kHelpServerKey), ERROR_SUCCESS);
    win32ui::Reset();
    OpenSheet([&](HWND sheet) {
      EXPECT_TRUE(win32ui::Click(win32ui::Page(sheet, kGeneral), IDC_HELPBUTTON));
      win32ui::Click(sheet, IDCANCEL);
    });
    const auto shown = win32ui::HelpTopics();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].topic, "General_configuration.htm");
    EXPECT_TRUE(win32ui::MessageBoxes().empty());
  }
}

// A missing help file is the viewer's answer, not a missing control: the
// control stays, and the file is found once it is there.
TEST_F(AppletTest, HelpWithoutTheHelpFileSaysSoUntilTheFileIsInstalled) {
  OpenSheet([&](HWND sheet) {
    HWND advanced = nullptr;
    EXPECT_TRUE(win32ui::SwitchPage(sheet, kAdvanced));
    advanced = win32ui::Page(sheet, kAdvanced);
    EXPECT_TRUE(win32ui::Click(advanced, IDC_HELPBUTTON));
    EXPECT_TRUE(win32ui::HelpTopics().empty());
    ASSERT_EQ(win32ui::MessageBoxes().size(), 1u);
    EXPECT_EQ(win32ui::MessageBoxes()[0].owner, advanced);
    PutHelpFile();
    EXPECT_TRUE(win32ui::Click(advanced, IDC_HELPBUTTON));
    ASSERT_EQ(win32ui::HelpTopics().size(), 1u);
    EXPECT_EQ(win32ui::HelpTopics()[0].topic, "Advanced_configuration.htm");
    win32ui::Click(sheet, IDCANCEL);
  });
  ExpectHelpNotFound(1);
}

// The registered file loads but has no display entry (ordinal 14): that is
// a failed control, and later presses do not look again.
TEST_F(AppletTest, HelpFromAControlWithoutTheDisplayEntrySaysSoAndNeverLooksAgain) {
  PutHelpFile();
  RegisterHelpControl("HelpStandIn.ocx");
  OpenSheet([&](HWND sheet) {
    HWND general = win32ui::Page(sheet, kGeneral);
    EXPECT_TRUE(win32ui::Click(general, IDC_HELPBUTTON));
    EXPECT_NE(GetModuleHandleA("HelpStandIn.ocx"), nullptr) << "the registered file was loaded";
    RegisterHelpControl("C:\\WINDOWS\\System32\\hhctrl.ocx");
    EXPECT_TRUE(win32ui::Click(general, IDC_HELPBUTTON));
    win32ui::Click(sheet, IDCANCEL);
  });
  EXPECT_TRUE(win32ui::HelpTopics().empty());
  ExpectHelpNotFound(2);
}

TEST_F(AppletTest, UninstallIsNotYetThereAndLeavesTheSheetOpen) {
  OpenSheet([&](HWND sheet) {
    EXPECT_TRUE(win32ui::Click(win32ui::Page(sheet, kGeneral), IDC_UNINSTALL));
    EXPECT_EQ(win32ui::CurrentPage(sheet), kGeneral);
    EXPECT_TRUE(win32ui::Click(sheet, IDOK));
  });
  EXPECT_EQ(Registry("IRRange"), 2u);
}

}  // namespace
}  // namespace towertest

namespace towertest {
namespace {

// The applet finds its own module by the name "Ostrel.cpl": a copy under
// another name finds none, so its texts and pages cannot be had.
// ---- failures of the platform, provoked through the machine's fault facility

TEST_F(AppletTest, DefaultsThatCannotBeReadOrStoredAreNotReportedAndTowersStillRestart) {
  hk::DeviceObject* physical = PlugTower();
  ASSERT_NE(physical, nullptr);
  auto refused = machine_->faults().Always(hk::fault::kRegCreateKeyA, ERROR_ACCESS_DENIED,
                                           "QIROUSBTower\\Parameters");
  OpenSheet([&](HWND sheet) {
    // The factory values the failed read left in the record.
    EXPECT_TRUE(Checked(sheet, kGeneral, IDC_RANGE_MEDIUM));
    EXPECT_TRUE(Checked(sheet, kGeneral, IDC_MODE_IR));
    EXPECT_TRUE(win32ui::Click(win32ui::Page(sheet, kGeneral), IDC_MODE_VLL));
    EXPECT_TRUE(win32ui::Click(sheet, IDOK));
  });
  machine_->SettlePnp();
  EXPECT_EQ(refused->Hits(), 2u) << "the read at the start and the write at OK";
  EXPECT_TRUE(win32ui::MessageBoxes().empty());
  EXPECT_EQ(Registry("LinkMode"), std::nullopt) << "nothing was stored";
  EXPECT_TRUE(physical->deleted) << "the tower left the bus for its restart";
}

TEST_F(AppletTest, PageDescriptorsThatCannotBeAllocatedOpenNoSheet) {
  auto refused = machine_->faults().Once(hk::fault::kCalloc, 0, "Ostrel.cpl");
  bool opened = false;
  OpenSheet([&](HWND sheet) {
    opened = true;
    win32ui::Click(sheet, IDCANCEL);
  });
  EXPECT_FALSE(opened);
  EXPECT_EQ(refused->Hits(), 1u);
  EXPECT_EQ(RegistryValues(), 0u);
  EXPECT_TRUE(win32ui::MessageBoxes().empty());
}

TEST_F(AppletTest, AHelpRegistrationThatCannotBeOpenedFallsBackToTheControlsName) {
  PutHelpFile();
  ReloadApplet();
  auto refused =
      machine_->faults().Always(hk::fault::kRegOpenKeyExA, ERROR_ACCESS_DENIED, "InprocServer32");
  OpenSheet([&](HWND sheet) {
    EXPECT_TRUE(win32ui::Click(win32ui::Page(sheet, kGeneral), IDC_HELPBUTTON));
    win32ui::Click(sheet, IDCANCEL);
  });
  EXPECT_EQ(refused->Hits(), 1u);
  ASSERT_EQ(win32ui::HelpTopics().size(), 1u);
  EXPECT_EQ(win32ui::HelpTopics()[0].topic, "General_configuration.htm");
  EXPECT_TRUE(win32ui::MessageBoxes().empty());
}

TEST_F(AppTest, AnAppletFileUnderAnotherNameOpensNoSheetAndSavesNothing) {
  char tavrix[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(GetModuleHandleA("Tavrix.dll"), tavrix, sizeof(tavrix)), 0u);
  const std::filesystem::path folder = std::filesystem::path(tavrix).parent_path();
  const std::string name = "Renamed" + std::to_string(getpid()) + ".cpl";
  std::filesystem::copy_file(folder / "Ostrel.cpl", folder / name,
                             std::filesystem::copy_options::overwrite_existing);
  HMODULE copy = LoadLibraryA(name.c_str());
  ASSERT_NE(copy, nullptr);
  auto cpl =
      reinterpret_cast<APPLET_PROC>(reinterpret_cast<void*>(GetProcAddress(copy, "CPlApplet")));
  ASSERT_NE(cpl, nullptr);
  win32ui::Reset();
  bool shown = false;
  win32ui::SetPerson([&](HWND) { shown = true; });
  EXPECT_EQ(cpl(nullptr, CPL_INIT, 0, 0), 1);
  EXPECT_EQ(cpl(nullptr, CPL_DBLCLK, 0, 0), 0);
  EXPECT_FALSE(shown);
  EXPECT_TRUE(machine_->registry().ValueNames(kParameters).empty());
  win32ui::Reset();
  FreeLibrary(copy);
  std::filesystem::remove(folder / name);
}

TEST_F(AppletTest, WithoutItsStringsTheAppletShowsItsBuiltInTexts) {
  std::vector<hk::Faults::Handle> refused;
  for (UINT id : {IDS_NAME, IDS_TITLE_GENERAL, IDS_TITLE_ADVANCED, IDS_TITLE_DIAGNOSTICS,
                  IDS_NO_TOWERS, IDS_HUB_BUS_POWERED, IDS_NO_HELP})
    refused.push_back(machine_->faults().Always(hk::fault::kLoadStringA,
                                                ERROR_RESOURCE_NAME_NOT_FOUND,
                                                "Ostrel.cpl\\" + std::to_string(id)));
  ReloadApplet();
  OpenSheet([&](HWND sheet) {
    char caption[64];
    GetWindowTextA(sheet, caption, sizeof(caption));
    EXPECT_STREQ(caption, "QIRO USB Tower");
    EXPECT_EQ(win32ui::PageTitle(sheet, kGeneral), "General");
    EXPECT_EQ(win32ui::PageTitle(sheet, kAdvanced), "Advanced");
    EXPECT_EQ(win32ui::PageTitle(sheet, kDiagnostics), "Diagnostics");
    EXPECT_TRUE(win32ui::SwitchPage(sheet, kDiagnostics));
    HWND page = win32ui::Page(sheet, kDiagnostics);
    EXPECT_EQ(win32ui::Text(page, IDC_HUB_POWER), "No towers are currently connected");
    PlugTowerOnHub(false);
    EXPECT_TRUE(win32ui::Click(page, IDC_NEXT));
    EXPECT_EQ(win32ui::Text(page, IDC_TOWER_NUMBER), "1");
    EXPECT_EQ(win32ui::Text(page, IDC_HUB_POWER),
              "The parent hub is bus powered. If you need the tower to transmit long range, you "
              "should connect it to a different hub");
    // No help file: the built-in text says so.
    EXPECT_TRUE(win32ui::Click(page, IDC_HELPBUTTON));
    ExpectHelpNotFound(1);
    win32ui::Click(sheet, IDCANCEL);
  });
  for (const auto& entry : refused) EXPECT_GE(entry->Hits(), 1u) << "each string was asked for";
}

}  // namespace
}  // namespace towertest
