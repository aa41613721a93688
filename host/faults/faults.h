// The host machine's fault facility: one place where a test makes a named
// call of the simulated PC fail the way Windows would let it fail, instead
// of a knob per case.
//
// A site is a call the machine serves, named as Windows names it
// ("RegSetValueExA", "ZwCreateKey", "IOCTL_INTERNAL_USB_CYCLE_PORT", ...;
// the list is in namespace hk::fault below). Each time the call runs it asks
// the facility whether to fail, giving its subject: the key, value, path,
// device instance or module it is about. A test arms an entry for a site:
// the code the call fails with (a Win32 error, an NTSTATUS or a CONFIGRET,
// as the site returns it), how many times (once, N times, or until
// cleared), optionally only for one subject, optionally after letting the
// first K matching calls through. Every injected failure is counted, per
// entry and per site, so that a test can assert that its fault was hit.
//
// Thread-safe: the sites are reached from any thread. With nothing armed a
// check is one atomic load.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hk {

// The sites, with the subject each one gives and how it fails.
namespace fault {
// ---- registry, user mode (advapi32). Subject: the key's store path
// ("Machine\SYSTEM\CurrentControlSet\Services\QIROUSBTower\Parameters"); for
// the value calls the key's path, a backslash and the value's name. Fails
// with the code as the call's result (a Win32 error).
inline constexpr char kRegCreateKeyA[] = "RegCreateKeyA";
inline constexpr char kRegOpenKeyExA[] = "RegOpenKeyExA";
inline constexpr char kRegQueryValueExA[] = "RegQueryValueExA";
inline constexpr char kRegSetValueExA[] = "RegSetValueExA";
inline constexpr char kRegDeleteKeyA[] = "RegDeleteKeyA";
// ---- registry, kernel side (a driver's key opens and value reads). Subject:
// the key's store path; for ZwQueryValueKey the key's path, a backslash and
// the value's name. Fails with the code as the NTSTATUS of the open
// (ZwOpenKey: without creating; ZwCreateKey: creating when missing) or of
// the value's query.
inline constexpr char kZwOpenKey[] = "ZwOpenKey";
inline constexpr char kZwCreateKey[] = "ZwCreateKey";
inline constexpr char kZwQueryValueKey[] = "ZwQueryValueKey";
// ---- kernel objects. IoAttachDeviceToDeviceStack: no subject, the attach
// is refused (the code is not seen). ExAllocatePoolWithTag: subject the tag
// as four characters ("Twr "), the allocation gives null. IoAllocateIrp: a
// driver's request packet, no subject, null.
inline constexpr char kIoAttachDeviceToDeviceStack[] = "IoAttachDeviceToDeviceStack";
inline constexpr char kExAllocatePoolWithTag[] = "ExAllocatePoolWithTag";
inline constexpr char kIoAllocateIrp[] = "IoAllocateIrp";
// IoRegisterDeviceInterface: subject the physical device's instance id; the
// registration fails with the code (an NTSTATUS) and names no interface.
inline constexpr char kIoRegisterDeviceInterface[] = "IoRegisterDeviceInterface";
// ---- the USB stack below a function driver. Subject: the device's
// instance id. The port cycle completes with the code (an NTSTATUS) and
// cycles nothing. The selection of a configuration (subject: the instance
// id, a backslash and the configuration value, "...\1"; 0 deconfigures)
// completes with the code and USBD_STATUS_STALL_PID and selects nothing.
inline constexpr char kCyclePort[] = "IOCTL_INTERNAL_USB_CYCLE_PORT";
inline constexpr char kSelectConfiguration[] = "URB_FUNCTION_SELECT_CONFIGURATION";
// The stack's own part of a start or of a capabilities query (subject: the
// instance id) completes with the code (an NTSTATUS): the device is not
// started, or no capability is filled in.
inline constexpr char kStartDevice[] = "IRP_MN_START_DEVICE";
inline constexpr char kQueryCapabilities[] = "IRP_MN_QUERY_CAPABILITIES";
// ---- the USB topology's own devices. Subject: the host controller's link
// ("\\.\HCD0") or the hub's instance id. The request completes with the code
// (an NTSTATUS), which user mode sees translated.
inline constexpr char kGetHcdDriverKeyName[] = "IOCTL_GET_HCD_DRIVERKEY_NAME";
inline constexpr char kGetNodeInformation[] = "IOCTL_USB_GET_NODE_INFORMATION";
// ---- the configuration manager (cfgmgr32). Subject: the node's instance
// id (the root's is "HTREE\ROOT\0"). Fails with the code as the CONFIGRET.
inline constexpr char kCmReenumerateDevNode[] = "CM_Reenumerate_DevNode";
// CM_Locate_DevNodeA: subject the id asked for (the root's when none is
// given); nothing is located. CM_Get_DevNode_Registry_PropertyA: subject the
// node's instance id; nothing is copied.
inline constexpr char kCmLocateDevNodeA[] = "CM_Locate_DevNodeA";
inline constexpr char kCmGetDevNodeRegistryPropertyA[] = "CM_Get_DevNode_Registry_PropertyA";
// ---- kernel32 and setupapi. Each fails with the code as the last error.
// GetVersionExA: no subject. GetShortPathNameA and MoveFileExA: the path
// given (the existing file's, for a move). SetupDiRemoveDevice: the
// device's instance id. CreateThread: the file name of the module whose
// function the thread would run ("Celvane.dll").
inline constexpr char kGetVersionExA[] = "GetVersionExA";
inline constexpr char kGetShortPathNameA[] = "GetShortPathNameA";
inline constexpr char kMoveFileExA[] = "MoveFileExA";
inline constexpr char kSetupDiRemoveDevice[] = "SetupDiRemoveDevice";
inline constexpr char kCreateThread[] = "CreateThread";
// PostThreadMessageA: subject the message number in decimal ("33025"); the
// message is not queued. CreateEventA, SetEvent and ResetEvent: subject the
// file name of the calling module ("Celvane.dll"); no event is made (null),
// or the event is left as it was.
inline constexpr char kPostThreadMessageA[] = "PostThreadMessageA";
inline constexpr char kCreateEventA[] = "CreateEventA";
inline constexpr char kSetEvent[] = "SetEvent";
inline constexpr char kResetEvent[] = "ResetEvent";
// SetupDiGetClassDevsA: subject the class GUID asked for, in braces (empty
// for a set of every class); INVALID_HANDLE_VALUE. SetupDiOpenDevRegKey and
// SetupDiGetDeviceRegistryPropertyA: the element's instance id; no key (or
// nothing copied, no size given). SetupOpenInfFileA: the file name given;
// INVALID_HANDLE_VALUE.
inline constexpr char kSetupDiGetClassDevsA[] = "SetupDiGetClassDevsA";
inline constexpr char kSetupDiOpenDevRegKey[] = "SetupDiOpenDevRegKey";
inline constexpr char kSetupDiGetDeviceRegistryPropertyA[] = "SetupDiGetDeviceRegistryPropertyA";
inline constexpr char kSetupOpenInfFileA[] = "SetupOpenInfFileA";
// GetWindowsDirectoryA: no subject; 0 and nothing copied. DeleteFileA and
// MoveFileA: the path given (the existing file's, for a move); the file
// stays as it was. (MoveFileExA above covers its every form, at once or
// until reboot.)
inline constexpr char kGetWindowsDirectoryA[] = "GetWindowsDirectoryA";
inline constexpr char kDeleteFileA[] = "DeleteFileA";
inline constexpr char kMoveFileA[] = "MoveFileA";
// ---- user32. LoadStringA: subject the module's file name, a backslash and
// the string's id in decimal ("Tavrix.dll\4200"); 0 and an empty buffer, the
// code as the last error, as for a string the module does not have.
inline constexpr char kLoadStringA[] = "LoadStringA";
// ---- the C runtime's allocations a deliverable makes. Subject: the file
// name of the calling module ("Tavrix.dll"). The allocation gives null and
// errno is ENOMEM; the code is not seen ("new" is the non-throwing form).
inline constexpr char kMalloc[] = "malloc";
inline constexpr char kCalloc[] = "calloc";
inline constexpr char kRealloc[] = "realloc";
inline constexpr char kNew[] = "new";
}  // namespace fault

class Faults {
 public:
  // What an entry fails, and how often.
  struct Rule {
    // The code the call fails with, in the site's own terms (a Win32 error,
    // an NTSTATUS or a CONFIGRET).
    uint32_t code = 0;
    // Failures before the entry is spent; 0: every matching call until the
    // entry is cleared.
    uint64_t times = 1;
    // Matching calls let through before the first failure.
    uint64_t skip = 0;
    // Empty: every call of the site. Otherwise the call's subject must be
    // this (letters compared without case) or end with a backslash followed
    // by this: "Parameters", "QIROUSBTower\Parameters" and
    // "Parameters\IRRange" all name trailing parts of a path.
    std::string match;
  };

  // One armed entry, as its arming call hands it back.
  class Entry {
   public:
    // Calls failed by this entry so far.
    uint64_t Hits() const { return hits_.load(); }
    // Matching calls seen, the let-through ones included.
    uint64_t Seen() const { return seen_.load(); }
    // Failed as often as it was armed to, or cleared.
    bool Spent() const { return spent_.load(); }

   private:
    friend class Faults;
    Entry(std::string site, Rule rule) : site_(std::move(site)), rule_(std::move(rule)) {}
    const std::string site_;
    const Rule rule_;
    std::atomic<uint64_t> hits_{0};
    std::atomic<uint64_t> seen_{0};
    std::atomic<bool> spent_{false};
  };
  using Handle = std::shared_ptr<const Entry>;

  Faults() = default;
  Faults(const Faults&) = delete;
  Faults& operator=(const Faults&) = delete;

  // Arms an entry for a site. Entries of one site are asked in the order
  // they were armed; the first that matches the call decides it.
  Handle Arm(const std::string& site, Rule rule);
  // The common forms.
  Handle Once(const std::string& site, uint32_t code, std::string match = {});
  Handle Times(const std::string& site, uint64_t times, uint32_t code, std::string match = {});
  Handle Always(const std::string& site, uint32_t code, std::string match = {});
  // Lets the first `skip` matching calls through, then fails the next one.
  Handle After(const std::string& site, uint64_t skip, uint32_t code, std::string match = {});

  // Disarms one entry (its hits stay counted), every entry of a site, or all.
  void Clear(const Handle& entry);
  void Clear(const std::string& site);
  void ClearAll();

  // Calls failed by injection at a site so far, over every entry armed
  // there, cleared ones included; and at all sites.
  uint64_t Hits(std::string_view site) const;
  uint64_t TotalHits() const;
  // Whether any entry is armed at all (a site with a costly subject asks
  // this first).
  bool AnyArmed() const { return armed_.load(std::memory_order_acquire) != 0; }

  // For the sites: the code to fail this call with, when an armed entry
  // matches it (the failure is counted then); nothing otherwise.
  std::optional<uint32_t> Check(std::string_view site, std::string_view subject = {});

  // Whether a subject matches an entry's match string (the rule above).
  static bool Matches(std::string_view match, std::string_view subject);

 private:
  mutable std::mutex mutex_;
  std::atomic<size_t> armed_{0};  // entries armed and not spent
  std::map<std::string, std::vector<std::shared_ptr<Entry>>, std::less<>> entries_;
  std::map<std::string, uint64_t, std::less<>> siteHits_;
  uint64_t totalHits_ = 0;

  // Under mutex_.
  void Retire(Entry& entry);
};

}  // namespace hk
