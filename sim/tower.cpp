#include "sim/tower.h"

#include "tower/replies.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sim {

namespace {

using hk::usb::Transfer;
using hk::usb::TransferKind;
using namespace tower;

// The length field of a reply record holds the whole reply it stands for.
constexpr size_t kMaxTextChars = (0xFFFF - kReplyTextHeader) / 2;

std::u16string Clip(std::u16string text) {
  if (text.size() > kMaxTextChars) text.resize(kMaxTextChars);
  return text;
}

template <typename T>
bool EraseOne(std::vector<T*>& held, T* item) {
  auto it = std::find(held.begin(), held.end(), item);
  if (it == held.end()) return false;
  held.erase(it);
  return true;
}

}  // namespace

TowerModel::TowerModel(TowerOptions options) : options_(options) {
  firmware_.receiveCapacity =
      static_cast<uint16_t>(std::min<std::size_t>(options_.receiveCapacity, 0xFFFF));
  worker_ = std::thread([this] { Run(); });
}

TowerModel::~TowerModel() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  worker_.join();
  Attach(nullptr);
}

// ---------------------------------------------------------------- plumbing

void TowerModel::Finish(std::unique_lock<hk::HostMutex>& lock, Batch& batch) {
  if (batch.done.empty() && !batch.vanish) return;
  // Taking portMutex_ before letting go of mutex_ keeps completions in the
  // order they were decided (IN data stays in sequence) and keeps an unplug
  // from slipping between the decision and the delivery.
  std::unique_lock portLock(portMutex_);
  hk::usb::Port* port = port_;
  lock.unlock();
  if (port == nullptr) return;  // cannot happen: nothing is held while unplugged
  for (const Completion& c : batch.done)
    port->Complete(c.transfer, c.status, c.usbdStatus, c.actual);
  // Vanish only asks the stack to unplug the tower later, so holding
  // portMutex_ across it is safe.
  if (batch.vanish) port->Vanish();
}

std::chrono::nanoseconds TowerModel::ByteTimeLocked(uint16_t speedCode) const {
  const uint32_t rate = SpeedCodeToBitRate(speedCode);
  if (!options_.linkDelay || rate == 0 || !(options_.timeScale > 0)) return {};
  // A byte on the link is a start bit, eight data bits and a stop bit.
  const double ns = 10.0 * 1e9 / rate * options_.timeScale;
  return std::chrono::nanoseconds(std::max<long long>(1, std::llround(ns)));
}

std::chrono::nanoseconds TowerModel::ByteTime(uint16_t speedCode) const {
  std::lock_guard lock(mutex_);
  return ByteTimeLocked(speedCode);
}

void TowerModel::ByteQueue::Drop(std::size_t count) {
  front_ += count;
  if (front_ == bytes_.size()) {
    clear();
  } else if (front_ >= 4096 && front_ >= bytes_.size() / 2) {
    // Taken bytes are dropped once they outweigh the rest: each byte is
    // moved at most about once more.
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(front_));
    front_ = 0;
  }
}

void TowerModel::Receive(uint8_t byte) {
  ++firmware_.stats.received;
  if (rxQueue_.size() < options_.receiveCapacity) {
    rxQueue_.Append(&byte, 1);
  } else {
    ++firmware_.stats.errors;
  }
}

void TowerModel::Receive(const uint8_t* bytes, std::size_t count) {
  // As byte by byte: every byte heard counts, those without room are dropped.
  firmware_.stats.received += static_cast<uint32_t>(count);
  const std::size_t room =
      options_.receiveCapacity > rxQueue_.size() ? options_.receiveCapacity - rxQueue_.size() : 0;
  const std::size_t kept = std::min(count, room);
  firmware_.stats.errors += static_cast<uint32_t>(count - kept);
  rxQueue_.Append(bytes, kept);
}

void TowerModel::Deliver(Batch& batch) {
  // Most resubmitted IN transfers find nothing waiting.
  if (rxQueue_.empty() || inQueue_.empty()) return;
  rxQueue_.Drop(Serve(rxQueue_.data(), rxQueue_.size(), batch));
}

std::size_t TowerModel::Serve(const uint8_t* bytes, std::size_t count, Batch& batch) {
  std::size_t taken = 0;
  while (taken < count && !inQueue_.empty()) {
    Transfer* t = inQueue_.front();
    inQueue_.pop_front();
    const uint32_t n =
        static_cast<uint32_t>(std::min<std::size_t>({kReceivePacket, count - taken, t->length}));
    std::copy_n(bytes + taken, n, t->buffer);
    taken += n;
    ++firmware_.stats.delivered;
    batch.done.push_back({t, STATUS_SUCCESS, hk::usb::USBD_STATUS_SUCCESS, n});
  }
  return taken;
}

void TowerModel::Advance(Clock::time_point now, Batch& batch) {
  // The transmitter: one OUT transfer on the link at a time, in order.
  while (!outQueue_.empty()) {
    Transfer* t = outQueue_.front().transfer;
    if (!outActive_) {
      // The speed is taken when a transfer starts going out.
      outActive_ = true;
      outStart_ = std::max(lastOutEnd_, outQueue_.front().submitted);
      outByteTime_ = ByteTimeLocked(firmware_.settings.txSpeed);
      outSent_ = 0;
    }
    uint32_t due = t->length;
    if (outByteTime_.count() > 0) {
      const auto elapsed = now - outStart_;
      due = elapsed.count() <= 0
                ? 0
                : static_cast<uint32_t>(std::min<long long>(t->length, elapsed / outByteTime_));
    }
    for (; outSent_ < due; ++outSent_) {
      const uint8_t byte = t->buffer[outSent_];
      transmitted_.push_back(byte);
      ++firmware_.stats.transmitted;
      if (options_.farSide == FarSide::Loopback) Receive(byte);
    }
    if (outSent_ < t->length) break;
    const Clock::time_point end = outStart_ + outByteTime_ * t->length;
    if (options_.farSide == FarSide::Scripted && responder_ && t->length > 0) {
      answers_.push_back({end, std::vector<uint8_t>(t->buffer, t->buffer + t->length)});
    }
    batch.done.push_back({t, STATUS_SUCCESS, hk::usb::USBD_STATUS_SUCCESS, t->length});
    outQueue_.pop_front();
    outActive_ = false;
    lastOutEnd_ = end;
  }
  while (!arrivals_.empty() && arrivals_.front().at <= now) {
    Receive(arrivals_.front().byte);
    arrivals_.pop_front();
  }
  Deliver(batch);
}

bool TowerModel::WorkerHasWork() const {
  // Only timed work needs the worker: a submission that completed at once (a
  // receive transfer, a request, an OUT transfer on an instant link) leaves it
  // asleep, instead of waking it for nothing on every packet.
  return !outQueue_.empty() || !arrivals_.empty() || !answers_.empty();
}

std::optional<TowerModel::Clock::time_point> TowerModel::NextDeadline() const {
  std::optional<Clock::time_point> next;
  auto consider = [&](Clock::time_point at) {
    if (!next || at < *next) next = at;
  };
  if (!outQueue_.empty()) {
    if (outActive_) {
      consider(outStart_ + outByteTime_ * (outSent_ + 1));
    } else {
      consider(Clock::now());
    }
  }
  if (!arrivals_.empty()) consider(arrivals_.front().at);
  return next;
}

void TowerModel::Run() {
  std::unique_lock lock(mutex_);
  while (!stop_) {
    Batch batch;
    Advance(Clock::now(), batch);
    if (!batch.done.empty()) {
      Finish(lock, batch);
      lock.lock();
      continue;
    }
    if (!answers_.empty()) {
      // The far side answers outside the lock, one transfer at a time, so
      // its replies land in the order the transfers went out.
      Answer answer = std::move(answers_.front());
      answers_.pop_front();
      Responder responder = responder_;
      if (!responder) continue;
      lock.unlock();
      std::vector<uint8_t> reply = responder(answer.bytes);
      lock.lock();
      if (port_ == nullptr || options_.farSide != FarSide::Scripted) continue;
      const auto byteTime = ByteTimeLocked(firmware_.settings.rxSpeed);
      Clock::time_point at = std::max(answer.sentAt, rxFreeAt_);
      for (uint8_t byte : reply) {
        at += byteTime;
        arrivals_.push_back({at, byte});
      }
      rxFreeAt_ = at;
      continue;
    }
    if (auto deadline = NextDeadline()) {
      wake_.wait_until(lock, *deadline);
    } else {
      wake_.wait(lock);
    }
  }
}

void TowerModel::TakeAll(NTSTATUS status, uint32_t usbdStatus, bool bulkOnly, Batch& batch) {
  for (Transfer* t : inQueue_) batch.done.push_back({t, status, usbdStatus, 0});
  inQueue_.clear();
  for (const OutJob& job : outQueue_) {
    const bool onLink = outActive_ && job.transfer == outQueue_.front().transfer;
    batch.done.push_back({job.transfer, status, usbdStatus, onLink ? outSent_ : 0});
  }
  if (outActive_) lastOutEnd_ = Clock::now();
  outQueue_.clear();
  outActive_ = false;
  for (Transfer* t : heldOut_) batch.done.push_back({t, status, usbdStatus, 0});
  heldOut_.clear();
  if (bulkOnly) return;
  for (Transfer* t : heldControl_) batch.done.push_back({t, status, usbdStatus, 0});
  heldControl_.clear();
}

void TowerModel::VanishWith(Transfer* t, Batch& batch) {
  batch.done.push_back({t, STATUS_DEVICE_NOT_CONNECTED, hk::usb::USBD_STATUS_DEVICE_GONE, 0});
  Advance(Clock::now(), batch);
  TakeAll(STATUS_DEVICE_NOT_CONNECTED, hk::usb::USBD_STATUS_DEVICE_GONE, false, batch);
  gone_ = true;
  batch.vanish = true;
}

void TowerModel::DropLinkState() {
  rxQueue_.clear();
  arrivals_.clear();
  answers_.clear();
  rxFreeAt_ = {};
  lastOutEnd_ = {};
  configuration_ = 0;
}

void TowerModel::PowerOn() {
  firmware_.FactoryReset();
  firmware_.stats = CommStats{};
  firmware_.writeErrors = 0;
  DropLinkState();
}

// ---------------------------------------------------------------- DeviceModel

void TowerModel::Attach(hk::usb::Port* port) {
  std::unique_lock lock(mutex_);
  if (port == port_) return;
  Batch batch;
  if (port_ != nullptr) {
    Advance(Clock::now(), batch);
    TakeAll(STATUS_DEVICE_NOT_CONNECTED, hk::usb::USBD_STATUS_DEVICE_GONE, false, batch);
    DropLinkState();
  }
  if (port != nullptr) PowerOn();
  gone_ = false;
  // The old port gets what was still held before it is let go.
  std::unique_lock portLock(portMutex_);
  hk::usb::Port* old = port_;
  port_ = port;
  lock.unlock();
  if (old != nullptr) {
    for (const Completion& c : batch.done)
      old->Complete(c.transfer, c.status, c.usbdStatus, c.actual);
  }
  portLock.unlock();
  wake_.notify_one();
}

std::vector<uint8_t> TowerModel::DeviceDescriptor() { return TowerDeviceDescriptor(); }

std::vector<uint8_t> TowerModel::ConfigurationDescriptor(uint8_t index) {
  return TowerConfigurationDescriptor(index);
}

bool TowerModel::SetConfiguration(uint8_t value) {
  if (value != 0 && value != kConfigurationNormal && value != kConfigurationHighPower) return false;
  std::unique_lock lock(mutex_);
  Batch batch;
  Advance(Clock::now(), batch);
  TakeAll(STATUS_CANCELLED, hk::usb::USBD_STATUS_CANCELED, true, batch);
  configuration_ = value;
  Finish(lock, batch);
  return true;
}

void TowerModel::Submit(Transfer* t) {
  std::unique_lock lock(mutex_);
  if (port_ == nullptr) return;
  Batch batch;
  auto stall = [&] {
    batch.done.push_back({t, STATUS_UNSUCCESSFUL, hk::usb::USBD_STATUS_STALL_PID, 0});
  };
  std::optional<TransferFault> fault;
  if (gone_) {
    batch.done.push_back({t, STATUS_DEVICE_NOT_CONNECTED, hk::usb::USBD_STATUS_DEVICE_GONE, 0});
  } else if (t->kind == TransferKind::Control) {
    SubmitControl(t, batch);
  } else if (configuration_ == 0 ||
             t->endpoint != (t->kind == TransferKind::BulkIn ? kEndpointIn : kEndpointOut)) {
    // Unconfigured, or a pipe the device does not have.
    stall();
  } else if ((fault = TakeTransferFault(t->kind))) {
    if (t->kind == TransferKind::BulkOut && NtError(fault->status)) ++firmware_.stats.errors;
    batch.done.push_back({t, fault->status, fault->usbdStatus, 0});
  } else if (t->kind == TransferKind::BulkIn) {
    if (t->length == 0) {
      batch.done.push_back({t, STATUS_SUCCESS, hk::usb::USBD_STATUS_SUCCESS, 0});
    } else {
      inQueue_.push_back(t);
      Deliver(batch);
    }
  } else {
    SubmitOut(t, batch);
  }
  const bool wake = WorkerHasWork();
  Finish(lock, batch);
  if (wake) wake_.notify_one();
}

void TowerModel::SubmitOut(Transfer* t, Batch& batch) {
  if (vanishOnOut_) {
    vanishOnOut_ = false;
    VanishWith(t, batch);
    return;
  }
  switch (outFault_) {
    case OutFault::NeverAccept:
      heldOut_.push_back(t);
      return;
    case OutFault::DataError:
      ++firmware_.stats.errors;
      batch.done.push_back({t, STATUS_DEVICE_DATA_ERROR, hk::usb::USBD_STATUS_CRC, 0});
      return;
    case OutFault::Stall:
      ++firmware_.stats.errors;
      batch.done.push_back({t, STATUS_UNSUCCESSFUL, hk::usb::USBD_STATUS_STALL_PID, 0});
      return;
    case OutFault::None:
      break;
  }
  const Clock::time_point now = Clock::now();
  outQueue_.push_back({t, now});
  Advance(now, batch);
}

void TowerModel::SubmitControl(Transfer* t, Batch& batch) {
  const hk::usb::SetupPacket setup = t->setup;
  setupLog_.push_back(setup);
  if (vanishOnControl_) {
    vanishOnControl_ = false;
    VanishWith(t, batch);
    return;
  }
  auto stall = [&] {
    batch.done.push_back({t, STATUS_UNSUCCESSFUL, hk::usb::USBD_STATUS_STALL_PID, 0});
  };
  if (std::optional<TransferFault> failure = TakeTransferFault(TransferKind::Control)) {
    batch.done.push_back({t, failure->status, failure->usbdStatus, 0});
    return;
  }
  if (setup.bmRequestType != kVendorRequestType) return stall();
  RequestFault fault;
  if (auto it = requestFaults_.find(setup.bRequest); it != requestFaults_.end()) {
    fault = it->second;
  } else if (defaultFault_) {
    fault = *defaultFault_;
  }
  if (fault.neverAnswer) {
    heldControl_.push_back(t);
    return;
  }
  if (fault.fail) {
    batch.done.push_back({t, *fault.fail, fault.failUsbd, 0});
    return;
  }
  if (fault.stall) return stall();
  std::optional<std::vector<uint8_t>> reply = firmware_.Handle(setup);
  if (!reply) return stall();
  // RESET empties what the tower was holding for the host.
  if (setup.bRequest == TOWER_REQ_RESET) rxQueue_.clear();
  auto* header = reinterpret_cast<TOWER_REPLY*>(reply->data());
  if (fault.status) header->Status = *fault.status;
  if (fault.lengthExtra != 0)
    header->Length = static_cast<uint16_t>(reply->size() + fault.lengthExtra);
  std::size_t n = std::min<std::size_t>({reply->size(), setup.wLength, t->length});
  if (fault.shortReply) n = std::min<std::size_t>(n, *fault.shortReply);
  if (t->buffer == nullptr) n = 0;
  if (n != 0) std::memcpy(t->buffer, reply->data(), n);
  batch.done.push_back({t, STATUS_SUCCESS, hk::usb::USBD_STATUS_SUCCESS, static_cast<uint32_t>(n)});
}

void TowerModel::Cancel(Transfer* t) {
  std::unique_lock lock(mutex_);
  Batch batch;
  const Clock::time_point now = Clock::now();
  // Whatever is due by now has happened, so the bytes moved are counted right.
  Advance(now, batch);
  auto cancelled = [&](uint32_t actual) {
    batch.done.push_back({t, STATUS_CANCELLED, hk::usb::USBD_STATUS_CANCELED, actual});
  };
  if (auto it = std::find(inQueue_.begin(), inQueue_.end(), t); it != inQueue_.end()) {
    inQueue_.erase(it);
    cancelled(0);
  } else if (auto job = std::find_if(outQueue_.begin(), outQueue_.end(),
                                     [t](const OutJob& j) { return j.transfer == t; });
             job != outQueue_.end()) {
    if (job == outQueue_.begin() && outActive_) {
      cancelled(outSent_);
      outActive_ = false;
      lastOutEnd_ = now;  // the link is free from now on
    } else {
      cancelled(0);
    }
    outQueue_.erase(job);
  } else if (EraseOne(heldOut_, t) || EraseOne(heldControl_, t)) {
    cancelled(0);
  }
  const bool wake = WorkerHasWork();
  Finish(lock, batch);
  if (wake) wake_.notify_one();
}

// ---------------------------------------------------------------- the far side

void TowerModel::SetFarSide(FarSide side) {
  std::lock_guard lock(mutex_);
  options_.farSide = side;
}

void TowerModel::SetResponder(Responder responder) {
  std::lock_guard lock(mutex_);
  responder_ = std::move(responder);
  options_.farSide = FarSide::Scripted;
}

void TowerModel::Inject(const std::vector<uint8_t>& bytes) {
  // The caller holds no lock: the IN transfer these bytes complete may
  // finish on this thread, once the model has let go of its own locks. The
  // scope is closed on every way out, after them.
  struct CallerScope {
    hk::usb::CallerCompletions* completions = nullptr;
    CallerScope() = default;
    CallerScope(const CallerScope&) = delete;
    CallerScope& operator=(const CallerScope&) = delete;
    ~CallerScope() {
      if (completions != nullptr) completions->Close();
    }
  } scope;
  {
    std::unique_lock lock(mutex_);
    if (port_ == nullptr || gone_) return;
    if (options_.completeOnInjector) scope.completions = port_->Completions();
    if (scope.completions != nullptr) scope.completions->Open();
    Batch batch;
    if (rxQueue_.empty() && bytes.size() <= options_.receiveCapacity) {
      // All of them fit, and none is older: the waiting IN transfers take
      // theirs straight away, exactly as through the queue, and the rest
      // waits there.
      firmware_.stats.received += static_cast<uint32_t>(bytes.size());
      const std::size_t taken = Serve(bytes.data(), bytes.size(), batch);
      rxQueue_.Append(bytes.data() + taken, bytes.size() - taken);
    } else {
      Receive(bytes.data(), bytes.size());
      Deliver(batch);
    }
    Finish(lock, batch);
  }
}

// ---------------------------------------------------------------- knobs

void TowerModel::SetLinkDelay(bool on) {
  {
    std::lock_guard lock(mutex_);
    options_.linkDelay = on;
  }
  wake_.notify_one();
}

void TowerModel::SetTimeScale(double scale) {
  {
    std::lock_guard lock(mutex_);
    options_.timeScale = scale;
  }
  wake_.notify_one();
}

void TowerModel::SetVersion(uint8_t major, uint8_t minor, uint16_t build) {
  std::lock_guard lock(mutex_);
  firmware_.identity.major = major;
  firmware_.identity.minor = minor;
  firmware_.identity.build = build;
}

void TowerModel::SetCopyright(std::u16string text) {
  std::lock_guard lock(mutex_);
  firmware_.identity.copyright = Clip(std::move(text));
}

void TowerModel::SetCredits(std::u16string text) {
  std::lock_guard lock(mutex_);
  firmware_.identity.credits = Clip(std::move(text));
}

void TowerModel::SetErrorState(uint8_t state) {
  std::lock_guard lock(mutex_);
  firmware_.errorState = state;
}

void TowerModel::SetRequestFault(uint8_t bRequest, const RequestFault& fault) {
  std::lock_guard lock(mutex_);
  requestFaults_[bRequest] = fault;
}

void TowerModel::SetDefaultRequestFault(const RequestFault& fault) {
  std::lock_guard lock(mutex_);
  defaultFault_ = fault;
}

void TowerModel::ClearRequestFaults() {
  std::lock_guard lock(mutex_);
  requestFaults_.clear();
  defaultFault_.reset();
}

void TowerModel::SetOutFault(OutFault fault) {
  std::lock_guard lock(mutex_);
  outFault_ = fault;
}

void TowerModel::FailTransfers(TransferKind kind, const TransferFault& fault) {
  std::lock_guard lock(mutex_);
  transferFaults_[kind] = fault;
}

void TowerModel::ClearTransferFaults() {
  std::lock_guard lock(mutex_);
  transferFaults_.clear();
}

std::optional<TransferFault> TowerModel::TakeTransferFault(TransferKind kind) {
  // Faults are rare: the usual transfer pays one test, not a lookup.
  if (transferFaults_.empty()) return std::nullopt;
  auto it = transferFaults_.find(kind);
  if (it == transferFaults_.end()) return std::nullopt;
  const TransferFault fault = it->second;
  if (fault.times == 1)
    transferFaults_.erase(it);
  else if (fault.times > 1)
    --it->second.times;
  return fault;
}

uint8_t TowerModel::SetParameter(uint8_t id, uint8_t value) {
  std::lock_guard lock(mutex_);
  hk::usb::SetupPacket setup;
  setup.bmRequestType = kVendorRequestType;
  setup.bRequest = TOWER_REQ_SET_PARM;
  setup.wValue = static_cast<uint16_t>(value << 8 | id);
  setup.wLength = 4;
  const std::optional<std::vector<uint8_t>> reply = firmware_.Handle(setup);
  if (!reply || reply->size() < sizeof(TOWER_REPLY)) return kTowerErrUnknownParameter;
  return reinterpret_cast<const TOWER_REPLY*>(reply->data())->Status;
}

void TowerModel::ChangeSettings(const std::function<void(Settings&)>& change) {
  std::lock_guard lock(mutex_);
  change(firmware_.settings);
}

Settings TowerModel::CurrentSettings() const {
  std::lock_guard lock(mutex_);
  return firmware_.settings;
}

void TowerModel::VanishOnNextOut() {
  std::lock_guard lock(mutex_);
  vanishOnOut_ = true;
}

void TowerModel::VanishOnNextControl() {
  std::lock_guard lock(mutex_);
  vanishOnControl_ = true;
}

// ---------------------------------------------------------------- inspection

std::optional<uint8_t> TowerModel::Parameter(uint8_t id) const {
  std::lock_guard lock(mutex_);
  const Settings& s = firmware_.settings;
  switch (id) {
    case TOWER_PARM_LINK_MODE:
      return s.linkMode;
    case TOWER_PARM_RANGE:
      return s.range;
    case TOWER_PARM_ERROR_STATE:
      return firmware_.errorState;
    case TOWER_PARM_ENDIANNESS:
      return s.endianness;
    case TOWER_PARM_LED_MODE:
      return s.ledMode;
    default:
      return std::nullopt;
  }
}

std::optional<uint8_t> TowerModel::IrcParameter(uint8_t id) const {
  std::lock_guard lock(mutex_);
  if (id == TOWER_IRC_PARM_PACKET_SIZE) return firmware_.settings.ircPacketSize;
  if (id == TOWER_IRC_PARM_TIME_FRAME) return firmware_.settings.ircTimeFrame;
  return std::nullopt;
}

std::optional<uint8_t> TowerModel::Led(uint8_t id) const {
  std::lock_guard lock(mutex_);
  if (id != TOWER_LED_1 && id != TOWER_LED_2) return std::nullopt;
  return firmware_.settings.leds[id - TOWER_LED_1];
}

uint16_t TowerModel::TxSpeed() const {
  std::lock_guard lock(mutex_);
  return firmware_.settings.txSpeed;
}

uint16_t TowerModel::RxSpeed() const {
  std::lock_guard lock(mutex_);
  return firmware_.settings.rxSpeed;
}

uint16_t TowerModel::CarrierFrequency() const {
  std::lock_guard lock(mutex_);
  return firmware_.settings.carrierFrequency;
}

std::optional<uint16_t> TowerModel::DutyCycle(uint8_t selector) const {
  std::lock_guard lock(mutex_);
  if (selector >= kDutyCycleSelectors) return std::nullopt;
  return firmware_.settings.dutyCycle[selector];
}

CommStats TowerModel::Stats() const {
  std::lock_guard lock(mutex_);
  return firmware_.stats;
}

uint32_t TowerModel::WriteErrors() const {
  std::lock_guard lock(mutex_);
  return firmware_.writeErrors;
}

uint8_t TowerModel::Configuration() const {
  std::lock_guard lock(mutex_);
  return configuration_;
}

bool TowerModel::Attached() const {
  std::lock_guard lock(mutex_);
  return port_ != nullptr;
}

std::vector<hk::usb::SetupPacket> TowerModel::SetupLog() const {
  std::lock_guard lock(mutex_);
  return setupLog_;
}

void TowerModel::ClearSetupLog() {
  std::lock_guard lock(mutex_);
  setupLog_.clear();
}

std::vector<uint8_t> TowerModel::Transmitted() const {
  std::lock_guard lock(mutex_);
  return transmitted_;
}

void TowerModel::ClearTransmitted() {
  std::lock_guard lock(mutex_);
  transmitted_.clear();
}

std::size_t TowerModel::QueuedBytes() const {
  std::lock_guard lock(mutex_);
  return rxQueue_.size();
}

std::size_t TowerModel::HeldTransfers() const {
  std::lock_guard lock(mutex_);
  return inQueue_.size() + outQueue_.size() + heldOut_.size() + heldControl_.size();
}

}  // namespace sim
