// The registry API over the host machine's one registry store, the store the
// kernel's view (and so the driver) reads. HKEY_LOCAL_MACHINE is the store's
// "Machine" key; names compare without case, as the store's do.
#include <cstring>
#include <span>
#include <string>

#include "faults/faults.h"
#include "handles.h"
#include "kernel/machine.h"
#include "registry_keys.h"

namespace win32host {

namespace {

class RegistryKey final : public Object {
 public:
  explicit RegistryKey(std::string path) : path_(std::move(path)) {}
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The store path of a predefined key or an open one; empty when hKey names none.
std::string KeyPath(HKEY hKey) {
  if (hKey == HKEY_LOCAL_MACHINE) return "Machine";
  // The machine's class registrations, as the NT family keeps them.
  if (hKey == HKEY_CLASSES_ROOT) return "Machine\\Software\\Classes";
  if (auto key = Lookup<RegistryKey>(hKey)) return key->path();
  return std::string();
}

// A subkey path as callers write it: backslashes between names, none at
// either end (Windows refuses a leading one).
bool Join(const std::string& base, LPCSTR subKey, std::string* out) {
  if (subKey == nullptr || *subKey == '\0') {
    *out = base;
    return true;
  }
  if (subKey[0] == '\\') return false;
  std::string sub = subKey;
  while (!sub.empty() && sub.back() == '\\') sub.pop_back();
  *out = base + "\\" + sub;
  return true;
}

}  // namespace

HKEY OpenStoreKey(const std::string& path) {
  return static_cast<HKEY>(InsertHandle(std::make_shared<RegistryKey>(path)));
}

}  // namespace win32host

using namespace win32host;

extern "C" {

LONG WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  hk::Machine* machine = CurrentMachine();
  const std::string base = KeyPath(hKey);
  if (base.empty()) return ERROR_INVALID_HANDLE;
  if (machine == nullptr) return ERROR_FILE_NOT_FOUND;
  std::string path;
  if (!Join(base, lpSubKey, &path)) return ERROR_BAD_PATHNAME;
  if (auto code = Injected(hk::fault::kRegCreateKeyA, path)) return static_cast<LONG>(*code);
  if (!machine->registry().CreateKey(path)) return ERROR_CANTWRITE;
  *phkResult = OpenStoreKey(path);
  return ERROR_SUCCESS;
}

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult) {
  (void)ulOptions;
  (void)samDesired;  // the store keeps no security
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  hk::Machine* machine = CurrentMachine();
  const std::string base = KeyPath(hKey);
  if (base.empty()) return ERROR_INVALID_HANDLE;
  if (machine == nullptr) return ERROR_FILE_NOT_FOUND;
  std::string path;
  if (!Join(base, lpSubKey, &path)) return ERROR_BAD_PATHNAME;
  if (auto code = Injected(hk::fault::kRegOpenKeyExA, path)) return static_cast<LONG>(*code);
  if (!machine->registry().KeyExists(path)) return ERROR_FILE_NOT_FOUND;
  *phkResult = OpenStoreKey(path);
  return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
    return ERROR_INVALID_PARAMETER;
  hk::Machine* machine = CurrentMachine();
  const std::string path = KeyPath(hKey);
  if (path.empty()) return ERROR_INVALID_HANDLE;
  if (machine == nullptr) return ERROR_FILE_NOT_FOUND;
  const std::string name = lpValueName == nullptr ? "" : lpValueName;
  if (auto code = Injected(hk::fault::kRegQueryValueExA, path + "\\" + name))
    return static_cast<LONG>(*code);
  auto value = machine->registry().GetValue(path, name);
  if (!value) return ERROR_FILE_NOT_FOUND;
  if (lpType != nullptr) *lpType = value->type;
  const auto size = static_cast<DWORD>(value->data.size());
  if (lpcbData == nullptr) return ERROR_SUCCESS;
  // The size needed comes back whether or not the data fits; data that does
  // not fit is not copied.
  const DWORD room = *lpcbData;
  *lpcbData = size;
  if (lpData == nullptr) return ERROR_SUCCESS;
  if (size > room) return ERROR_MORE_DATA;
  if (size != 0) std::memcpy(lpData, value->data.data(), size);
  return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE* lpData, DWORD cbData) {
  (void)Reserved;
  if (lpData == nullptr && cbData != 0) return ERROR_NOACCESS;
  hk::Machine* machine = CurrentMachine();
  const std::string path = KeyPath(hKey);
  if (path.empty() || hKey == HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
  if (machine == nullptr) return ERROR_FILE_NOT_FOUND;
  const std::string name = lpValueName == nullptr ? "" : lpValueName;
  if (auto code = Injected(hk::fault::kRegSetValueExA, path + "\\" + name))
    return static_cast<LONG>(*code);
  if (!machine->registry().SetValue(path, name, dwType, std::span<const uint8_t>(lpData, cbData)))
    return machine->registry().KeyExists(path) ? ERROR_CANTWRITE : ERROR_KEY_DELETED;
  return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  hk::Machine* machine = CurrentMachine();
  const std::string base = KeyPath(hKey);
  if (base.empty()) return ERROR_INVALID_HANDLE;
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  if (machine == nullptr) return ERROR_FILE_NOT_FOUND;
  std::string path;
  if (!Join(base, lpSubKey, &path) || *lpSubKey == '\0') return ERROR_BAD_PATHNAME;
  if (auto code = Injected(hk::fault::kRegDeleteKeyA, path)) return static_cast<LONG>(*code);
  hk::Registry& registry = machine->registry();
  if (!registry.KeyExists(path)) return ERROR_FILE_NOT_FOUND;
  // The legacy family deletes the whole subtree; on the NT family a key
  // with subkeys stays.
  if (machine->identity().Legacy())
    return registry.DeleteTree(path) ? ERROR_SUCCESS : ERROR_CANTWRITE;
  if (!registry.SubKeys(path).empty()) return ERROR_ACCESS_DENIED;
  return registry.DeleteKey(path) ? ERROR_SUCCESS : ERROR_CANTWRITE;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
  if (hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_CLASSES_ROOT) return ERROR_SUCCESS;
  auto key = Lookup<RegistryKey>(hKey);
  if (!key || RemoveHandle(hKey) != key) return ERROR_INVALID_HANDLE;
  return ERROR_SUCCESS;
}

}  // extern "C"
