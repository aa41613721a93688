// The driver's user-mode interface under hostile callers: each input is a
// sequence of operations on two simulated towers through the I/O manager
// (opens, every device-control code and unknown ones with inputs and
// outputs of any length and content, reads and writes of any length,
// cancels and closes while requests are in flight, unplugs, replugs and
// restarts). Caller buffers are exact heap blocks, so the address sanitizer
// sees any byte touched outside them; the verifier sees a request completed
// twice or never. After every input the handles are closed, the towers are
// back on units 1 and 2, both work, the verifier found nothing and the
// driver's pool holds what it held after boot.
#include <algorithm>
#include <cstring>

#include "fuzz_machine.h"
#include "fuzz_target.h"
#include "tower/ids.h"
#include "tower/ioctl.h"
#include "tower/ntstatus.h"

namespace towerfuzz::target {

namespace {

using namespace tower;

constexpr char kTarget[] = "usermode fuzz";
constexpr size_t kInputsPerBoot = 5000;
constexpr int kMaxOperations = 48;
constexpr int kTowers = 2;
constexpr int kUnits = 3;  // a replug while a handle is open takes unit 3

constexpr uint32_t kCodes[] = {
    IOCTL_TOWER_FLUSH,
    IOCTL_TOWER_GET_CAPS,
    IOCTL_TOWER_GET_CARRIER_DUTY_CYCLE,
    IOCTL_TOWER_GET_CARRIER_FREQUENCY,
    IOCTL_TOWER_GET_COMM_STATS,
    IOCTL_TOWER_GET_COPYRIGHT,
    IOCTL_TOWER_GET_CREDITS,
    IOCTL_TOWER_GET_ENDIANNESS,
    IOCTL_TOWER_GET_ERROR_STATE,
    IOCTL_TOWER_GET_IRC_PARM,
    IOCTL_TOWER_GET_IR_SPEED,
    IOCTL_TOWER_GET_LED_MODE,
    IOCTL_TOWER_GET_LED_STATE,
    IOCTL_TOWER_GET_LINK_MODE,
    IOCTL_TOWER_GET_PARM,
    IOCTL_TOWER_GET_RANGE,
    IOCTL_TOWER_GET_STATE,
    IOCTL_TOWER_GET_TIMEOUTS,
    IOCTL_TOWER_GET_VERSION,
    IOCTL_TOWER_RESET,
    IOCTL_TOWER_RESET_COMM_STATS,
    IOCTL_TOWER_RESTART,
    IOCTL_TOWER_SET_CARRIER_DUTY_CYCLE,
    IOCTL_TOWER_SET_CARRIER_FREQUENCY,
    IOCTL_TOWER_SET_ENDIANNESS,
    IOCTL_TOWER_SET_IRC_PARM,
    IOCTL_TOWER_SET_IR_SPEED,
    IOCTL_TOWER_SET_LED_MODE,
    IOCTL_TOWER_SET_LED_STATE,
    IOCTL_TOWER_SET_LINK_MODE,
    IOCTL_TOWER_SET_PARM,
    IOCTL_TOWER_SET_RANGE,
    IOCTL_TOWER_SET_TIMEOUTS,
};

bool KnownCode(uint32_t code) {
  return std::find(std::begin(kCodes), std::end(kCodes), code) != std::end(kCodes);
}

// Every status the driver and the I/O manager give a caller of a tower.
bool KnownStatus(NTSTATUS status) {
  switch (status) {
    case STATUS_SUCCESS:
    case STATUS_TIMEOUT:
    case STATUS_DEVICE_NOT_READY:
    case STATUS_INVALID_PARAMETER:
    case STATUS_DELETE_PENDING:
    case STATUS_BUFFER_TOO_SMALL:
    case STATUS_UNSUCCESSFUL:
    case STATUS_NO_MEMORY:
    case STATUS_INSUFFICIENT_RESOURCES:
    case STATUS_DEVICE_NOT_CONNECTED:
    case STATUS_DEVICE_DATA_ERROR:
    case STATUS_CANCELLED:
      return true;
    default:
      return false;
  }
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", value);
  return text;
}

struct State {
  std::filesystem::path stateDir;
  hk::Machine* machine = nullptr;
  std::shared_ptr<PullableTower> towers[kTowers];
  std::shared_ptr<sim::TowerModel> sims[kTowers];
  // Every tower plugged since the last settle: a port cycle whose removal
  // waits for a handle brings its tower back on its own, after a fresh one
  // may have taken its place in `towers`.
  std::vector<std::shared_ptr<PullableTower>> plugged;
  hk::FileObject* files[kUnits] = {};
  size_t pool = 0;  // the driver's pool blocks with both towers idle
  size_t sinceBoot = 0;
};

State& S() {
  // Never destroyed: the fuzzer ends with exit(), after the kernel's
  // per-thread storage is gone.
  static auto* state = new State;
  return *state;
}

void PlugTower(int k) {
  State& s = S();
  sim::TowerOptions options;
  options.linkDelay = false;
  s.sims[k] = std::make_shared<sim::TowerModel>(options);
  s.towers[k] = std::make_shared<PullableTower>(s.sims[k]);
  s.plugged.push_back(s.towers[k]);
  s.machine->PlugUsb(s.towers[k], kTowerHardwareId);
}

void Check(NTSTATUS status, uint32_t bytes, uint32_t limit, const char* what) {
  if (!KnownStatus(status)) Broken(kTarget, std::string(what) + " gave status " + Hex(status));
  if (bytes > limit)
    Broken(kTarget, std::string(what) + " reported " + std::to_string(bytes) + " bytes for a " +
                        std::to_string(limit) + "-byte buffer");
}

void Control(Input& in, hk::FileObject* file) {
  const uint8_t pick = in.Byte();
  uint32_t code = kCodes[pick % std::size(kCodes)];
  if (pick >= 0xF8)
    code = in.Long();  // anything at all
  else if (pick >= 0xE8)
    code = 0x00220000u | (in.Word() & 0x3FFFu);  // the tower's device type, any function
  const uint32_t inLength = in.Length();
  const uint32_t outLength = in.Length();
  ExactBuffer input(inLength);
  ExactBuffer output(outLength);
  in.Fill(input.data(), inLength);
  // Read limits stay short, so that no read holds the run up: the values
  // still vary, and 0 (never wait) among them.
  if (code == IOCTL_TOWER_SET_TIMEOUTS && inLength >= sizeof(QIROTOWER_TIMEOUTSREC)) {
    auto* record = reinterpret_cast<QIROTOWER_TIMEOUTSREC*>(input.data());
    record->Timeout_Read_1st %= 3;
    record->Timeout_Read_ic %= 3;
  }
  uint32_t returned = 0;
  const NTSTATUS status = S().machine->io().Control(file, code, input.data(), inLength,
                                                    output.data(), outLength, &returned);
  const std::string what = "control code " + Hex(code) + " (in " + std::to_string(inLength) +
                           ", out " + std::to_string(outLength) + ")";
  Check(status, returned, outLength, what.c_str());
  if (!KnownCode(code) && NtSuccess(status)) Broken(kTarget, what + " succeeded");
}

void Read(Input& in, hk::FileObject* file) {
  const uint32_t length = in.Length();
  ExactBuffer buffer(length);
  uint32_t got = 0;
  const NTSTATUS status = S().machine->io().Read(file, buffer.data(), length, &got);
  Check(status, got, length, "a read");
}

void Write(Input& in, hk::FileObject* file) {
  const uint32_t length = in.Length();
  ExactBuffer buffer(length);
  in.Fill(buffer.data(), length);
  uint32_t put = 0;
  const NTSTATUS status = S().machine->io().Write(file, buffer.data(), length, &put);
  Check(status, put, length, "a write");
}

// A request in flight when its handle is cancelled or closed: it still
// completes, once.
void InFlight(Input& in, hk::FileObject*& file) {
  State& s = S();
  const uint8_t how = in.Byte();
  const uint32_t length = in.Length();
  ExactBuffer buffer(length);
  std::unique_ptr<hk::PendingIo> io;
  if ((how & 1) != 0) {
    io = s.machine->io().ReadAsync(file, buffer.data(), length);
  } else {
    in.Fill(buffer.data(), length);
    io = s.machine->io().WriteAsync(file, buffer.data(), length);
  }
  if ((how & 2) != 0) {
    s.machine->io().CancelIo(file);
  } else {
    s.machine->io().Close(file);
    file = nullptr;
  }
  if (!io->Wait(std::chrono::seconds(10))) Broken(kTarget, "a request in flight never completed");
  Check(io->status(), static_cast<uint32_t>(io->information()), length, "a request in flight");
}

void Inject(Input& in, int k) {
  std::vector<uint8_t> bytes(in.Byte() % 40);
  in.Fill(bytes.data(), bytes.size());
  S().sims[k]->Inject(bytes);
}

void CloseAll() {
  State& s = S();
  for (auto& file : s.files) {
    if (file != nullptr) s.machine->io().Close(file);
    file = nullptr;
  }
}

// Back to two idle towers on units 1 and 2, whatever the input did.
void Settle() {
  State& s = S();
  CloseAll();
  s.machine->SettlePnp();
  size_t present = 0;
  for (const auto& tower : s.plugged) present += tower->Plugged() ? 1 : 0;
  const bool replug = present != kTowers;
  auto& kernel = s.machine->kernel();
  if (replug || !kernel.LinkExists(LinkOf(1)) || !kernel.LinkExists(LinkOf(2)) ||
      kernel.LinkExists(LinkOf(3))) {
    for (auto& tower : s.plugged) tower->Pull();
    s.machine->SettlePnp();
    s.plugged.clear();
    for (int k = 0; k < kTowers; ++k) PlugTower(k);
    s.machine->SettlePnp();
  }
}

void Verify(const char* when) {
  State& s = S();
  for (uint32_t unit = 1; unit <= kTowers; ++unit) {
    const std::string why = TowerWorks(*s.machine, unit);
    if (!why.empty())
      Broken(kTarget, std::string(when) + ": tower " + std::to_string(unit) + ": " + why);
  }
  if (s.machine->kernel().verifier().Count() != 0)
    Broken(kTarget, std::string(when) + ": verifier: " + s.machine->kernel().verifier().Take()[0]);
  s.machine->bus().Drain();
  const size_t pool = DriverPoolBlocks(*s.machine);
  if (pool != s.pool)
    Broken(kTarget, std::string(when) + ": the driver holds " + std::to_string(pool) +
                        " pool blocks, " + std::to_string(s.pool) + " after boot");
}

}  // namespace

bool Start() {
  State& s = S();
  if (s.machine != nullptr) return true;
  s.stateDir = StateDir("usermode-fuzz");
  s.machine = Boot(s.stateDir);
  if (s.machine == nullptr) return false;
  for (int k = 0; k < kTowers; ++k) PlugTower(k);
  s.machine->SettlePnp();
  s.machine->bus().Drain();
  s.pool = DriverPoolBlocks(*s.machine);
  Verify("after boot");
  return true;
}

void RunOne(const uint8_t* data, size_t size) {
  State& s = S();
  // The machine keeps a record of every device it saw; a fresh machine now
  // and then keeps millions of inputs within memory.
  if (++s.sinceBoot >= kInputsPerBoot) {
    s.sinceBoot = 0;
    const auto found = Stop();
    if (!found.empty()) Broken(kTarget, "verifier at shutdown: " + found.front());
    if (!Start()) Broken(kTarget, "the machine did not boot again");
  }
  Input in(data, size);
  for (int op = 0; op < kMaxOperations && !in.Empty(); ++op) {
    const uint8_t pick = in.Byte();
    const int unit = (pick >> 4) % kUnits;
    hk::FileObject*& file = s.files[unit];
    switch (pick % 12) {
      case 0: {
        hk::FileObject* opened = nullptr;
        const NTSTATUS status = s.machine->io().Open(LinkOf(unit + 1), &opened);
        if (NtSuccess(status) && file != nullptr)
          Broken(kTarget, "a second handle opened on an exclusive tower");
        if (NtSuccess(status)) file = opened;
        break;
      }
      case 1:
        if (file != nullptr) s.machine->io().Close(file);
        file = nullptr;
        break;
      case 2:
      case 3:
      case 4:
        if (file != nullptr) Control(in, file);
        break;
      case 5:
        if (file != nullptr) Read(in, file);
        break;
      case 6:
        if (file != nullptr) Write(in, file);
        break;
      case 7:
        Inject(in, unit % kTowers);
        break;
      case 8:
        if (file != nullptr) InFlight(in, file);
        break;
      case 9:
        s.towers[unit % kTowers]->Pull();
        s.machine->SettlePnp();
        break;
      case 10:
        for (int k = 0; k < kTowers; ++k)
          if (!s.towers[k]->Plugged()) PlugTower(k);
        break;
      default:
        s.machine->SettlePnp();
        break;
    }
  }
  Settle();
  Verify("after the input");
}

std::vector<std::string> Stop() {
  State& s = S();
  CloseAll();
  auto found = Shutdown(s.machine, s.stateDir);
  s.machine = nullptr;
  for (auto& tower : s.towers) tower.reset();
  s.plugged.clear();
  for (auto& sim : s.sims) sim.reset();
  return found;
}

}  // namespace towerfuzz::target
