// Files on the host machine's drive, seen through the Win32 calls: handles on
// files, attributes, deletion of files a program holds, renames at the next
// restart (the session manager's list on NT, Wininit.ini on the legacy
// family), short names, and the version each Windows reports.
#include <gtest/gtest.h>

#include "setup_fixture.h"
#include "win32/windows.h"

namespace towertest {
namespace {

class FilesTest : public SetupTest {};

TEST_F(FilesTest, FilesAreWrittenReadMeasuredAndDeletedOnTheDrive) {
  char windows[MAX_PATH] = {};
  ASSERT_EQ(GetWindowsDirectoryA(windows, sizeof(windows)), 10u);
  EXPECT_STREQ(windows, "C:\\WINDOWS");
  EXPECT_EQ(GetWindowsDirectoryA(windows, 5), 11u) << "too small: the size needed";

  HANDLE file = CreateFileA("C:\\WINDOWS\\Test.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file, "hello", 5, &written, nullptr));
  EXPECT_EQ(written, 5u);
  // Open without sharing: a second open is refused, and so is deletion.
  EXPECT_EQ(CreateFileA("c:\\windows\\test.txt", GENERIC_READ, FILE_SHARE_READ, nullptr,
                        OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(DeleteFileA("C:\\WINDOWS\\TEST.TXT"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  ASSERT_TRUE(CloseHandle(file));

  file = CreateFileA("C:\\WINDOWS\\test.TXT", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetFileSize(file, nullptr), 5u);
  char text[8] = {};
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(file, text, sizeof(text), &read, nullptr));
  EXPECT_EQ(std::string(text, read), "hello");
  EXPECT_FALSE(WriteFile(file, "x", 1, &written, nullptr)) << "opened for reading only";
  ASSERT_TRUE(CloseHandle(file));

  EXPECT_EQ(GetFileAttributesA("C:\\WINDOWS"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  ASSERT_TRUE(SetFileAttributesA("C:\\WINDOWS\\Test.txt", FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(GetFileAttributesA("C:\\WINDOWS\\Test.txt") & FILE_ATTRIBUTE_READONLY,
            static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(DeleteFileA("C:\\WINDOWS\\Test.txt")) << "read-only";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_TRUE(SetFileAttributesA("C:\\WINDOWS\\Test.txt", FILE_ATTRIBUTE_NORMAL));
  EXPECT_TRUE(DeleteFileA("C:\\WINDOWS\\Test.txt"));
  EXPECT_FALSE(DeleteFileA("C:\\WINDOWS\\Test.txt"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(GetFileAttributesA("C:\\NoSuchDir\\Test.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(GetFileAttributesA("D:\\x"), INVALID_FILE_ATTRIBUTES) << "the machine has C: only";
}

TEST_F(FilesTest, MoveFileRenamesButNeverOverAnExistingFile) {
  WriteDriveFile("C:\\a.txt", "a");
  WriteDriveFile("C:\\b.txt", "b");
  EXPECT_FALSE(MoveFileA("C:\\a.txt", "C:\\b.txt"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_TRUE(MoveFileA("C:\\a.txt", "C:\\c.txt"));
  EXPECT_EQ(ReadDriveFile("C:\\c.txt"), "a");
  EXPECT_FALSE(DriveFileExists("C:\\a.txt"));
}

TEST_F(FilesTest, ShortNamesAreUpperCasedOrNumberedAndOpenTheSameFile) {
  WriteDriveFile("C:\\Program Files\\QIRO Tower\\Ostrel Setup.ini", "x");
  WriteDriveFile("C:\\Program Data\\readme.txt", "y");
  char shortPath[MAX_PATH] = {};
  ASSERT_GT(GetShortPathNameA("c:\\program files\\QIRO Tower\\Ostrel Setup.ini", shortPath,
                              sizeof(shortPath)),
            0u);
  // "Program Data" sorts before "Program Files": it takes ~1.
  EXPECT_STREQ(shortPath, "C:\\PROGRA~2\\QIROTO~1\\OSTREL~1.INI");
  ASSERT_GT(GetShortPathNameA("C:\\Program Data\\readme.txt", shortPath, sizeof(shortPath)), 0u);
  EXPECT_STREQ(shortPath, "C:\\PROGRA~1\\README.TXT");
  EXPECT_EQ(GetShortPathNameA("C:\\Program Data\\readme.txt", shortPath, 5), 23u)
      << "too small: the size needed";
  EXPECT_EQ(GetShortPathNameA("C:\\Program Data\\missing.txt", shortPath, sizeof(shortPath)), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  // The short form names the same file.
  EXPECT_NE(GetFileAttributesA("C:\\PROGRA~2\\QIROTO~1\\OSTREL~1.INI"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(FilesTest, AHeldModuleCannotBeDeletedButGoesAtTheNextRestart) {
  CopyModuleToDrive("Tavrix.dll", "C:\\WINDOWS\\SYSTEM32\\Tavrix.dll");
  HMODULE module = LoadLibraryA("C:\\WINDOWS\\SYSTEM32\\Tavrix.dll");
  ASSERT_NE(module, nullptr);
  char path[MAX_PATH] = {};
  ASSERT_GT(GetModuleFileNameA(module, path, sizeof(path)), 0u);
  EXPECT_STREQ(path, "C:\\WINDOWS\\SYSTEM32\\Tavrix.dll");
  EXPECT_FALSE(DeleteFileA(path));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_TRUE(MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_TRUE(DriveFileExists(path));
  ASSERT_TRUE(FreeLibrary(module));
  Restart();
  EXPECT_FALSE(DriveFileExists(path));
  EXPECT_FALSE(machine_->registry().GetValue(hk::kPendingRenamesKey, hk::kPendingRenamesValue))
      << "the list is done once";
}

TEST_F(FilesTest, TheLegacyFamilyRenamesThroughWininitAtRestart) {
  BootAs(hk::WindowsVersion::Win98SE);
  char windows[MAX_PATH] = {};
  GetWindowsDirectoryA(windows, sizeof(windows));
  EXPECT_STREQ(windows, "C:\\WINDOWS");
  WriteDriveFile("C:\\WINDOWS\\SYSTEM\\Long Name.cpl", "applet");
  WriteDriveFile("C:\\keep.txt", "keep");
  EXPECT_FALSE(MoveFileExA("C:\\keep.txt", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
  WriteDriveFile(
      "C:\\WINDOWS\\WININIT.INI",
      "[Other]\r\nNUL=C:\\keep.txt\r\n[Rename]\r\nNUL=C:\\WINDOWS\\SYSTEM\\LONGNA~1.CPL\r\n");
  Restart();
  EXPECT_FALSE(DriveFileExists("C:\\WINDOWS\\SYSTEM\\Long Name.cpl"));
  EXPECT_TRUE(DriveFileExists("C:\\keep.txt")) << "only the [rename] section is carried out";
  EXPECT_FALSE(DriveFileExists("C:\\WINDOWS\\Wininit.ini"));
  EXPECT_TRUE(DriveFileExists("C:\\WINDOWS\\Wininit.bak"));
}

TEST_F(FilesTest, EachWindowsReportsItsVersionAndFamily) {
  struct Case {
    hk::WindowsVersion windows;
    DWORD major, minor, platform;
    const char* directory;
  };
  const Case cases[] = {
      {hk::WindowsVersion::Win95, 4, 0, VER_PLATFORM_WIN32_WINDOWS, "C:\\WINDOWS"},
      {hk::WindowsVersion::Win98, 4, 10, VER_PLATFORM_WIN32_WINDOWS, "C:\\WINDOWS"},
      {hk::WindowsVersion::Win98SE, 4, 10, VER_PLATFORM_WIN32_WINDOWS, "C:\\WINDOWS"},
      {hk::WindowsVersion::WinMe, 4, 90, VER_PLATFORM_WIN32_WINDOWS, "C:\\WINDOWS"},
      {hk::WindowsVersion::NT4, 4, 0, VER_PLATFORM_WIN32_NT, "C:\\WINNT"},
      {hk::WindowsVersion::Win2000, 5, 0, VER_PLATFORM_WIN32_NT, "C:\\WINNT"},
      {hk::WindowsVersion::XP, 5, 1, VER_PLATFORM_WIN32_NT, "C:\\WINDOWS"},
  };
  for (const Case& c : cases) {
    BootAs(c.windows);
    SCOPED_TRACE(c.directory + std::to_string(c.major) + "." + std::to_string(c.minor));
    const DWORD word = GetVersion();
    EXPECT_EQ(word & 0xFF, c.major);
    EXPECT_EQ((word >> 8) & 0xFF, c.minor);
    EXPECT_EQ((word & 0x80000000u) != 0, c.platform == VER_PLATFORM_WIN32_WINDOWS);
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(info.dwMajorVersion, c.major);
    EXPECT_EQ(info.dwMinorVersion, c.minor);
    EXPECT_EQ(info.dwPlatformId, c.platform);
    char windows[MAX_PATH] = {};
    GetWindowsDirectoryA(windows, sizeof(windows));
    EXPECT_STREQ(windows, c.directory);
  }
  OSVERSIONINFOA tooSmall{};
  tooSmall.dwOSVersionInfoSize = 100;
  EXPECT_FALSE(GetVersionExA(&tooSmall));
}

}  // namespace
}  // namespace towertest
