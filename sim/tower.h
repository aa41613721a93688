// The simulated tower: what a tower plugged into a port of the host machine
// does, as seen over USB. Its firmware answers vendor requests on endpoint 0,
// sends the bytes of OUT transfers over a simulated IR link at the link's
// speed, and queues the bytes the link hears for IN transfers. Tests turn
// fault knobs to make it misbehave the ways a real tower can.
//
// Every method is thread-safe. Completions go out through Port::Complete, never
// while the model's state lock is held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kernel/host_mutex.h"
#include "sim/descriptors.h"
#include "sim/firmware.h"
#include "usb/model.h"

namespace sim {

using hk::usb::NTSTATUS;

// What is at the other end of the IR link.
enum class FarSide : uint8_t {
  Silence,   // nothing answers
  Loopback,  // the tower hears its own transmission, byte by byte as it goes out
  Scripted,  // a Responder answers each completed OUT transfer
};

// Called with the bytes of each completed OUT transfer; returns what the far
// side sends back (possibly nothing). Runs on the model's worker thread, with
// no model lock held, so it may call the model.
using Responder = std::function<std::vector<uint8_t>(const std::vector<uint8_t>& sent)>;

struct TowerOptions {
  // False makes the link instant: OUT transfers complete as soon as they are
  // submitted and replies arrive at once (benchmarks want a tower that adds no
  // delay of its own).
  bool linkDelay = true;
  // Multiplies every link time; 0.01 runs the link a hundred times faster than
  // a real one, so tests can use real speed codes and still be quick.
  double timeScale = 1.0;
  // Bytes the tower can hold for IN transfers; more are dropped and counted.
  std::size_t receiveCapacity = 4096;
  // Loopback by default: a lone tower in front of nothing still sees its own
  // light, which is what a demonstration without a controller shows.
  FarSide farSide = FarSide::Loopback;
  // The thread that injects bytes runs the completions they cause, when the
  // stack offers it (as a controller's deferred call runs where the
  // interrupt came in). False sends them to the bus's thread: a measurement
  // that leaves the injecting thread's time out must not leave the stack's
  // completions out with it.
  bool completeOnInjector = true;
};

// Misbehaviour of one vendor request (or of all that have none of their own).
// The first that applies wins, in this order.
struct RequestFault {
  bool neverAnswer = false;  // stays pending until cancelled; not carried out
  // Completes with this status and failUsbd, actual 0; not carried out.
  std::optional<NTSTATUS> fail{};
  uint32_t failUsbd = hk::usb::USBD_STATUS_DEV_NOT_RESPONDING;
  bool stall = false;  // STATUS_UNSUCCESSFUL / USBD_STATUS_STALL_PID; not carried out
  // The rest are carried out, then the reply is altered:
  std::optional<uint8_t> status{};  // the reply's status byte says this instead
  uint16_t lengthExtra = 0;  // the length field claims this many bytes more than the reply has
  std::optional<uint16_t> shortReply{};  // only the first k bytes arrive (actual = k at most)
};

// OUT transfers misbehaving.
enum class OutFault : uint8_t {
  None,
  NeverAccept,  // the tower takes no data: OUT transfers stay pending until cancelled
  DataError,    // STATUS_DEVICE_DATA_ERROR / USBD_STATUS_CRC, actual 0, counted as an error
  Stall,        // STATUS_UNSUCCESSFUL / USBD_STATUS_STALL_PID, actual 0, counted as an error
};

// A transfer that ends at once with a chosen status and USB status, moving
// nothing, while the tower stays on the bus: the next `times` of its kind, or
// every one until cleared when `times` is 0.
struct TransferFault {
  NTSTATUS status = tower::STATUS_UNSUCCESSFUL;
  uint32_t usbdStatus = hk::usb::USBD_STATUS_DEV_NOT_RESPONDING;
  uint32_t times = 1;
};

class TowerModel final : public hk::usb::DeviceModel {
 public:
  explicit TowerModel(TowerOptions options = {});
  // Completes whatever is still held, as an unplug does.
  ~TowerModel() override;
  TowerModel(const TowerModel&) = delete;
  TowerModel& operator=(const TowerModel&) = delete;

  // --- DeviceModel
  // Plugging in powers the tower up: factory settings, counters zero,
  // unconfigured, nothing queued. Unplugging (null) completes every transfer
  // still held with STATUS_DEVICE_NOT_CONNECTED / USBD_STATUS_DEVICE_GONE
  // through the old port, and drops what was queued; settings and counters
  // stay readable. Transfers submitted while unplugged are ignored.
  void Attach(hk::usb::Port* port) override;
  std::vector<uint8_t> DeviceDescriptor() override;
  std::vector<uint8_t> ConfigurationDescriptor(uint8_t index) override;
  // 0, 1 and 2; any accepted value resets the data endpoints, which completes
  // the IN and OUT transfers held with STATUS_CANCELLED / USBD_STATUS_CANCELED.
  bool SetConfiguration(uint8_t value) override;
  void Submit(hk::usb::Transfer* transfer) override;
  void Cancel(hk::usb::Transfer* transfer) override;

  // --- The far side of the link
  void SetFarSide(FarSide side);
  // Installs the responder and makes the far side Scripted.
  void SetResponder(Responder responder);
  // Bytes arriving from the far side now (ignored while unplugged). The
  // transfers they complete may finish on the calling thread before this
  // returns (completeOnInjector), so the caller must hold no lock that a
  // driver's completion, or what it submits, may need.
  void Inject(const std::vector<uint8_t>& bytes);

  // --- Link timing
  void SetLinkDelay(bool on);
  void SetTimeScale(double scale);
  // Time one byte takes on the link at a speed code: 10 bit times, scaled;
  // zero when the link is instant.
  std::chrono::nanoseconds ByteTime(uint16_t speedCode) const;

  // --- What the tower says about itself (kept across RESET and power-up)
  void SetVersion(uint8_t major, uint8_t minor, uint16_t build);
  void SetCopyright(std::u16string text);
  void SetCredits(std::u16string text);
  // The error state parameter (4), which the host can only read.
  void SetErrorState(uint8_t state);

  // --- Settings changed from outside the host, as a controller or the
  // tower's own button would change them. SetParameter goes through the
  // firmware's rules for a set request, so any parameter id behaves as the
  // host would find it; it returns the status byte (0: taken).
  uint8_t SetParameter(uint8_t id, uint8_t value);
  // Any setting at all: LED mode and states, endianness, IR speeds, carrier.
  void ChangeSettings(const std::function<void(Settings&)>& change);
  Settings CurrentSettings() const;

  // --- Fault knobs
  // Control (vendor requests, logged as received), IN or OUT transfers fail
  // with the fault's statuses; an IN transfer fails as soon as it is
  // submitted. A failed OUT transfer counts as an error.
  void FailTransfers(hk::usb::TransferKind kind, const TransferFault& fault);
  void ClearTransferFaults();
  void SetRequestFault(uint8_t bRequest, const RequestFault& fault);
  // Applies to every vendor request without a fault of its own.
  void SetDefaultRequestFault(const RequestFault& fault);
  void ClearRequestFaults();
  void SetOutFault(OutFault fault);
  // One-shot: the next OUT (control) transfer completes with
  // STATUS_DEVICE_NOT_CONNECTED / USBD_STATUS_DEVICE_GONE, every other held
  // transfer likewise, then the tower drops off the bus (Port::Vanish). Until
  // it is plugged in again, every transfer fails the same way.
  void VanishOnNextOut();
  void VanishOnNextControl();

  // --- Inspection
  std::optional<uint8_t> Parameter(uint8_t id) const;
  std::optional<uint8_t> IrcParameter(uint8_t id) const;
  std::optional<uint8_t> Led(uint8_t id) const;
  uint16_t TxSpeed() const;
  uint16_t RxSpeed() const;
  uint16_t CarrierFrequency() const;
  std::optional<uint16_t> DutyCycle(uint8_t selector) const;
  CommStats Stats() const;
  uint32_t WriteErrors() const;
  uint8_t Configuration() const;
  bool Attached() const;
  // Every setup packet received on endpoint 0, oldest first.
  std::vector<hk::usb::SetupPacket> SetupLog() const;
  void ClearSetupLog();
  // Every byte sent over IR so far.
  std::vector<uint8_t> Transmitted() const;
  void ClearTransmitted();
  // Bytes waiting for an IN transfer.
  std::size_t QueuedBytes() const;
  // Transfers the model holds (pending IN, OUT in flight or refused, control
  // requests left unanswered).
  std::size_t HeldTransfers() const;

 private:
  using Clock = std::chrono::steady_clock;
  struct Completion {
    hk::usb::Transfer* transfer;
    NTSTATUS status;
    uint32_t usbdStatus;
    uint32_t actual;
  };
  // Completions gathered under the lock, delivered after it. The usual
  // handful fits inline: a packet's completion allocates nothing.
  class Completions {
   public:
    void push_back(const Completion& c) {
      if (count_ < kInline) {
        inline_[count_++] = c;
        return;
      }
      if (more_.empty()) more_.assign(inline_, inline_ + kInline);
      more_.push_back(c);
      ++count_;
    }
    bool empty() const { return count_ == 0; }
    const Completion* begin() const { return count_ <= kInline ? inline_ : more_.data(); }
    const Completion* end() const { return begin() + count_; }

   private:
    static constexpr std::size_t kInline = 4;
    Completion inline_[kInline];
    std::size_t count_ = 0;
    std::vector<Completion> more_;
  };
  struct Batch {
    Completions done;
    bool vanish = false;
  };
  struct OutJob {
    hk::usb::Transfer* transfer;
    Clock::time_point submitted;
  };
  struct Arrival {
    Clock::time_point at;
    uint8_t byte;
  };
  struct Answer {
    Clock::time_point sentAt;
    std::vector<uint8_t> bytes;
  };

  void Run();
  void Advance(Clock::time_point now, Batch& batch);
  void Receive(uint8_t byte);
  void Receive(const uint8_t* bytes, std::size_t count);
  // Hands the receive queue's bytes to the waiting IN transfers.
  void Deliver(Batch& batch);
  // Gives the waiting IN transfers, oldest first, up to a packet each of
  // `bytes`; returns how many they took. The bytes are the receive queue's,
  // or new ones that no queued byte is older than.
  std::size_t Serve(const uint8_t* bytes, std::size_t count, Batch& batch);
  void SubmitControl(hk::usb::Transfer* t, Batch& batch);
  void SubmitOut(hk::usb::Transfer* t, Batch& batch);
  void TakeAll(NTSTATUS status, uint32_t usbdStatus, bool bulkOnly, Batch& batch);
  void VanishWith(hk::usb::Transfer* t, Batch& batch);
  void PowerOn();
  void DropLinkState();
  std::optional<Clock::time_point> NextDeadline() const;
  // True when the worker has something to time (under mutex_).
  bool WorkerHasWork() const;
  std::chrono::nanoseconds ByteTimeLocked(uint16_t speedCode) const;
  void Finish(std::unique_lock<hk::HostMutex>& lock, Batch& batch);

  // Lock order: mutex_, then portMutex_. port_ changes only under both, so
  // either one is enough to read it.
  // The host's lock rather than std::mutex: an injected packet and a
  // submitted transfer take these three times between them.
  mutable hk::HostMutex mutex_;
  hk::HostMutex portMutex_;
  std::condition_variable_any wake_;
  hk::usb::Port* port_ = nullptr;
  bool gone_ = false;
  bool stop_ = false;

  TowerOptions options_;
  Responder responder_;
  Firmware firmware_;
  uint8_t configuration_ = 0;

  std::deque<hk::usb::Transfer*> inQueue_;
  std::deque<OutJob> outQueue_;  // front is on the link once outActive_
  bool outActive_ = false;
  Clock::time_point outStart_{};
  std::chrono::nanoseconds outByteTime_{0};
  uint32_t outSent_ = 0;
  Clock::time_point lastOutEnd_{};
  std::vector<hk::usb::Transfer*> heldOut_;      // refused by OutFault::NeverAccept
  std::vector<hk::usb::Transfer*> heldControl_;  // left unanswered by a fault

  // The receive queue: bytes in order of arrival, taken from the front. One
  // buffer and a read offset: a packet's bytes go in and out as whole runs,
  // not a byte at a time as a deque's would.
  class ByteQueue {
   public:
    std::size_t size() const { return bytes_.size() - front_; }
    bool empty() const { return size() == 0; }
    void Append(const uint8_t* bytes, std::size_t count) {
      bytes_.insert(bytes_.end(), bytes, bytes + count);
    }
    // The bytes in order, oldest first (size() of them).
    const uint8_t* data() const { return bytes_.data() + front_; }
    // Takes away the oldest `count` bytes (at most size()).
    void Drop(std::size_t count);
    void clear() {
      bytes_.clear();
      front_ = 0;
    }

   private:
    std::vector<uint8_t> bytes_;
    std::size_t front_ = 0;  // bytes before it are taken
  };
  ByteQueue rxQueue_;
  std::deque<Arrival> arrivals_;  // far-side bytes still on their way, by time
  Clock::time_point rxFreeAt_{};  // when the far side's last scheduled byte lands
  std::deque<Answer> answers_;    // OUT transfers the responder has yet to hear

  std::map<uint8_t, RequestFault> requestFaults_;
  std::optional<RequestFault> defaultFault_;
  OutFault outFault_ = OutFault::None;
  bool vanishOnOut_ = false;
  bool vanishOnControl_ = false;
  std::map<hk::usb::TransferKind, TransferFault> transferFaults_;
  // Takes the fault for a transfer of this kind, if one is set (under mutex_).
  std::optional<TransferFault> TakeTransferFault(hk::usb::TransferKind kind);

  std::vector<hk::usb::SetupPacket> setupLog_;
  std::vector<uint8_t> transmitted_;

  std::thread worker_;  // last: starts once everything above exists
};

}  // namespace sim
