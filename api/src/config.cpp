// The stored default configuration, restart and re-enumeration: the driver
// reads the defaults from the registry at every open and start, so new values
// reach a running tower only once it is restarted.
#include <cstring>

#include "internal.h"
#include "tower/names.h"

namespace {

constexpr char kParametersKey[] = "SYSTEM\\CurrentControlSet\\Services\\QIROUSBTower\\Parameters";

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

void FillFactory(QIROTOWER_CONFIG* config) {
  config->IRRange = 2;   // medium (the driver's own default, for no value at all, is long)
  config->LinkMode = 2;  // IR
  config->HighPower = 0;
  config->Timeout_Read_1st = 200;
  config->Timeout_Read_ic = 100;
  config->Timeout_Write = 200;
  config->BufferSize = 1024;
}

// Reads one value straight into its field; a value that is missing or does
// not fit in four bytes leaves the field as it was. Its type is not examined.
void ReadValue(HKEY key, const char* name, uint32_t* field) {
  DWORD value = *field;
  DWORD bytes = sizeof(value);
  if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &bytes) ==
      ERROR_SUCCESS)
    *field = value;
}

bool WriteValue(HKEY key, const char* name, uint32_t value) {
  const DWORD data = value;
  return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                        sizeof(data)) == ERROR_SUCCESS;
}

bool Restart(HANDLE tower) {
  DWORD bytes = 0;
  return DeviceIoControl(tower, IOCTL_TOWER_RESTART, nullptr, 0, nullptr, 0, &bytes, nullptr) !=
         FALSE;
}

}  // namespace

extern "C" {

BOOL WINAPI QIROTowerGetFactoryConfig(QIROTOWER_CONFIG* config) {
  if (config == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (config->Size < sizeof(QIROTOWER_CONFIG)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  // Size stays as the caller set it.
  FillFactory(config);
  return TRUE;
}

BOOL WINAPI QIROTowerGetDefaultConfig(QIROTOWER_CONFIG* config) {
  if (config == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (config->Size < sizeof(QIROTOWER_CONFIG)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  FillFactory(config);
  // The key is created when it is missing: a fresh system reads as factory.
  HKEY key = nullptr;
  if (RegCreateKeyA(HKEY_LOCAL_MACHINE, kParametersKey, &key) != ERROR_SUCCESS)
    return Fail(ERROR_CANTOPEN);
  ReadValue(key, "IRRange", &config->IRRange);
  ReadValue(key, "LinkMode", &config->LinkMode);
  ReadValue(key, "HighPower", &config->HighPower);
  ReadValue(key, "Timeout_Write", &config->Timeout_Write);
  ReadValue(key, "Timeout_Read_1st", &config->Timeout_Read_1st);
  ReadValue(key, "Timeout_Read_ic", &config->Timeout_Read_ic);
  ReadValue(key, "BufferSize", &config->BufferSize);
  RegCloseKey(key);
  return TRUE;
}

BOOL WINAPI QIROTowerSetDefaultConfig(const QIROTOWER_CONFIG* config) {
  // A short record is a bad argument here, not a short buffer.
  if (config == nullptr || config->Size < sizeof(QIROTOWER_CONFIG))
    return Fail(ERROR_INVALID_PARAMETER);
  HKEY key = nullptr;
  if (RegCreateKeyA(HKEY_LOCAL_MACHINE, kParametersKey, &key) != ERROR_SUCCESS)
    return Fail(ERROR_CANTOPEN);
  // Range, then link mode, then the rest; the middle four are written
  // without looking at their results, and the buffer size decides last.
  bool ok = WriteValue(key, "IRRange", config->IRRange);
  if (ok) ok = WriteValue(key, "LinkMode", config->LinkMode);
  if (ok) {
    WriteValue(key, "HighPower", config->HighPower);
    WriteValue(key, "Timeout_Write", config->Timeout_Write);
    WriteValue(key, "Timeout_Read_1st", config->Timeout_Read_1st);
    WriteValue(key, "Timeout_Read_ic", config->Timeout_Read_ic);
    ok = WriteValue(key, "BufferSize", config->BufferSize);
  }
  RegCloseKey(key);
  if (!ok) return Fail(ERROR_CANTWRITE);
  return TRUE;
}

BOOL WINAPI QIROTowerRestart(HANDLE tower) {
  if (tower == INVALID_HANDLE_VALUE) return Fail(ERROR_INVALID_HANDLE);
  if (!Restart(tower)) return FALSE;  // the handle stays the caller's
  // The tower leaves the bus and comes back as a new device: the handle is
  // used up.
  CloseHandle(tower);
  return TRUE;
}

BOOL WINAPI QIROTowerRestartAll(void) {
  // No last error of its own: the caller's survives the opens that fail on
  // absent or held towers and any restart that fails.
  const DWORD callersError = GetLastError();
  BOOL result = FALSE;
  for (uint32_t unit = 1; unit <= tower::kMaxUnits; ++unit) {
    char path[32];
    tower::FormatUserPath(unit, path, sizeof(path));
    // A tower held open elsewhere cannot be opened and is left alone.
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) continue;
    result = Restart(handle) ? TRUE : FALSE;
    CloseHandle(handle);
  }
  SetLastError(callersError);
  // The result of the last restart sent.
  return result;
}

BOOL WINAPI QIROTowerReenumerateAll(void) {
  DEVINST root = 0;
  if (CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) return FALSE;
  return CM_Reenumerate_DevNode(root, CM_REENUMERATE_SYNCHRONOUS) == CR_SUCCESS ? TRUE : FALSE;
}

BOOL WINAPI QIROTowerIsUSBEnabled(void) {
  HANDLE controller = CreateFileA("\\\\.\\HCD0", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  if (controller == INVALID_HANDLE_VALUE) return FALSE;
  CloseHandle(controller);
  return TRUE;
}

}  // extern "C"
