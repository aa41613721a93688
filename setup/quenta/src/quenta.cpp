// Quenta: prepares the system for the tower driver. Old tower device entries
// go, the driver's INF is copied into the system's INF store (and, on the
// legacy family, its default file copies are made and stale registry keys
// and driver databases removed), and the device tree is scanned again.
#include <stdio.h>
#include <string.h>

#include "Quenta.h"
#include "towerdev.h"

namespace {

constexpr char kInfName[] = "Ostrel.inf";
constexpr char kInfSection[] = "DefaultInstall";
constexpr char kInterfaceClass[] = "{da12761a-0bcd-4bb5-ba81-4bbaa660af4e}";
constexpr char kLegacyEnumKey[] = "Enum\\USB";
constexpr char kDeviceClassesKey[] = "System\\CurrentControlSet\\Control\\DeviceClasses";

// The one stored value; nothing here calls it.
ULONG_PTR callbackSlot = 0;

bool IsDirectoryPath(const char* path) {
  if (path == nullptr) return false;
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The legacy family from 98 on, or the NT family from 5.0 on; false when
// the version cannot be read.
bool GetSupportedPlatform(bool* legacy98OrLater, bool* nt5OrLater) {
  *legacy98OrLater = false;
  *nt5OrLater = false;
  OSVERSIONINFOA version;
  memset(&version, 0, sizeof(version));
  version.dwOSVersionInfoSize = sizeof(version);
  if (!GetVersionExA(&version)) return false;
  *nt5OrLater = version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion >= 5;
  // 98 is 4.10 and Me 4.90; 95 (4.0) is refused.
  *legacy98OrLater =
      version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS &&
      (version.dwMajorVersion > 4 || (version.dwMajorVersion == 4 && version.dwMinorVersion != 0));
  return true;
}

bool IsLegacyPlatform() { return (GetVersion() & 0x80000000u) != 0; }

bool InstallInfFiles(const char* infPath, const char* source) {
  HINF inf = SetupOpenInfFileA(infPath, nullptr, INF_STYLE_WIN4, nullptr);
  if (inf == INVALID_HANDLE_VALUE) return false;
  PVOID context = SetupInitDefaultQueueCallback(nullptr);
  // Files only; the platform keeps a newer file that is already there.
  const BOOL installed = SetupInstallFromInfSectionA(
      nullptr, inf, kInfSection, SPINST_FILES, nullptr, source, SP_COPY_NEWER,
      SetupDefaultQueueCallbackA, context, nullptr, nullptr);
  const DWORD error = GetLastError();
  // The queue context is the caller's to free once the copies are done.
  SetupTermDefaultQueueCallback(context);
  SetupCloseInfFile(inf);
  SetLastError(error);
  return installed != FALSE;
}

bool DeleteStaleDeviceKeys(const char* hardwareId, const char* interfaceClass) {
  if (hardwareId == nullptr || *hardwareId == '\0' || interfaceClass == nullptr ||
      *interfaceClass == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!IsLegacyPlatform()) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return false;
  }
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kLegacyEnumKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
    return false;
  // The key named by the full hardware id, and the device's own key below
  // the enumerator (the id without its "USB\" part); either may be absent.
  RegDeleteKeyA(key, hardwareId);
  const char* device = strchr(hardwareId, '\\');
  if (device != nullptr && device[1] != '\0') RegDeleteKeyA(key, device + 1);
  RegCloseKey(key);
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDeviceClassesKey, 0, KEY_ALL_ACCESS, &key) !=
      ERROR_SUCCESS)
    return false;
  const LONG deleted = RegDeleteKeyA(key, interfaceClass);
  RegCloseKey(key);
  return deleted == ERROR_SUCCESS;
}

bool DeleteDriverDatabase() {
  char windows[MAX_PATH];
  const UINT length = GetWindowsDirectoryA(windows, sizeof(windows));
  if (length == 0 || length >= sizeof(windows)) return false;
  char path[MAX_PATH + 32];
  snprintf(path, sizeof(path), "%s\\INF\\drvdata.bin", windows);
  const bool first = DeleteFileA(path) != FALSE;
  snprintf(path, sizeof(path), "%s\\INF\\drvidx.bin", windows);
  DeleteFileA(path);
  return first;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reason;
  (void)reserved;
  return TRUE;
}

LONG WINAPI QIROTowerSetup(DWORD reserved1, LPCSTR source, DWORD reserved2) {
  (void)reserved1;
  (void)reserved2;
  if (!IsDirectoryPath(source)) return QIROTOWER_SETUP_NO_SOURCE_DIRECTORY;
  bool legacy98 = false;
  bool nt5 = false;
  if (!GetSupportedPlatform(&legacy98, &nt5)) return QIROTOWER_SETUP_NO_VERSION;
  if (!legacy98 && !nt5) return QIROTOWER_SETUP_UNSUPPORTED_WINDOWS;
  towerdev::RemoveTowerDevices();

  // The source, a separator unless it ends in one, and the INF's name. A
  // source too long for the path cannot name the INF: nothing is copied.
  char infPath[MAX_PATH];
  const size_t length = strlen(source);
  const bool separated = length > 0 && (source[length - 1] == '\\' || source[length - 1] == '/');
  const int written =
      snprintf(infPath, sizeof(infPath), "%s%s%s", source, separated ? "" : "\\", kInfName);
  if (written < 0 || static_cast<size_t>(written) >= sizeof(infPath))
    return QIROTOWER_SETUP_COPY_FAILED;

  char destination[MAX_PATH];
  if (!SetupCopyOEMInfA(infPath, source, SPOST_PATH, 0, destination, sizeof(destination), nullptr,
                        nullptr))
    return QIROTOWER_SETUP_COPY_FAILED;
  // The NT family installs the driver from the stored INF when the tower
  // is detected.
  if (!IsLegacyPlatform()) return QIROTOWER_SETUP_OK;
  if (!InstallInfFiles(infPath, source)) return QIROTOWER_SETUP_COPY_FAILED;
  DeleteStaleDeviceKeys(towerdev::kTowerHardwareId, kInterfaceClass);
  DeleteDriverDatabase();
  return QIROTOWER_SETUP_OK;
}

LONG WINAPI QIROTowerReenumerateUSB(void) {
  DEVINST root = 0;
  if (CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) return 0;
  return CM_Reenumerate_DevNode(root, CM_REENUMERATE_SYNCHRONOUS) == CR_SUCCESS ? 1 : 0;
}

LONG WINAPI QIROTowerSetupSetCallback(ULONG_PTR callback) {
  callbackSlot = callback;
  return 0;
}

ULONG_PTR WINAPI QIROTowerSetupGetCallback(void) { return callbackSlot; }
