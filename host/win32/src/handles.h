// The process's handle table: what a HANDLE (or an HDEVINFO) names on the
// host. Values are multiples of 4 as on Windows and are never given out twice,
// so a closed handle stays invalid instead of naming a later object.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "win32/windows.h"

namespace hk {
class Machine;
}

namespace win32host {

// What the read and write paths must tell apart on every call, known
// without a cast through the type information.
enum class ObjectKind { kOther, kDiskFile, kDeviceFile };

class Object {
 public:
  explicit Object(ObjectKind kind = ObjectKind::kOther) : kind_(kind) {}
  virtual ~Object() = default;
  ObjectKind kind() const { return kind_; }
  // Whether CloseHandle takes this kind of object (a device-information set
  // has a call of its own), and what closing does beyond dropping the handle.
  virtual bool ClosedByCloseHandle() const { return false; }
  virtual void OnClose() {}

 private:
  const ObjectKind kind_;
};

HANDLE InsertHandle(std::shared_ptr<Object> object);
// The object a handle names, or null for a value that names none (the last
// error is left alone).
std::shared_ptr<Object> LookupHandle(HANDLE handle);
// Takes the object out of the table; null when the value names none.
std::shared_ptr<Object> RemoveHandle(HANDLE handle);

template <typename T>
std::shared_ptr<T> Lookup(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

// The machine the calls reach: the one running in this process, or null.
hk::Machine* CurrentMachine();

// The code the machine's fault facility has armed for this call of a site
// (host/faults/faults.h), counted as a hit; nothing otherwise, or without a
// machine.
std::optional<uint32_t> Injected(const char* site, std::string_view subject = {});
// Whether any fault is armed at all: a site whose subject costs something
// to name asks this first.
bool AnyFaultArmed();

// Sets the thread's last error to the translation of a failing status.
void SetLastNtError(NTSTATUS status);

}  // namespace win32host
