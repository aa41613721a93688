// The host machine's kernel: pool memory, the verifier, synchronisation
// objects, device and driver objects, the object namespace, requests and the
// I/O manager that turns handle operations into requests.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/host_mutex.h"
#include "tower/ntstatus.h"

namespace hk {

using tower::NTSTATUS;

class Faults;
class Kernel;
class Registry;
struct DeviceObject;
struct DriverObject;
struct Irp;

// ---- the verifier -------------------------------------------------------------
// Always on: each rule broken is recorded with a message that names the
// request, the pool tag or the lock, and printed at once.
class Verifier {
 public:
  Verifier();
  void Report(const std::string& message);
  std::vector<std::string> Take();
  size_t Count() const;
  // A spin lock taken while another is held: the pair's order is learnt the
  // first time, and taking them the other way round later is reported.
  void CheckOrder(const char* held, const char* taking);
  // Distinct for every verifier a process makes: a thread's memory of the
  // pairs one verifier has judged is not taken for another's.
  uint64_t serial() const { return serial_; }

 private:
  const uint64_t serial_;
  // Pairs of names already checked, by address, readable without a lock:
  // the hot path of every nested acquisition is a short scan. Slots are
  // filled under mutex_ and published by count_.
  static constexpr size_t kKnownPairs = 64;
  struct KnownPair {
    std::atomic<const char*> held{nullptr};
    std::atomic<const char*> taking{nullptr};
  };
  bool Known(const char* held, const char* taking) const;
  KnownPair known_[kKnownPairs];
  std::atomic<size_t> knownCount_{0};

  mutable std::mutex mutex_;
  std::vector<std::string> violations_;
  std::set<std::pair<std::string, std::string>> orders_;  // (first, then), by name
};

// Per-thread execution context: the interrupt level and the spin locks held,
// innermost last. Plain data, so that each thread's copy needs no
// construction and is reached in one load.
struct ThreadContext {
  static constexpr int kMaxSpinLocks = 16;
  int irql;
  int completionDepth;  // inside a transfer's completion callback
  int spinLockCount;    // may exceed kMaxSpinLocks; the names beyond are not kept
  const char* spinLocks[kMaxSpinLocks];
  // The last nested pairs (one lock held, another taken) this thread had
  // judged, and by which verifier: taking them again asks nobody.
  static constexpr int kJudgedPairs = 4;
  struct JudgedPair {
    uint64_t verifier;
    const char* held;
    const char* taking;
  };
  JudgedPair judged[kJudgedPairs];
  int nextJudged;
};
// Initial-exec: the library is loaded with the program, so each thread's
// context sits at a fixed offset from the thread pointer instead of behind a
// lookup call on every spin lock operation.
// constinit: no dynamic initialisation, so no per-access initialisation check.
extern
    __attribute__((tls_model("initial-exec"))) constinit thread_local ThreadContext g_threadContext;
inline ThreadContext& CurrentThread() { return g_threadContext; }
bool MayBlockNow();

// Runs the enclosed code as a completion callback at raised priority.
class CompletionContext {
 public:
  CompletionContext();
  ~CompletionContext();
  CompletionContext(const CompletionContext&) = delete;
  CompletionContext& operator=(const CompletionContext&) = delete;

 private:
  int savedIrql_;
};

std::string TagName(uint32_t tag);

// ---- synchronisation objects ----------------------------------------------------
// Held only for short stretches by code that never blocks under it, so a
// waiter spins (yielding the processor, which the host's threads share)
// rather than sleeping.
class SpinLock {
 public:
  explicit SpinLock(const char* name) : name_(name) {}
  // Inline: the common case (nothing else held, lock free) is a handful of
  // instructions in the caller; the verifier's work is out of line.
  int Acquire() {
    ThreadContext& t = CurrentThread();
    if (t.spinLockCount > 0) CheckOrderAgainstHeld(name_);
    if (locked_.exchange(true, std::memory_order_acquire)) SpinUntilFree();
    const int previous = t.irql;
    t.irql = 2;
    if (t.spinLockCount < ThreadContext::kMaxSpinLocks) t.spinLocks[t.spinLockCount] = name_;
    ++t.spinLockCount;
    return previous;
  }
  void Release(int previous) {
    ThreadContext& t = CurrentThread();
    const int innermost = t.spinLockCount - 1;
    if (innermost < 0 ||
        (innermost < ThreadContext::kMaxSpinLocks && t.spinLocks[innermost] != name_))
      ReportBadRelease();
    else
      --t.spinLockCount;
    t.irql = previous;
    locked_.store(false, std::memory_order_release);
  }
  const char* name() const { return name_; }

 private:
  // Checks the order of this lock against each one the thread holds.
  void CheckOrderAgainstHeld(const char* taking);
  void SpinUntilFree();
  void ReportBadRelease();

  std::atomic<bool> locked_{false};
  const char* name_;
};

// Holds a spin lock for a scope; the verifier sees it like any other.
class SpinGuard {
 public:
  explicit SpinGuard(SpinLock& lock) : lock_(lock), previous_(lock.Acquire()) {}
  ~SpinGuard() { lock_.Release(previous_); }
  SpinGuard(const SpinGuard&) = delete;
  SpinGuard& operator=(const SpinGuard&) = delete;

 private:
  SpinLock& lock_;
  int previous_;
};

// The driver's wait lock. The Windows one is not recursive (the second
// acquisition on the holding thread waits for ever), so taking it again is
// reported; the host lets it through, so that the test goes on to its end.
class Mutex {
 public:
  explicit Mutex(const char* name) : name_(name) {}
  void Acquire();
  void Release();

 private:
  std::recursive_mutex mutex_;
  const char* name_;
  int depth_ = 0;  // acquisitions by the holding thread (only it touches this)
};

// Freed blocks of one size kept for the next allocation of that size: the
// request objects made and freed on every read need no trip through the
// heap. Under AddressSanitizer it keeps nothing, so that every freed block
// dies at once and a use after its free is caught.
class BlockCache {
 public:
  explicit BlockCache(size_t bytes) : bytes_(bytes) {}
  ~BlockCache();
  BlockCache(const BlockCache&) = delete;
  BlockCache& operator=(const BlockCache&) = delete;
  void* Allocate();
  void Free(void* block);

 private:
  static constexpr size_t kKept = 16;
  const size_t bytes_;
  HostMutex mutex_;
  void* kept_[kKept] = {};
  size_t count_ = 0;
};

// A kernel event: one word holds the signal (bit 0) and the number of
// threads asleep on it (the bits above). Setting it is a single atomic
// operation followed, only when someone sleeps, by a wake-up call that
// touches nothing but the word's address; a waiter that sees the signal may
// therefore free the event at once (an event on the waiter's stack, set from
// a completion, is the common case), as it may on Windows.
class Event {
 public:
  Event(bool autoReset, bool signalled)
      : autoReset_(autoReset), word_(signalled ? kSignalled : 0u) {}
  void Set();
  void Clear();
  // timeout100ns: null = no limit; negative = relative time. Success or timeout.
  NTSTATUS Wait(const int64_t* timeout100ns);
  // The same wait without the verifier's check: for user-mode callers of the
  // I/O manager, which run at no interrupt level. Null deadline = no limit.
  bool WaitUntil(const std::chrono::steady_clock::time_point* deadline);
  bool IsSignalled() const { return (word_.load(std::memory_order_acquire) & kSignalled) != 0; }

 private:
  // Takes the signal if the word last seen holds it; seen is refreshed by
  // each failed attempt.
  bool TakeSignal(uint32_t& seen);
  // The word's bit 0 is the signal; the bits above count sleepers.
  static constexpr uint32_t kSignalled = 1;
  static constexpr uint32_t kSleeper = 2;
  const bool autoReset_;
  std::atomic<uint32_t> word_;
};

// ---- requests -------------------------------------------------------------------
enum class IrpMajor : uint8_t {
  Create,
  Close,
  Read,
  Write,
  DeviceControl,
  InternalDeviceControl,
  Cleanup,
  Power,
  Pnp,
  Other,
};
const char* MajorName(IrpMajor major);

struct FileObject {
  uint64_t id = 0;
  DeviceObject* device = nullptr;  // the device opened (top of its stack)
  bool cleanedUp = false;
};

// A completion routine, as Windows sets one: a function and its context,
// called directly. It may stop the completion (returns false: "more
// processing required"), taking the request back.
struct CompletionRoutine {
  bool (*routine)(Irp* irp, void* context);
  void* context;
};
using CancelRoutine = void (*)(Irp*);

struct Irp {
  uint64_t id = 0;
  IrpMajor major = IrpMajor::Other;
  uint8_t minor = 0;
  FileObject* file = nullptr;

  void* dataBuffer = nullptr;  // reads and writes: the caller's buffer in place
  uint32_t dataLength = 0;
  uint32_t ioctl = 0;
  void* systemBuffer = nullptr;  // buffered control: one buffer for input and output
  uint32_t inputLength = 0;
  uint32_t outputLength = 0;
  void* internalArgument = nullptr;  // internal control: the argument block

  uint8_t powerType = 0;  // 0 system, 1 device
  uint32_t powerState = 0;
  uint16_t capsVersion = 0;
  uint32_t capsFlags = 0;

  NTSTATUS status = tower::STATUS_PENDING;
  uintptr_t information = 0;

  std::vector<CompletionRoutine> completionRoutines;
  // The issuer learns of the final completion.
  void (*onFinished)(Irp* irp, void* context) = nullptr;
  void* onFinishedContext = nullptr;
  bool finished = false;
  uint64_t finishOrder = 0;  // the kernel-wide sequence number of the final completion

  std::atomic<int> cancelRefs{0};  // cancellations in progress keep the request alive
  // Cancellation as Windows does it, by exchange rather than under a lock:
  // the canceller sets the flag and then takes the routine; whoever sets a
  // routine looks at the flag afterwards and takes the routine back if it
  // was cancelled meanwhile. Exactly one of them, or neither, ends up with
  // the routine. The context is written before the routine is published.
  std::atomic<bool> cancelled{false};
  std::atomic<CancelRoutine> cancelRoutine{nullptr};
  void* cancelContext = nullptr;
  void* queueLinks = nullptr;  // owned by the hold queue while held
  // Words kept by the driver that allocated the request and sends it down,
  // for its completion routine. Unlike Windows' driver context, which
  // belongs to whichever driver holds the request, no driver below ever
  // uses these.
  void* driverContext[2] = {};

  // The kernel's list of requests allocated and not yet freed (under its
  // request lock): the request carries its own links.
  Irp* livePrev = nullptr;
  Irp* liveNext = nullptr;
  // The handle a cancel by handle (CancelIo) matches, set under the request
  // lock once the issuer has filled the request in: a request is on the
  // list from its allocation on, while its issuer still writes its fields.
  FileObject* issuedFile = nullptr;

  std::string Describe() const;
};

// ---- devices and drivers --------------------------------------------------------
using DispatchFn = NTSTATUS (*)(DeviceObject*, Irp*);
using AddDeviceFn = NTSTATUS (*)(DriverObject*, DeviceObject*);
using UnloadFn = void (*)(DriverObject*);

struct DriverObject {
  std::string name;
  Kernel* kernel = nullptr;
  void* context = nullptr;  // the driver's own state
  DispatchFn dispatch = nullptr;
  AddDeviceFn addDevice = nullptr;
  UnloadFn unload = nullptr;
  DeviceObject* devices = nullptr;  // newest first
};

struct DeviceObject {
  uint64_t id = 0;
  std::u16string name;
  DriverObject* driver = nullptr;
  uint32_t type = 0;
  uint32_t characteristics = 0;
  bool exclusive = false;
  bool directIo = false;
  std::atomic<bool> initialising{true};
  std::vector<uint8_t> extension;
  DeviceObject* attachedTo = nullptr;     // the device below
  DeviceObject* attachedAbove = nullptr;  // the device above
  DeviceObject* nextInDriver = nullptr;
  std::string instanceId;  // physical devices: the device instance
  int openFiles = 0;       // file objects on this stack, opens in progress included
  bool removing = false;   // the removal has begun: no new opens reach the driver
  bool offBus = false;     // physical devices: unplugged; nothing attaches to it any more
  std::atomic<bool> deleted{false};
};

struct DeviceInterface {
  std::u16string link;               // \??\usb#vid_0f5c&pid_0001#...#{guid}
  DeviceObject* physical = nullptr;  // null once the device is gone
  std::string instanceId;            // the device instance it belongs to
  std::string classGuid;             // lower case, braced
  bool enabled = false;
};

// ---- the kernel -----------------------------------------------------------------
class Kernel {
 public:
  Kernel();
  ~Kernel();
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  // The kernel the platform calls of this process reach.
  static Kernel& Current();

  Verifier& verifier() { return verifier_; }
  // The one registry store that the kernel's and user mode's views share.
  Registry& registry() { return *registry_; }
  void SetRegistry(Registry* registry) { registry_ = registry; }
  // The machine's fault facility (host/faults), which the kernel's own
  // calls and the devices of the host's stacks ask before they act.
  Faults& faults() { return *faults_; }
  void SetFaults(Faults* faults) { faults_ = faults; }
  // The code to fail this call of a site with, when a fault is armed for it
  // (counted as a hit); nothing otherwise, or without a facility.
  std::optional<uint32_t> Injected(std::string_view site, std::string_view subject = {});

  // The registry as a driver's Zw calls reach it, by store path: a key
  // opened (ZwOpenKey) or created when missing (ZwCreateKey), and a value
  // read (ZwQueryValueKey). Each may be made to fail through the facility.
  NTSTATUS OpenKey(const std::string& path, bool create);
  NTSTATUS QueryValue(const std::string& path, const std::string& name, uint32_t* type,
                      std::vector<uint8_t>* data);

  // Pool memory with tags and failure injection.
  void* PoolAllocate(size_t bytes, uint32_t tag);
  void PoolFree(void* block);
  size_t PoolBytes(uint32_t tag) const;
  size_t PoolBlocks(uint32_t tag) const;
  // Fail the n-th allocation from now (1 = the next one); 0 turns it off.
  void FailNthAllocation(uint64_t n);
  // Fail every allocation with this tag; 0 turns it off.
  void FailTag(uint32_t tag);
  // Fail the n-th driver allocation from now, pool blocks and driver request
  // packets counted together (1 = the next); 0 turns it off.
  void FailNthDriverAllocation(uint64_t n);
  // Allocations failed by injection so far, of every kind.
  uint64_t InjectedFailures() const;
  // Reports every block of the tag still allocated (at driver unload).
  void CheckPoolEmpty(uint32_t tag, const std::string& who);

  // Drivers and devices.
  DriverObject* CreateDriver(const std::string& name);
  void DeleteDriver(DriverObject* driver);
  NTSTATUS CreateDevice(DriverObject* driver, const std::u16string& name, uint32_t type,
                        uint32_t characteristics, bool exclusive, bool directIo,
                        size_t extensionBytes, DeviceObject** out);
  void DeleteDevice(DeviceObject* device);
  DeviceObject* Attach(DeviceObject* self, DeviceObject* target);
  // A physical device leaves its bus: from then on every attach to it is
  // refused. True when a driver was attached before, which must then see
  // the device's removal; false when none was, nor can be any more.
  bool LeaveBus(DeviceObject* physical);
  // The next attach is refused, as Windows refuses one to a device stack
  // whose device is being removed (a removal racing the add): one failure
  // of the facility's IoAttachDeviceToDeviceStack.
  void FailNextAttach();
  void Detach(DeviceObject* lower);
  DeviceObject* TopOfStack(DeviceObject* device);
  // The driver's device list, newest first, read under the objects lock.
  DeviceObject* FirstDevice(DriverObject* driver);
  DeviceObject* NextDevice(DeviceObject* device);

  // The object namespace: \Device\..., and links under \??\ (\DosDevices\ is the same directory).
  NTSTATUS CreateLink(const std::u16string& link, const std::u16string& target);
  NTSTATUS DeleteLink(const std::u16string& link);
  bool LinkExists(const std::u16string& link) const;
  DeviceObject* Resolve(const std::u16string& path) const;

  // Device interfaces.
  NTSTATUS RegisterInterface(DeviceObject* physical, const std::string& classGuid,
                             std::u16string* link);
  NTSTATUS SetInterfaceState(const std::u16string& link, bool enable);
  // The interfaces of one class ("{guid}", lower case), or of every class
  // when classGuid is empty, in the order they were first registered.
  std::vector<DeviceInterface> Interfaces(const std::string& classGuid, bool enabledOnly) const;

  // Requests.
  Irp* AllocateIrp();
  // A request packet a driver allocates for itself; null when injected to fail.
  Irp* AllocateDriverIrp();
  // Fail the n-th driver request allocation from now (1 = the next); 0 = off.
  void FailNthDriverIrp(uint64_t n);
  void FreeIrp(Irp* irp);
  // Calls the driver of the device with the request.
  NTSTATUS CallDriver(DeviceObject* device, Irp* irp);
  void CompleteIrp(Irp* irp, NTSTATUS status, uintptr_t information);
  void CancelIrp(Irp* irp);
  // Requests issued and not yet completed.
  std::vector<std::string> LiveRequests() const;

  // A completion callback that sets an event pauses this long right after
  // the set, as a preempted processor would: whoever the event wakes runs
  // ahead of the rest of the callback. Zero turns it off.
  void SetPauseAfterCompletionEvent(std::chrono::milliseconds pause);
  void PauseAfterCompletionEvent();

  // The driver's clock runs this many times faster than the host's: its
  // reading of the time is multiplied and its relative waits divided, so
  // that a limit of 200 ms runs out after 2 ms at 100 and every limit keeps
  // its order with the others. A fuzzer pays for each limit a hostile
  // device lets run out; 1 (the default) is real time.
  void SetClockSpeed(uint32_t times);
  uint32_t ClockSpeed() const { return clockSpeed_.load(std::memory_order_relaxed); }
  // A relative wait in 100 ns units (negative, as the driver gives it) as it
  // runs on the host's clock: never shortened to nothing, so that a wait
  // stays a wait.
  int64_t HostWait(int64_t relative100ns) const;

 private:
  friend class IoManager;
  Verifier verifier_;
  Registry* registry_ = nullptr;
  Faults* faults_ = nullptr;

  mutable std::mutex poolMutex_;
  struct Block {
    uint32_t tag;
    size_t bytes;
  };
  std::map<void*, Block> blocks_;
  std::atomic<uint32_t> clockSpeed_{1};
  uint64_t failCountdown_ = 0;
  uint64_t failIrpCountdown_ = 0;
  uint32_t failTag_ = 0;
  uint64_t failAnyCountdown_ = 0;
  uint64_t injected_ = 0;
  std::atomic<int64_t> completionEventPauseMs_{0};

  mutable std::mutex objectsMutex_;
  std::vector<std::unique_ptr<DriverObject>> drivers_;
  std::vector<std::unique_ptr<DeviceObject>> devices_;
  std::vector<std::unique_ptr<DeviceObject>> deletedDevices_;  // kept so late pointers stay valid
  std::map<std::u16string, std::u16string> links_;             // upper-cased link -> target
  std::vector<DeviceInterface> interfaces_;
  uint64_t nextDeviceId_ = 1;

  mutable HostMutex irpMutex_;
  Irp* liveIrps_ = nullptr;  // newest first, linked through the requests
  BlockCache irpBlocks_{sizeof(Irp)};
  std::atomic<uint64_t> nextIrpId_{1};
  std::atomic<uint64_t> finishCounter_{0};
};

std::u16string Upper(const std::u16string& text);
std::u16string ToU16(const std::string& text);
std::string ToU8(const std::u16string& text);

}  // namespace hk
