// The HTML help control of the host machine's Windows: registered by the
// installation where COM clients look for it, loaded by that path or by
// name, its display entry taken by ordinal, and what it shows.
#include <fstream>
#include <string>

#include "app_fixture.h"
#include "win32/host_ui.h"

namespace towertest {
namespace {

constexpr char kServerKey[] = "CLSID\\{ADB880A6-D8FF-11CF-9377-00AA003B7A11}\\InprocServer32";
constexpr WORD kDisplayEntry = 14;

typedef HWND (*HtmlHelpEntry)(HWND, LPCSTR, UINT, DWORD_PTR);

class HelpControlTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    win32ui::Reset();
  }
  void TearDown() override {
    win32ui::Reset();
    AppTest::TearDown();
  }
  // The registered file of the control, or empty.
  static std::string Registered() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, kServerKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return "";
    char path[MAX_PATH] = "";
    DWORD size = sizeof(path);
    const LONG read =
        RegQueryValueExA(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(path), &size);
    RegCloseKey(key);
    return read == ERROR_SUCCESS ? path : "";
  }
  void WriteDriveFile(const std::string& windowsPath) {
    const auto host = machine_->files().HostPath(windowsPath);
    ASSERT_TRUE(host);
    std::filesystem::create_directories(host->parent_path());
    std::ofstream(*host, std::ios::binary) << "ITSF help";
  }
};

TEST_F(HelpControlTest, EachWindowsRegistersTheControlInItsSystemDirectoryOrHasNone) {
  struct Case {
    hk::WindowsVersion windows;
    const char* registered;  // empty: the installation has no HTML help
  };
  for (const Case& c : {Case{hk::WindowsVersion::XP, "C:\\WINDOWS\\System32\\hhctrl.ocx"},
                        Case{hk::WindowsVersion::Win2000, "C:\\WINNT\\System32\\hhctrl.ocx"},
                        Case{hk::WindowsVersion::Win98SE, "C:\\WINDOWS\\SYSTEM\\hhctrl.ocx"},
                        Case{hk::WindowsVersion::NT4, ""}, Case{hk::WindowsVersion::Win95, ""}}) {
    SCOPED_TRACE(c.registered);
    InstallAfresh(c.windows);
    EXPECT_EQ(Registered(), c.registered);
    HMODULE byName = LoadLibraryA("hhctrl.ocx");
    if (*c.registered == '\0') {
      EXPECT_EQ(byName, nullptr) << "a file of the host is no file of this Windows";
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
      continue;
    }
    ASSERT_NE(byName, nullptr);
    HMODULE byPath = LoadLibraryA(c.registered);
    EXPECT_EQ(byPath, byName) << "the registered path is the same module";
    EXPECT_NE(GetProcAddress(byName, MAKEINTRESOURCEA(kDisplayEntry)), nullptr);
    EXPECT_EQ(GetProcAddress(byName, "HtmlHelpA"), nullptr) << "exported by ordinal only";
    FreeLibrary(byPath);
    FreeLibrary(byName);
  }
  // Only the installation registers it: a start keeps what was removed since.
  InstallAfresh(hk::WindowsVersion::XP);
  ASSERT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, kServerKey), ERROR_SUCCESS);
  Boot();
  EXPECT_EQ(Registered(), "");
}

TEST_F(HelpControlTest, TheDisplayEntryShowsATopicOfAnExistingHelpFileOnly) {
  HMODULE control = LoadLibraryA("hhctrl.ocx");
  ASSERT_NE(control, nullptr);
  auto show = reinterpret_cast<HtmlHelpEntry>(
      reinterpret_cast<void*>(GetProcAddress(control, MAKEINTRESOURCEA(kDisplayEntry))));
  ASSERT_NE(show, nullptr);
  WriteDriveFile("C:\\WINDOWS\\Help\\Guide.chm");
  WriteDriveFile("C:\\Docs\\Other.chm");

  // A bare name is looked for in the Windows Help directory; a window type
  // after '>' is not part of the topic.
  HWND viewer = show(nullptr, "Guide.chm::/Intro.htm>main", 0, 0);
  ASSERT_NE(viewer, nullptr);
  EXPECT_TRUE(win32ui::Visible(viewer));
  // Later topics reuse the window: the topic from the data, then the file's
  // default topic, then a file named with its folder.
  EXPECT_EQ(show(nullptr, "Guide.chm", 0, reinterpret_cast<DWORD_PTR>("Setup.htm")), viewer);
  EXPECT_EQ(show(nullptr, "Guide.chm", 0, 0), viewer);
  EXPECT_EQ(show(nullptr, "C:\\Docs\\Other.chm::/a/b.htm", 0, 0), viewer);
  // Nothing opens for a missing file, a missing name, or a command other
  // than displaying a topic (1, the contents).
  EXPECT_EQ(show(nullptr, "Missing.chm::/Intro.htm", 0, 0), nullptr);
  EXPECT_EQ(show(nullptr, "::/Intro.htm", 0, 0), nullptr);
  EXPECT_EQ(show(nullptr, "Guide.chm", 1, 0), nullptr);
  EXPECT_EQ(show(nullptr, nullptr, 0, 0), nullptr);

  const auto shown = win32ui::HelpTopics();
  ASSERT_EQ(shown.size(), 4u);
  EXPECT_EQ(shown[0].file, "C:\\WINDOWS\\Help\\Guide.chm");
  EXPECT_EQ(shown[0].topic, "Intro.htm");
  EXPECT_EQ(shown[1].topic, "Setup.htm");
  EXPECT_EQ(shown[2].topic, "");
  EXPECT_EQ(shown[3].file, "C:\\Docs\\Other.chm");
  EXPECT_EQ(shown[3].topic, "a/b.htm");
  FreeLibrary(control);
}

}  // namespace
}  // namespace towertest
