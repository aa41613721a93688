// Registry keys from user mode: opening a key below HKEY_LOCAL_MACHINE and
// deleting a key below it (the whole subtree on the legacy family, only a
// key without subkeys on NT).
#include <string>

#include "handles.h"
#include "kernel/machine.h"

namespace win32host {
namespace {

class RegistryKey final : public Object {
 public:
  explicit RegistryKey(std::string p) : path(std::move(p)) {}
  std::string path;  // in the store's names: "Machine\..."
};

// The store's path of a key given as a root or open key and a subkey.
bool KeyPath(HKEY key, LPCSTR subKey, std::string* path) {
  if (key == HKEY_LOCAL_MACHINE) {
    *path = "Machine";
  } else if (auto open = Lookup<RegistryKey>(reinterpret_cast<HANDLE>(key))) {
    *path = open->path;
  } else {
    return false;
  }
  if (subKey != nullptr && *subKey != '\0') *path += std::string("\\") + subKey;
  return true;
}

}  // namespace
}  // namespace win32host

using namespace win32host;

extern "C" {

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult) {
  (void)ulOptions;
  (void)samDesired;  // the machine has one user, who may do everything
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  hk::Machine* machine = CurrentMachine();
  std::string path;
  if (!KeyPath(hKey, lpSubKey, &path)) return ERROR_INVALID_HANDLE;
  if (machine == nullptr || !machine->registry().KeyExists(path)) return ERROR_FILE_NOT_FOUND;
  *phkResult = static_cast<HKEY>(InsertHandle(std::make_shared<RegistryKey>(path)));
  return ERROR_SUCCESS;
}

LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  hk::Machine* machine = CurrentMachine();
  std::string path;
  if (lpSubKey == nullptr || *lpSubKey == '\0') return ERROR_INVALID_PARAMETER;
  if (!KeyPath(hKey, lpSubKey, &path)) return ERROR_INVALID_HANDLE;
  if (machine == nullptr || !machine->registry().KeyExists(path)) return ERROR_FILE_NOT_FOUND;
  if (machine->identity().Legacy())
    return machine->registry().DeleteTree(path) ? 0 : ERROR_ACCESS_DENIED;
  if (!machine->registry().SubKeys(path).empty()) return ERROR_ACCESS_DENIED;
  return machine->registry().DeleteKey(path) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
  const HANDLE handle = reinterpret_cast<HANDLE>(hKey);
  if (!Lookup<RegistryKey>(handle)) return ERROR_INVALID_HANDLE;
  RemoveHandle(handle);
  return ERROR_SUCCESS;
}

}  // extern "C"
