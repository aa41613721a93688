#include "kernel/kernel.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <thread>

#include "faults/faults.h"
#include "registry/registry.h"

namespace hk {

using namespace tower;

// ---- verifier -------------------------------------------------------------------

void Verifier::Report(const std::string& message) {
  std::fprintf(stderr, "verifier: %s\n", message.c_str());
  std::lock_guard<std::mutex> lock(mutex_);
  violations_.push_back(message);
}

std::vector<std::string> Verifier::Take() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  out.swap(violations_);
  return out;
}

namespace {
std::atomic<uint64_t> g_verifierSerial{0};
}  // namespace

// Serial numbers start at 1: a thread's empty memory (0) matches no verifier.
Verifier::Verifier() : serial_(g_verifierSerial.fetch_add(1) + 1) {}

bool Verifier::Known(const char* held, const char* taking) const {
  const size_t count = knownCount_.load(std::memory_order_acquire);
  for (size_t i = 0; i < count; ++i)
    if (known_[i].held.load(std::memory_order_relaxed) == held &&
        known_[i].taking.load(std::memory_order_relaxed) == taking)
      return true;
  return false;
}

void Verifier::CheckOrder(const char* held, const char* taking) {
  // Each pair is judged once, by name, under the lock; afterwards its
  // addresses answer at once. A pair against the order is remembered too,
  // so that it is reported once rather than on every acquisition.
  if (Known(held, taking)) return;
  std::string message;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Known(held, taking)) return;
    if (orders_.count({taking, held}) != 0)
      message = std::string("spin lock ") + taking + " taken while " + held +
                " is held, against the order seen before (" + taking + " first)";
    else
      orders_.insert({held, taking});
    const size_t count = knownCount_.load(std::memory_order_relaxed);
    if (count < kKnownPairs) {
      known_[count].held.store(held, std::memory_order_relaxed);
      known_[count].taking.store(taking, std::memory_order_relaxed);
      knownCount_.store(count + 1, std::memory_order_release);
    }
  }
  if (!message.empty()) Report(message);
}

size_t Verifier::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return violations_.size();
}

__attribute__((tls_model("initial-exec"))) constinit thread_local ThreadContext g_threadContext{};

bool MayBlockNow() {
  const ThreadContext& t = CurrentThread();
  return t.irql < 2 && t.completionDepth == 0;
}

CompletionContext::CompletionContext() {
  ThreadContext& t = CurrentThread();
  savedIrql_ = t.irql;
  t.irql = 2;
  ++t.completionDepth;
}

CompletionContext::~CompletionContext() {
  ThreadContext& t = CurrentThread();
  --t.completionDepth;
  t.irql = savedIrql_;
}

std::string TagName(uint32_t tag) {
  std::string name;
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    name += (c >= 32 && c < 127) ? c : '?';
  }
  return "'" + name + "'";
}

namespace {

// A blocking wait is allowed only below dispatch level and outside completion
// callbacks; the message names what forbids it. Out of line and apart from
// the test every wait makes (below), which stays a few instructions.
[[gnu::noinline, gnu::cold]] void ReportMayNotBlock(const char* what, const char* name) {
  const ThreadContext& t = CurrentThread();
  std::string message = std::string("blocking wait on ") + what + name;
  if (t.spinLockCount > 0) {
    const int innermost = std::min(t.spinLockCount, ThreadContext::kMaxSpinLocks) - 1;
    message += std::string(" while spin lock ") + t.spinLocks[innermost] + " is held";
  }
  if (t.completionDepth > 0) message += " inside a completion context";
  if (t.spinLockCount == 0 && t.completionDepth == 0) message += " at raised priority";
  Kernel::Current().verifier().Report(message);
}

void CheckMayBlock(const char* what, const char* name = "") {
  const ThreadContext& t = CurrentThread();
  if (t.irql >= 2 || t.completionDepth != 0) ReportMayNotBlock(what, name);
}

}  // namespace

// ---- synchronisation ------------------------------------------------------------

// Out of line, so that the common acquisition (nothing held, lock free)
// stays a handful of instructions.
void SpinLock::CheckOrderAgainstHeld(const char* taking) {
  ThreadContext& t = CurrentThread();
  Verifier& verifier = Kernel::Current().verifier();
  // One lock held: a pair this thread already had judged needs no second
  // look (a pair's verdict never changes; the reverse pair is another pair).
  const bool single = t.spinLockCount == 1;
  if (single) {
    for (const ThreadContext::JudgedPair& pair : t.judged)
      if (pair.verifier == verifier.serial() && pair.held == t.spinLocks[0] &&
          pair.taking == taking)
        return;
  }
  const int kept = std::min(t.spinLockCount, ThreadContext::kMaxSpinLocks);
  for (int i = 0; i < kept; ++i) verifier.CheckOrder(t.spinLocks[i], taking);
  if (single) {
    t.judged[t.nextJudged] = {verifier.serial(), t.spinLocks[0], taking};
    t.nextJudged = (t.nextJudged + 1) % ThreadContext::kJudgedPairs;
  }
}

void SpinLock::SpinUntilFree() {
  for (int spins = 0; locked_.exchange(true, std::memory_order_acquire); ++spins) {
    // The holder may have lost its processor: let it run.
    if (spins >= 64) std::this_thread::yield();
  }
}

void SpinLock::ReportBadRelease() {
  Kernel::Current().verifier().Report(std::string("spin lock ") + name_ +
                                      " released out of order or not held");
}

void Mutex::Acquire() {
  // The message is put together only when there is something to report.
  CheckMayBlock("mutex ", name_);
  mutex_.lock();
  if (++depth_ > 1)
    Kernel::Current().verifier().Report(std::string("mutex ") + name_ +
                                        " taken again by the thread that holds it");
}

void Mutex::Release() {
  --depth_;
  mutex_.unlock();
}

BlockCache::~BlockCache() {
  for (size_t i = 0; i < count_; ++i) ::operator delete(kept_[i]);
}

void* BlockCache::Allocate() {
#if !defined(HK_ADDRESS_SANITIZER)
  {
    std::lock_guard<HostMutex> lock(mutex_);
    if (count_ > 0) return kept_[--count_];
  }
#endif
  return ::operator new(bytes_);
}

void BlockCache::Free(void* block) {
  if (block == nullptr) return;
#if !defined(HK_ADDRESS_SANITIZER)
  {
    std::lock_guard<HostMutex> lock(mutex_);
    if (count_ < kKept) {
      kept_[count_++] = block;
      return;
    }
  }
#endif
  ::operator delete(block);
}

void Event::Set() {
  // The one access to the event besides the wake-up call below: whoever sees
  // the signal may free the event from here on.
  // Everything it needs is read before it (the release keeps them there).
  uint32_t* const address = FutexWord(word_);
  const int wake = autoReset_ ? 1 : INT_MAX;
  const uint32_t before = word_.fetch_or(kSignalled, std::memory_order_acq_rel);
  if (before >= kSleeper && (before & kSignalled) == 0)
    syscall(SYS_futex, address, FUTEX_WAKE_PRIVATE, wake, nullptr, nullptr, 0);
}

void Event::Clear() { word_.fetch_and(~kSignalled, std::memory_order_acq_rel); }

bool Event::TakeSignal(uint32_t& seen) {
  while ((seen & kSignalled) != 0) {
    // An auto-reset event lets one waiter through per signal.
    if (!autoReset_) return true;
    if (word_.compare_exchange_weak(seen, seen & ~kSignalled, std::memory_order_acq_rel))
      return true;
  }
  return false;
}

bool Event::WaitUntil(const std::chrono::steady_clock::time_point* deadline) {
  // No look at the clock before a sleep: it is until an absolute time,
  // which the system ends at once when that time has passed.
  timespec until{};
  if (deadline != nullptr) {
    // steady_clock is CLOCK_MONOTONIC, the clock an absolute futex wait uses;
    // a time before its start is a time already past.
    const auto since =
        std::max(deadline->time_since_epoch(), std::chrono::steady_clock::duration::zero());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    until.tv_sec = static_cast<time_t>(seconds.count());
    until.tv_nsec = static_cast<long>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
  }
  uint32_t seen = word_.load(std::memory_order_acquire);
  for (;;) {
    if (TakeSignal(seen)) return true;
    // Counted as a sleeper before the last look, so that a Set after it
    // sees the sleeper and wakes it; a Set before it changes the word and
    // the sleep returns at once.
    const uint32_t asleep = word_.fetch_add(kSleeper, std::memory_order_acq_rel) + kSleeper;
    bool timedOut = false;
    if ((asleep & kSignalled) == 0) {
      const long slept =
          syscall(SYS_futex, FutexWord(word_), FUTEX_WAIT_BITSET_PRIVATE, asleep,
                  deadline != nullptr ? &until : nullptr, nullptr, FUTEX_BITSET_MATCH_ANY);
      if (slept == -1 && deadline != nullptr) {
        const int error = errno;
        // The word changed before the sleep (another sleeper came or went)
        // or a signal handler ran: sleep again, unless the time is up by
        // now. Any other refusal ends the wait rather than spin on it.
        timedOut =
            (error != EAGAIN && error != EINTR) || std::chrono::steady_clock::now() >= *deadline;
      }
    }
    seen = word_.fetch_sub(kSleeper, std::memory_order_acq_rel) - kSleeper;
    // A signal that came with the time running out still counts.
    if (timedOut) return TakeSignal(seen);
  }
}

NTSTATUS Event::Wait(const int64_t* timeout100ns) {
  if (timeout100ns == nullptr) {
    CheckMayBlock("an event");
    WaitUntil(nullptr);
    return STATUS_SUCCESS;
  }
  // A zero-length wait only polls, which raised priority allows; it never
  // counts itself a sleeper, so a Set meanwhile makes no wake-up call.
  if (*timeout100ns == 0) {
    uint32_t seen = word_.load(std::memory_order_acquire);
    return TakeSignal(seen) ? STATUS_SUCCESS : STATUS_TIMEOUT;
  }
  CheckMayBlock("an event");
  // Relative times are negative; a positive (absolute) time is taken as
  // relative to now, which the driver never relies on. A wait too long for
  // the clock's range has no limit.
  const uint64_t units = *timeout100ns < 0 ? 0 - static_cast<uint64_t>(*timeout100ns)
                                           : static_cast<uint64_t>(*timeout100ns);
  const auto now = std::chrono::steady_clock::now();
  const uint64_t room =
      static_cast<uint64_t>((std::chrono::steady_clock::time_point::max() - now).count());
  if (units > room / 100) {
    WaitUntil(nullptr);
    return STATUS_SUCCESS;
  }
  const auto deadline = now + std::chrono::nanoseconds(static_cast<int64_t>(units * 100));
  return WaitUntil(&deadline) ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

// ---- requests -------------------------------------------------------------------

const char* MajorName(IrpMajor major) {
  switch (major) {
    case IrpMajor::Create:
      return "create";
    case IrpMajor::Close:
      return "close";
    case IrpMajor::Read:
      return "read";
    case IrpMajor::Write:
      return "write";
    case IrpMajor::DeviceControl:
      return "device control";
    case IrpMajor::InternalDeviceControl:
      return "internal device control";
    case IrpMajor::Cleanup:
      return "cleanup";
    case IrpMajor::Power:
      return "power";
    case IrpMajor::Pnp:
      return "plug and play";
    case IrpMajor::Other:
      break;
  }
  return "other";
}

std::string Irp::Describe() const {
  char text[96];
  std::snprintf(text, sizeof(text), "request #%llu (%s", static_cast<unsigned long long>(id),
                MajorName(major));
  std::string out = text;
  if (major == IrpMajor::DeviceControl || major == IrpMajor::InternalDeviceControl) {
    std::snprintf(text, sizeof(text), " 0x%X", ioctl);
    out += text;
  } else if (major == IrpMajor::Pnp || major == IrpMajor::Power) {
    std::snprintf(text, sizeof(text), " minor 0x%X", minor);
    out += text;
  }
  return out + ")";
}

// ---- the kernel -----------------------------------------------------------------

namespace {
std::atomic<Kernel*> g_current{nullptr};
}

Kernel::Kernel() {
  Kernel* expected = nullptr;
  if (!g_current.compare_exchange_strong(expected, this)) {
    std::fprintf(stderr, "host kernel: only one machine may run in a process at a time\n");
    std::abort();
  }
}

Kernel::~Kernel() {
  while (liveIrps_ != nullptr) {
    Irp* next = liveIrps_->liveNext;
    liveIrps_->~Irp();
    irpBlocks_.Free(liveIrps_);
    liveIrps_ = next;
  }
  for (auto& block : blocks_) std::free(block.first);
  g_current.store(nullptr);
}

Kernel& Kernel::Current() {
  Kernel* kernel = g_current.load();
  if (kernel == nullptr) {
    std::fprintf(stderr, "host kernel: no machine is running\n");
    std::abort();
  }
  return *kernel;
}

void* Kernel::PoolAllocate(size_t bytes, uint32_t tag) {
  const bool refused = faults_ != nullptr && faults_->AnyArmed() &&
                       Injected(fault::kExAllocatePoolWithTag, TagName(tag)).has_value();
  std::lock_guard<std::mutex> lock(poolMutex_);
  if (refused || (failTag_ != 0 && tag == failTag_) ||
      (failCountdown_ != 0 && --failCountdown_ == 0) ||
      (failAnyCountdown_ != 0 && --failAnyCountdown_ == 0)) {
    ++injected_;
    return nullptr;
  }
  void* block = std::malloc(bytes == 0 ? 1 : bytes);
  if (block == nullptr) return nullptr;
  // Fresh pool holds garbage, not zeros: code that forgets to initialise shows it.
  std::memset(block, 0xA5, bytes);
  blocks_[block] = Block{tag, bytes};
  return block;
}

void Kernel::PoolFree(void* block) {
  if (block == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(poolMutex_);
    auto it = blocks_.find(block);
    if (it == blocks_.end()) {
      char text[64];
      std::snprintf(text, sizeof(text), "free of %p, which is not a pool block", block);
      verifier_.Report(text);
      return;
    }
    blocks_.erase(it);
  }
  std::free(block);
}

size_t Kernel::PoolBytes(uint32_t tag) const {
  std::lock_guard<std::mutex> lock(poolMutex_);
  size_t total = 0;
  for (const auto& entry : blocks_)
    if (entry.second.tag == tag) total += entry.second.bytes;
  return total;
}

size_t Kernel::PoolBlocks(uint32_t tag) const {
  std::lock_guard<std::mutex> lock(poolMutex_);
  size_t count = 0;
  for (const auto& entry : blocks_)
    if (entry.second.tag == tag) ++count;
  return count;
}

void Kernel::FailNthAllocation(uint64_t n) {
  std::lock_guard<std::mutex> lock(poolMutex_);
  failCountdown_ = n;
}

void Kernel::FailNthDriverAllocation(uint64_t n) {
  std::lock_guard<std::mutex> lock(poolMutex_);
  failAnyCountdown_ = n;
}

uint64_t Kernel::InjectedFailures() const {
  std::lock_guard<std::mutex> lock(poolMutex_);
  return injected_;
}

void Kernel::SetPauseAfterCompletionEvent(std::chrono::milliseconds pause) {
  completionEventPauseMs_.store(pause.count());
}

void Kernel::PauseAfterCompletionEvent() {
  const int64_t ms = completionEventPauseMs_.load();
  if (ms > 0 && CurrentThread().completionDepth > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void Kernel::SetClockSpeed(uint32_t times) {
  clockSpeed_.store(times > 0 ? times : 1, std::memory_order_relaxed);
}

int64_t Kernel::HostWait(int64_t relative100ns) const {
  const int64_t speed = ClockSpeed();
  if (speed == 1 || relative100ns >= 0) return relative100ns;
  // Negated as unsigned: the most negative value has no positive twin.
  const uint64_t units = 0 - static_cast<uint64_t>(relative100ns);
  const uint64_t onHost =
      units / static_cast<uint64_t>(speed) + (units % static_cast<uint64_t>(speed) != 0 ? 1 : 0);
  return -static_cast<int64_t>(onHost);
}

void Kernel::FailTag(uint32_t tag) {
  std::lock_guard<std::mutex> lock(poolMutex_);
  failTag_ = tag;
}

void Kernel::CheckPoolEmpty(uint32_t tag, const std::string& who) {
  const size_t blocks = PoolBlocks(tag);
  if (blocks == 0) return;
  verifier_.Report(who + " left " + std::to_string(blocks) + " pool block(s), " +
                   std::to_string(PoolBytes(tag)) + " bytes, with tag " + TagName(tag));
}

DriverObject* Kernel::CreateDriver(const std::string& name) {
  std::lock_guard<std::mutex> lock(objectsMutex_);
  auto driver = std::make_unique<DriverObject>();
  driver->name = name;
  driver->kernel = this;
  drivers_.push_back(std::move(driver));
  return drivers_.back().get();
}

void Kernel::DeleteDriver(DriverObject* driver) {
  std::lock_guard<std::mutex> lock(objectsMutex_);
  for (auto it = drivers_.begin(); it != drivers_.end(); ++it)
    if (it->get() == driver) {
      drivers_.erase(it);
      return;
    }
}

NTSTATUS Kernel::CreateDevice(DriverObject* driver, const std::u16string& name, uint32_t type,
                              uint32_t characteristics, bool exclusive, bool directIo,
                              size_t extensionBytes, DeviceObject** out) {
  std::lock_guard<std::mutex> lock(objectsMutex_);
  if (!name.empty()) {
    const std::u16string key = Upper(name);
    for (const auto& d : devices_)
      if (Upper(d->name) == key) return STATUS_OBJECT_NAME_COLLISION;
  }
  auto device = std::make_unique<DeviceObject>();
  device->id = nextDeviceId_++;
  device->name = name;
  device->driver = driver;
  device->type = type;
  device->characteristics = characteristics;
  device->exclusive = exclusive;
  device->directIo = directIo;
  device->extension.assign(extensionBytes, 0);
  device->nextInDriver = driver->devices;
  driver->devices = device.get();
  *out = device.get();
  devices_.push_back(std::move(device));
  return STATUS_SUCCESS;
}

void Kernel::DeleteDevice(DeviceObject* device) {
  std::lock_guard<std::mutex> lock(objectsMutex_);
  DeviceObject** link = &device->driver->devices;
  while (*link != nullptr && *link != device) link = &(*link)->nextInDriver;
  if (*link == device) *link = device->nextInDriver;
  device->deleted = true;
  // The interface stays registered for the device instance; it names no
  // device object until the device is back.
  for (auto& i : interfaces_)
    if (i.physical == device) {
      i.physical = nullptr;
      i.enabled = false;
    }
  for (auto it = devices_.begin(); it != devices_.end(); ++it)
    if (it->get() == device) {
      deletedDevices_.push_back(std::move(*it));
      devices_.erase(it);
      break;
    }
}

DeviceObject* Kernel::Attach(DeviceObject* self, DeviceObject* target) {
  const bool refused = Injected(fault::kIoAttachDeviceToDeviceStack).has_value();
  std::lock_guard<std::mutex> lock(objectsMutex_);
  if (target == nullptr || target->deleted || target->offBus || refused) return nullptr;
  DeviceObject* top = target;
  while (top->attachedAbove != nullptr) top = top->attachedAbove;
  top->attachedAbove = self;
  self->attachedTo = top;
  return top;
}

bool Kernel::LeaveBus(DeviceObject* physical) {
  std::lock_guard<std::mutex> lock(objectsMutex_);
  physical->offBus = true;
  return physical->attachedAbove != nullptr;
}

void Kernel::Detach(DeviceObject* lower) {
  std::lock_guard<std::mutex> lock(objectsMutex_);
  if (lower == nullptr || lower->attachedAbove == nullptr) return;
  lower->attachedAbove->attachedTo = nullptr;
  lower->attachedAbove = nullptr;
}

DeviceObject* Kernel::FirstDevice(DriverObject* driver) {
  std::lock_guard<std::mutex> lock(objectsMutex_);
  return driver->devices;
}

DeviceObject* Kernel::NextDevice(DeviceObject* device) {
  std::lock_guard<std::mutex> lock(objectsMutex_);
  return device->nextInDriver;
}

DeviceObject* Kernel::TopOfStack(DeviceObject* device) {
  std::lock_guard<std::mutex> lock(objectsMutex_);
  while (device->attachedAbove != nullptr) device = device->attachedAbove;
  return device;
}

namespace {

// \DosDevices\ and \??\ name the same directory.
std::u16string CanonicalLink(const std::u16string& link) {
  const std::u16string dos = u"\\DOSDEVICES\\";
  std::u16string upper = Upper(link);
  if (upper.compare(0, dos.size(), dos) == 0) upper = u"\\??\\" + upper.substr(dos.size());
  return upper;
}

}  // namespace

NTSTATUS Kernel::CreateLink(const std::u16string& link, const std::u16string& target) {
  std::lock_guard<std::mutex> lock(objectsMutex_);
  const std::u16string key = CanonicalLink(link);
  if (links_.count(key) != 0) return STATUS_OBJECT_NAME_COLLISION;
  links_[key] = target;
  return STATUS_SUCCESS;
}

NTSTATUS Kernel::DeleteLink(const std::u16string& link) {
  std::lock_guard<std::mutex> lock(objectsMutex_);
  return links_.erase(CanonicalLink(link)) != 0 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

bool Kernel::LinkExists(const std::u16string& link) const {
  std::lock_guard<std::mutex> lock(objectsMutex_);
  return links_.count(CanonicalLink(link)) != 0;
}

DeviceObject* Kernel::Resolve(const std::u16string& path) const {
  std::lock_guard<std::mutex> lock(objectsMutex_);
  std::u16string name = path;
  for (int hops = 0; hops < 8; ++hops) {
    auto link = links_.find(CanonicalLink(name));
    if (link == links_.end()) break;
    name = link->second;
  }
  const std::u16string key = Upper(name);
  for (const auto& d : devices_)
    if (!d->name.empty() && Upper(d->name) == key) return d.get();
  for (const auto& i : interfaces_)
    if (i.enabled && i.physical != nullptr && Upper(i.link) == CanonicalLink(name))
      return i.physical;
  return nullptr;
}

NTSTATUS Kernel::RegisterInterface(DeviceObject* physical, const std::string& classGuid,
                                   std::u16string* link) {
  if (physical != nullptr)
    if (auto code = Injected(fault::kIoRegisterDeviceInterface, physical->instanceId))
      return static_cast<NTSTATUS>(*code);
  std::lock_guard<std::mutex> lock(objectsMutex_);
  if (physical == nullptr || physical->instanceId.empty()) return STATUS_INVALID_DEVICE_REQUEST;
  // Windows names an interface after its device instance, lower-cased, with
  // '#' for each '\\' and the class GUID at the end.
  std::string name = "\\??\\";
  for (char c : physical->instanceId)
    name += c == '\\' ? '#' : static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  name += "#" + classGuid;
  const std::u16string text = ToU16(name);
  for (auto& i : interfaces_)
    if (Upper(i.link) == Upper(text)) {
      *link = i.link;  // registering again names the same interface
      i.physical = physical;
      return STATUS_SUCCESS;
    }
  interfaces_.push_back(DeviceInterface{text, physical, physical->instanceId, classGuid, false});
  *link = text;
  return STATUS_SUCCESS;
}

NTSTATUS Kernel::SetInterfaceState(const std::u16string& link, bool enable) {
  std::lock_guard<std::mutex> lock(objectsMutex_);
  for (auto& i : interfaces_)
    if (Upper(i.link) == Upper(link)) {
      i.enabled = enable;
      return STATUS_SUCCESS;
    }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

std::vector<DeviceInterface> Kernel::Interfaces(const std::string& classGuid,
                                                bool enabledOnly) const {
  std::lock_guard<std::mutex> lock(objectsMutex_);
  std::vector<DeviceInterface> out;
  for (const auto& i : interfaces_)
    if ((classGuid.empty() || i.classGuid == classGuid) && (!enabledOnly || i.enabled))
      out.push_back(i);
  return out;
}

Irp* Kernel::AllocateIrp() {
  auto* irp = new (irpBlocks_.Allocate()) Irp();
  irp->id = nextIrpId_.fetch_add(1);
  std::lock_guard<HostMutex> lock(irpMutex_);
  irp->liveNext = liveIrps_;
  if (liveIrps_ != nullptr) liveIrps_->livePrev = irp;
  liveIrps_ = irp;
  return irp;
}

Irp* Kernel::AllocateDriverIrp() {
  const bool refused = Injected(fault::kIoAllocateIrp).has_value();
  {
    std::lock_guard<std::mutex> lock(poolMutex_);
    if (refused || (failIrpCountdown_ != 0 && --failIrpCountdown_ == 0) ||
        (failAnyCountdown_ != 0 && --failAnyCountdown_ == 0)) {
      ++injected_;
      return nullptr;
    }
  }
  return AllocateIrp();
}

void Kernel::FailNthDriverIrp(uint64_t n) {
  std::lock_guard<std::mutex> lock(poolMutex_);
  failIrpCountdown_ = n;
}

void Kernel::FreeIrp(Irp* irp) {
  {
    std::lock_guard<HostMutex> lock(irpMutex_);
    if (irp->livePrev != nullptr)
      irp->livePrev->liveNext = irp->liveNext;
    else
      liveIrps_ = irp->liveNext;
    if (irp->liveNext != nullptr) irp->liveNext->livePrev = irp->livePrev;
    irp->livePrev = irp->liveNext = nullptr;
  }
  while (irp->cancelRefs.load() != 0) std::this_thread::yield();
  irp->~Irp();
  irpBlocks_.Free(irp);
}

NTSTATUS Kernel::CallDriver(DeviceObject* device, Irp* irp) {
  if (device == nullptr) {
    CompleteIrp(irp, STATUS_NO_SUCH_DEVICE, 0);
    return STATUS_NO_SUCH_DEVICE;
  }
  return device->driver->dispatch(device, irp);
}

void Kernel::CompleteIrp(Irp* irp, NTSTATUS status, uintptr_t information) {
  if (irp->finished) {
    verifier_.Report(irp->Describe() + " completed twice");
    return;
  }
  irp->status = status;
  irp->information = information;
  while (!irp->completionRoutines.empty()) {
    const CompletionRoutine routine = irp->completionRoutines.back();
    irp->completionRoutines.pop_back();
    if (!routine.routine(irp, routine.context)) return;  // taken back by a driver above
  }
  irp->finished = true;
  irp->finishOrder = finishCounter_.fetch_add(1) + 1;
  if (irp->onFinished != nullptr) irp->onFinished(irp, irp->onFinishedContext);
}

void Kernel::CancelIrp(Irp* irp) {
  irp->cancelled.store(true);
  const CancelRoutine routine = irp->cancelRoutine.exchange(nullptr);
  if (routine != nullptr) routine(irp);
}

std::vector<std::string> Kernel::LiveRequests() const {
  std::lock_guard<HostMutex> lock(irpMutex_);
  // Oldest first, as they were issued.
  std::vector<const Irp*> live;
  for (const Irp* irp = liveIrps_; irp != nullptr; irp = irp->liveNext)
    if (!irp->finished) live.push_back(irp);
  std::vector<std::string> out;
  for (auto it = live.rbegin(); it != live.rend(); ++it) out.push_back((*it)->Describe());
  return out;
}

std::u16string Upper(const std::u16string& text) {
  std::u16string out = text;
  for (char16_t& c : out)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  return out;
}

std::u16string ToU16(const std::string& text) {
  std::u16string out;
  out.reserve(text.size());
  for (unsigned char c : text) out += static_cast<char16_t>(c);
  return out;
}

std::string ToU8(const std::u16string& text) {
  std::string out;
  out.reserve(text.size());
  for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

}  // namespace hk

namespace hk {

std::optional<uint32_t> Kernel::Injected(std::string_view site, std::string_view subject) {
  if (faults_ == nullptr) return std::nullopt;
  return faults_->Check(site, subject);
}

void Kernel::FailNextAttach() {
  if (faults_ != nullptr) faults_->Once(fault::kIoAttachDeviceToDeviceStack, 0);
}

NTSTATUS Kernel::OpenKey(const std::string& path, bool create) {
  if (auto code = Injected(create ? fault::kZwCreateKey : fault::kZwOpenKey, path))
    return static_cast<NTSTATUS>(*code);
  if (create) return registry_->CreateKey(path) ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
  return registry_->KeyExists(path) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS Kernel::QueryValue(const std::string& path, const std::string& name, uint32_t* type,
                            std::vector<uint8_t>* data) {
  if (auto code = Injected(fault::kZwQueryValueKey, path + "\\" + name))
    return static_cast<NTSTATUS>(*code);
  auto value = registry_->GetValue(path, name);
  if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;
  *type = value->type;
  *data = std::move(value->data);
  return STATUS_SUCCESS;
}

}  // namespace hk
