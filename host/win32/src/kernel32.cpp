// The thread's last error, the handle table, the status translation and the
// string helpers of the Win32 subset.
#include <map>
#include <mutex>

#include "handles.h"
#include "kernel/machine.h"
#include "tower/ntstatus.h"

namespace win32host {

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

// Statuses the kernel's own object manager uses besides the driver's.
constexpr NTSTATUS kStatusInvalidHandle = static_cast<NTSTATUS>(0xC0000008u);

struct Translation {
  NTSTATUS status;
  DWORD error;
};

// What Windows' RtlNtStatusToDosError gives for every status a tower request
// can end with: the driver's own, the USB stack's and the I/O manager's.
constexpr Translation kTranslations[] = {
    {tower::STATUS_SUCCESS, ERROR_SUCCESS},
    // A success-class status: the calls that get it return TRUE and leave the
    // last error alone; the translation is there for completeness.
    {tower::STATUS_TIMEOUT, ERROR_TIMEOUT},
    {tower::STATUS_PENDING, ERROR_IO_PENDING},
    {tower::STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
    {tower::STATUS_DEVICE_BUSY, ERROR_BUSY},
    {tower::STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
    {kStatusInvalidHandle, ERROR_INVALID_HANDLE},
    {tower::STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {tower::STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
    {tower::STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
    {tower::STATUS_MORE_PROCESSING_REQUIRED, ERROR_MORE_DATA},
    {tower::STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {tower::STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {tower::STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
    {tower::STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
    {tower::STATUS_OBJECT_NAME_COLLISION, ERROR_ALREADY_EXISTS},
    {tower::STATUS_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
    {tower::STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
    {tower::STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
    {tower::STATUS_DEVICE_DATA_ERROR, ERROR_CRC},
    {tower::STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
    {tower::STATUS_DEVICE_NOT_READY, ERROR_NOT_READY},
    {tower::STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
    {tower::STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
    {tower::STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
};

struct HandleTable {
  hk::HostMutex mutex;
  std::map<uintptr_t, std::shared_ptr<Object>> objects;
  uintptr_t next = 0x40;
};

HandleTable& Table() {
  static HandleTable table;
  return table;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<Object> object) {
  HandleTable& table = Table();
  std::lock_guard<hk::HostMutex> lock(table.mutex);
  const uintptr_t value = table.next;
  table.next += 4;
  table.objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> LookupHandle(HANDLE handle) {
  HandleTable& table = Table();
  std::lock_guard<hk::HostMutex> lock(table.mutex);
  auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
  return it == table.objects.end() ? nullptr : it->second;
}

std::shared_ptr<Object> RemoveHandle(HANDLE handle) {
  HandleTable& table = Table();
  std::lock_guard<hk::HostMutex> lock(table.mutex);
  auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
  if (it == table.objects.end()) return nullptr;
  std::shared_ptr<Object> object = std::move(it->second);
  table.objects.erase(it);
  return object;
}

hk::Machine* CurrentMachine() { return hk::Machine::CurrentOrNull(); }

std::optional<uint32_t> Injected(const char* site, std::string_view subject) {
  hk::Machine* machine = CurrentMachine();
  if (machine == nullptr) return std::nullopt;
  return machine->faults().Check(site, subject);
}

bool AnyFaultArmed() {
  hk::Machine* machine = CurrentMachine();
  return machine != nullptr && machine->faults().AnyArmed();
}

void SetLastNtError(NTSTATUS status) { lastError = RtlNtStatusToDosError(status); }

}  // namespace win32host

extern "C" {

DWORD WINAPI GetLastError(void) { return win32host::lastError; }

void WINAPI SetLastError(DWORD dwErrCode) { win32host::lastError = dwErrCode; }

ULONG NTAPI RtlNtStatusToDosError(NTSTATUS Status) {
  for (const auto& t : win32host::kTranslations)
    if (t.status == Status) return t.error;
  // Windows' answer for a status it has no translation of.
  return ERROR_MR_MID_NOT_FOUND;
}

LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength) {
  // Windows catches the fault of a bad pointer and returns null.
  if (lpString1 == nullptr || lpString2 == nullptr) return nullptr;
  LPSTR d = lpString1;
  LPCSTR s = lpString2;
  unsigned count = static_cast<unsigned>(iMaxLength);
  while (count > 1 && *s != '\0') {
    --count;
    *d++ = *s++;
  }
  if (count != 0) *d = '\0';
  return lpString1;
}

}  // extern "C"
