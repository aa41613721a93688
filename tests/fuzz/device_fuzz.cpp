// The driver under a hostile device: something with the tower's ids whose
// descriptors, configuration answers, vendor replies, IN packets and OUT
// acceptance all come from the input (wrong lengths, a total length that
// lies, missing or extra interfaces and endpoints, wrong types and packet
// sizes, replies with wrong length fields and status bytes, short and long
// packets, replies that never come, a device that leaves mid-transfer).
// Each input plugs one such device into the one machine kept across inputs;
// the driver starts it, fails its start cleanly, or runs it through a few
// handle operations. Then it is pulled out, and nothing may be left: no
// device, no pool, nothing the verifier noticed; and a good tower plugged
// next works.
#include <algorithm>
#include <deque>
#include <mutex>

#include "fuzz_machine.h"
#include "fuzz_target.h"
#include "sim/descriptors.h"
#include "tower/ids.h"
#include "tower/ioctl.h"
#include "tower/ntstatus.h"

namespace towerfuzz::target {

namespace {

using namespace tower;
using hk::usb::Transfer;
using hk::usb::TransferKind;

constexpr char kTarget[] = "device fuzz";
constexpr char kParameters[] =
    "Machine\\System\\CurrentControlSet\\Services\\QIROUSBTower\\Parameters";
constexpr size_t kInputsPerBoot = 5000;
constexpr int kMaxOperations = 32;

// A standard descriptor as the input has it: the tower's own, poked,
// truncated, extended, or bytes of the input's choosing.
std::vector<uint8_t> Descriptor(Input& in, std::vector<uint8_t> base) {
  const uint8_t mode = in.Byte();
  if ((mode & 3) == 3) {
    base.assign(in.Byte() % 80, 0);
    in.Fill(base.data(), base.size());
    return base;
  }
  if ((mode & 3) == 2) base.resize(in.Byte() % (base.size() + 1));
  if ((mode & 4) != 0) {
    std::vector<uint8_t> extra(in.Byte() % 24);
    in.Fill(extra.data(), extra.size());
    base.insert(base.end(), extra.begin(), extra.end());
  }
  if ((mode & 3) != 0 && !base.empty()) {
    for (int pokes = in.Byte() % 5; pokes > 0; --pokes) {
      const size_t at = in.Byte() % base.size();
      base[at] = in.Byte();
    }
  }
  return base;
}

constexpr NTSTATUS kFailures[] = {STATUS_UNSUCCESSFUL,      STATUS_DEVICE_NOT_CONNECTED,
                                  STATUS_DEVICE_DATA_ERROR, STATUS_IO_TIMEOUT,
                                  STATUS_INVALID_PARAMETER, STATUS_SUCCESS};
constexpr uint32_t kUsbdFailures[] = {
    hk::usb::USBD_STATUS_STALL_PID, hk::usb::USBD_STATUS_DEV_NOT_RESPONDING,
    hk::usb::USBD_STATUS_CRC,       hk::usb::USBD_STATUS_DEVICE_GONE,
    hk::usb::USBD_STATUS_PENDING,   hk::usb::USBD_STATUS_SUCCESS};

// The hostile device. Every answer it gives is the input's next choice;
// an input that has run out answers as a plain, agreeable device would.
class HostileTower final : public hk::usb::DeviceModel {
 public:
  explicit HostileTower(Input& in) : in_(&in) {
    device_ = Descriptor(in, sim::TowerDeviceDescriptor());
    for (uint8_t index = 0; index < 3; ++index)
      configurations_[index] = Descriptor(in, sim::TowerConfigurationDescriptor(index));
    refuse_ = in.Byte();
  }

  void Attach(hk::usb::Port* port) override {
    std::vector<Transfer*> held;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (port == nullptr) held.swap(held_);
      port_ = port;
      if (port != nullptr) gone_ = port;
    }
    // Leaving the bus fails what is still held, through the old port.
    for (Transfer* t : held)
      gone_->Complete(t, STATUS_DEVICE_NOT_CONNECTED, hk::usb::USBD_STATUS_DEVICE_GONE, 0);
  }
  std::vector<uint8_t> DeviceDescriptor() override { return device_; }
  std::vector<uint8_t> ConfigurationDescriptor(uint8_t index) override {
    return index < 3 ? configurations_[index] : std::vector<uint8_t>{};
  }
  bool SetConfiguration(uint8_t value) override {
    return value == 0 || (refuse_ & (1u << (value & 7))) == 0;
  }

  void Submit(Transfer* t) override {
    std::unique_lock<std::mutex> lock(mutex_);
    hk::usb::Port* port = port_;
    if (port == nullptr) {
      lock.unlock();
      gone_->Complete(t, STATUS_DEVICE_NOT_CONNECTED, hk::usb::USBD_STATUS_DEVICE_GONE, 0);
      return;
    }
    if (t->kind == TransferKind::BulkIn) {
      // IN data comes when the input delivers it (Deliver).
      held_.push_back(t);
      return;
    }
    const uint8_t choice = in_->Byte();
    if (t->kind == TransferKind::BulkOut) {
      uint32_t actual = t->length;
      if ((choice & 3) == 2) actual = in_->Word() % (t->length + 1);
      lock.unlock();
      if ((choice & 3) == 3)
        Fail(port, t, choice >> 2);
      else
        port->Complete(t, STATUS_SUCCESS, hk::usb::USBD_STATUS_SUCCESS, actual);
      return;
    }
    switch (choice % 8) {
      case 4:
        lock.unlock();
        Fail(port, t, choice >> 3);
        return;
      case 5:
        // One reply per input may never come: each costs the driver's
        // whole limit, and one is enough to reach every path after it.
        if (!hung_) {
          hung_ = true;
          held_.push_back(t);
          return;
        }
        break;
      case 6:
        lock.unlock();
        port->Vanish();
        port->Complete(t, STATUS_DEVICE_NOT_CONNECTED, hk::usb::USBD_STATUS_DEVICE_GONE, 0);
        return;
      default:
        break;
    }
    // A reply record: length field, status, value and payload, each the
    // input's or, by default, what an agreeable tower says.
    std::vector<uint8_t> reply(t->length, 0);
    if (reply.size() >= 2) {
      const uint16_t claimed =
          (choice & 1) != 0 ? in_->Word() : static_cast<uint16_t>(reply.size());
      reply[0] = static_cast<uint8_t>(claimed);
      reply[1] = static_cast<uint8_t>(claimed >> 8);
    }
    if (reply.size() >= 3 && (choice & 2) != 0) reply[2] = in_->Byte();
    for (size_t i = 3; i < reply.size() && (choice & 0x10) != 0; ++i) reply[i] = in_->Byte();
    uint32_t actual = t->length;
    if ((choice & 0x20) != 0) actual = in_->Word() % (t->length + 1);
    if (actual > 0) std::copy_n(reply.begin(), actual, t->buffer);
    lock.unlock();
    port->Complete(t, STATUS_SUCCESS, hk::usb::USBD_STATUS_SUCCESS, actual);
  }

  void Cancel(Transfer* t) override {
    hk::usb::Port* port = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = std::find(held_.begin(), held_.end(), t);
      if (it == held_.end()) return;
      held_.erase(it);
      port = port_ != nullptr ? port_ : gone_;
    }
    port->Complete(t, STATUS_CANCELLED, hk::usb::USBD_STATUS_CANCELED, 0);
  }

  // The oldest IN transfer held comes back: a packet of the input's length
  // (at most what was asked: the bus never hands over more), or a failure.
  void Deliver() {
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = std::find_if(held_.begin(), held_.end(),
                           [](Transfer* t) { return t->kind == TransferKind::BulkIn; });
    if (it == held_.end() || port_ == nullptr) return;
    Transfer* t = *it;
    held_.erase(it);
    hk::usb::Port* port = port_;
    const uint8_t choice = in_->Byte();
    const uint32_t actual = (choice >> 1) % (t->length + 1);
    for (uint32_t i = 0; i < actual; ++i) t->buffer[i] = in_->Byte();
    const uint8_t failure = in_->Byte();
    lock.unlock();
    if ((choice & 1) != 0)
      Fail(port, t, failure);
    else
      port->Complete(t, STATUS_SUCCESS, hk::usb::USBD_STATUS_SUCCESS, actual);
  }

  // The input is over; whatever still asks (nothing should) gets the
  // agreeable defaults.
  void Forget() {
    static Input empty(nullptr, 0);
    std::lock_guard<std::mutex> lock(mutex_);
    in_ = &empty;
  }

  void Pull() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (port_ != nullptr) port_->Vanish();
  }

 private:
  static void Fail(hk::usb::Port* port, Transfer* t, uint8_t which) {
    port->Complete(t, kFailures[which % std::size(kFailures)],
                   kUsbdFailures[(which / 8) % std::size(kUsbdFailures)], 0);
  }

  Input* in_;  // the input being run; an empty one once it is over
  std::vector<uint8_t> device_;
  std::vector<uint8_t> configurations_[3];
  uint8_t refuse_ = 0;
  std::mutex mutex_;
  hk::usb::Port* port_ = nullptr;
  hk::usb::Port* gone_ = nullptr;  // the last port, for what completes after leaving
  std::vector<Transfer*> held_;
  bool hung_ = false;
};

constexpr uint32_t kCodes[] = {
    IOCTL_TOWER_GET_CAPS,       IOCTL_TOWER_GET_CARRIER_DUTY_CYCLE,
    IOCTL_TOWER_GET_COMM_STATS, IOCTL_TOWER_GET_COPYRIGHT,
    IOCTL_TOWER_GET_CREDITS,    IOCTL_TOWER_GET_IR_SPEED,
    IOCTL_TOWER_GET_LED_STATE,  IOCTL_TOWER_GET_PARM,
    IOCTL_TOWER_GET_RANGE,      IOCTL_TOWER_GET_STATE,
    IOCTL_TOWER_GET_VERSION,    IOCTL_TOWER_RESET,
    IOCTL_TOWER_SET_IR_SPEED,   IOCTL_TOWER_SET_LED_STATE,
    IOCTL_TOWER_SET_PARM,       IOCTL_TOWER_FLUSH,
    IOCTL_TOWER_RESTART,        IOCTL_TOWER_GET_TIMEOUTS,
};

struct State {
  std::filesystem::path stateDir;
  hk::Machine* machine = nullptr;
  size_t pool = 0;  // the driver's pool blocks with no tower plugged
  size_t sinceBoot = 0;
};

State& S() {
  // Never destroyed: the fuzzer ends with exit(), after the kernel's
  // per-thread storage is gone.
  static auto* state = new State;
  return *state;
}

void Check(uint32_t bytes, uint32_t limit, const char* what) {
  if (bytes > limit)
    Broken(kTarget, std::string(what) + " reported " + std::to_string(bytes) + " bytes for a " +
                        std::to_string(limit) + "-byte buffer");
}

void Operate(Input& in, HostileTower& tower, hk::FileObject*& file) {
  // The machine is booted before any input runs.
  hk::Machine* machine = S().machine;
  if (machine == nullptr) return;
  hk::IoManager& io = machine->io();
  const uint8_t pick = in.Byte();
  switch (pick % 8) {
    case 0:
    case 1: {
      if (file == nullptr) return;
      const uint32_t code = kCodes[(pick >> 3) % std::size(kCodes)];
      const uint32_t inLength = in.Length();
      const uint32_t outLength = in.Length();
      ExactBuffer input(inLength);
      ExactBuffer output(outLength);
      in.Fill(input.data(), inLength);
      uint32_t returned = 0;
      io.Control(file, code, input.data(), inLength, output.data(), outLength, &returned);
      Check(returned, outLength, "a control request");
      return;
    }
    case 2: {
      if (file == nullptr) return;
      const uint32_t length = in.Length();
      ExactBuffer buffer(length);
      uint32_t got = 0;
      io.Read(file, buffer.data(), length, &got);
      Check(got, length, "a read");
      return;
    }
    case 3: {
      if (file == nullptr) return;
      const uint32_t length = in.Length();
      ExactBuffer buffer(length);
      in.Fill(buffer.data(), length);
      uint32_t put = 0;
      io.Write(file, buffer.data(), length, &put);
      Check(put, length, "a write");
      return;
    }
    case 4:
    case 5:
      tower.Deliver();
      return;
    case 6:
      if (file != nullptr) {
        io.Close(file);
        file = nullptr;
      } else {
        io.Open(LinkOf(1), &file);
      }
      return;
    default:
      tower.Pull();
      machine->SettlePnp();
      return;
  }
}

void Verify(const char* when) {
  State& s = S();
  if (s.machine == nullptr) return;
  if (s.machine->kernel().verifier().Count() != 0)
    Broken(kTarget, std::string(when) + ": verifier: " + s.machine->kernel().verifier().Take()[0]);
  s.machine->bus().Drain();
  const size_t pool = DriverPoolBlocks(*s.machine);
  if (pool != s.pool)
    Broken(kTarget, std::string(when) + ": the driver holds " + std::to_string(pool) +
                        " pool blocks, " + std::to_string(s.pool) + " with no tower");
  if (s.machine->kernel().LinkExists(LinkOf(1)))
    Broken(kTarget, std::string(when) + ": a tower's device was left behind");
}

// A good tower plugged after the hostile one gets its unit and works.
void GoodTowerWorks() {
  State& s = S();
  sim::TowerOptions options;
  options.linkDelay = false;
  auto tower = std::make_shared<PullableTower>(std::make_shared<sim::TowerModel>(options));
  s.machine->PlugUsb(tower, kTowerHardwareId);
  const std::string why = TowerWorks(*s.machine, 1);
  if (!why.empty()) Broken(kTarget, "the good tower after it: " + why);
  tower->Pull();
  s.machine->SettlePnp();
  Verify("after the good tower");
}

}  // namespace

bool Start() {
  State& s = S();
  if (s.machine != nullptr) return true;
  s.stateDir = StateDir("device-fuzz");
  s.machine = Boot(s.stateDir);
  if (s.machine == nullptr) return false;
  // Every start tries the high-power configuration after the normal one:
  // both are read, selected and refused at the input's will.
  s.machine->registry().SetDword(kParameters, "HighPower", 1);
  s.machine->bus().Drain();
  s.pool = DriverPoolBlocks(*s.machine);
  return true;
}

void RunOne(const uint8_t* data, size_t size) {
  State& s = S();
  if (++s.sinceBoot >= kInputsPerBoot) {
    s.sinceBoot = 0;
    const auto found = Stop();
    if (!found.empty()) Broken(kTarget, "verifier at shutdown: " + found.front());
    if (!Start()) Broken(kTarget, "the machine did not boot again");
  }
  Input in(data, size);
  const uint8_t good = in.Byte();
  auto tower = std::make_shared<HostileTower>(in);
  s.machine->PlugUsb(tower, kTowerHardwareId);
  hk::FileObject* file = nullptr;
  s.machine->io().Open(LinkOf(1), &file);
  for (int op = 0; op < kMaxOperations && !in.Empty(); ++op) Operate(in, *tower, file);
  if (file != nullptr) s.machine->io().Close(file);
  // A restart's port cycle brings the tower back once its handle is
  // closed: let it, then pull it out for good.
  s.machine->SettlePnp();
  tower->Pull();
  s.machine->SettlePnp();
  tower->Forget();
  Verify("after the hostile tower left");
  // The good tower costs a plug and a start: one input in eight, and every
  // one whose first byte says so, check it.
  if ((good & 7) == 0) GoodTowerWorks();
}

std::vector<std::string> Stop() {
  State& s = S();
  auto found = Shutdown(s.machine, s.stateDir);
  s.machine = nullptr;
  return found;
}

}  // namespace towerfuzz::target
