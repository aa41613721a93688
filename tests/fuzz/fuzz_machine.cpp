#include "fuzz_machine.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "tower/ids.h"
#include "tower/ioctl.h"
#include "tower/names.h"
#include "tower/ntstatus.h"

namespace towerfuzz {

uint32_t Input::Length() {
  const uint8_t pick = Byte();
  if (pick < 0xE0) return pick % 48;
  if (pick < 0xF8) return Word() % 1100;
  return Long() % 0x20000;
}

void Input::Fill(uint8_t* out, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) out[i] = Byte();
}

void PullableTower::Attach(hk::usb::Port* port) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    port_ = port;
  }
  inner_->Attach(port);
}

bool PullableTower::Pull() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (port_ == nullptr) return false;
  port_->Vanish();
  return true;
}

bool PullableTower::Plugged() {
  std::lock_guard<std::mutex> lock(mutex_);
  return port_ != nullptr;
}

void Broken(const char* target, const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", target, what.c_str());
  std::abort();
}

namespace {
constexpr char kService[] = "QIROUSBTower";
uint32_t gClockSpeed = 1;
constexpr char kParameters[] =
    "Machine\\System\\CurrentControlSet\\Services\\QIROUSBTower\\Parameters";
}  // namespace

void SetClockSpeed(uint32_t times) { gClockSpeed = times; }

std::filesystem::path StateDir(const char* name) {
  std::error_code error;
  const std::filesystem::path memory("/dev/shm");
  const std::filesystem::path base = std::filesystem::is_directory(memory, error)
                                         ? memory
                                         : std::filesystem::temp_directory_path();
  return base / (std::string(name) + "-" + std::to_string(static_cast<long>(getpid())));
}

hk::Machine* Boot(const std::filesystem::path& stateDir) {
  // The fuzzer counts coverage in every module it has seen: a module that
  // goes away between machines (the driver at each shutdown) would leave
  // its counters behind unmapped. One extra reference keeps it mapped.
  static void* keptDriver = dlopen(TOWER_DRIVER_MODULE, RTLD_NOW | RTLD_NODELETE);
  if (keptDriver == nullptr) return nullptr;
  std::filesystem::remove_all(stateDir);
  hk::Machine::Options options{stateDir};
  options.registryInMemory = true;
  auto* machine = new hk::Machine(options);
  // A request that never completes is reported by the verifier instead of
  // hanging the run.
  machine->io().SetHangLimit(std::chrono::seconds(10));
  machine->kernel().SetClockSpeed(gClockSpeed);
  machine->registry().CreateKey(kParameters);
  machine->registry().SetDword(kParameters, "Timeout_Read_1st", 1);
  machine->registry().SetDword(kParameters, "Timeout_Read_ic", 1);
  if (!tower::NtSuccess(machine->LoadDriver(kService, TOWER_DRIVER_MODULE))) {
    delete machine;
    return nullptr;
  }
  machine->BindHardwareId(tower::kTowerHardwareId, kService);
  return machine;
}

std::vector<std::string> Shutdown(hk::Machine* machine, const std::filesystem::path& stateDir) {
  std::vector<std::string> found;
  if (machine != nullptr) found = machine->Shutdown();
  delete machine;
  std::filesystem::remove_all(stateDir);
  return found;
}

std::u16string LinkOf(uint32_t unit) {
  char16_t link[tower::kMaxNameChars];
  tower::FormatLinkName(unit, false, link, tower::kMaxNameChars);
  return link;
}

namespace {

// One look at the tower behind unit N; `late` is set when what failed was a
// limit running out.
std::string LookAtTower(hk::Machine& machine, uint32_t unit, bool& late) {
  char text[80];
  hk::FileObject* file = nullptr;
  tower::NTSTATUS status = machine.io().Open(LinkOf(unit), &file);
  if (status != tower::STATUS_SUCCESS) {
    late = status == tower::STATUS_IO_TIMEOUT;
    std::snprintf(text, sizeof(text), "the open failed with 0x%08X", static_cast<unsigned>(status));
    return text;
  }
  std::string why;
  QIROTOWER_STATEREC state{};
  uint32_t returned = 0;
  status = machine.io().Control(file, IOCTL_TOWER_GET_STATE, nullptr, 0, &state, sizeof(state),
                                &returned);
  if (status != tower::STATUS_SUCCESS || returned != sizeof(state) || state.State != 15)
    why = "its state is not 15";
  QIROTOWER_VERSION version{};
  status = machine.io().Control(file, IOCTL_TOWER_GET_VERSION, nullptr, 0, &version,
                                sizeof(version), &returned);
  if (why.empty() && (status != tower::STATUS_SUCCESS || returned != sizeof(version))) {
    late = status == tower::STATUS_TIMEOUT;
    std::snprintf(text, sizeof(text), "it does not answer its version (0x%08X, %u bytes)",
                  static_cast<unsigned>(status), static_cast<unsigned>(returned));
    why = text;
  }
  if (machine.io().Close(file) != tower::STATUS_SUCCESS && why.empty()) why = "the close failed";
  return why;
}

}  // namespace

std::string TowerWorks(hk::Machine& machine, uint32_t unit) {
  // A good tower answers at once, but its answer reaches the driver through
  // the bus's thread; on a loaded machine with the driver's clock sped up,
  // that trip can outlast a limit. A tower that is really broken stays
  // broken: a limit that runs out is looked at again, a few times.
  std::string why;
  for (int look = 0; look < 4; ++look) {
    bool late = false;
    why = LookAtTower(machine, unit, late);
    if (why.empty() || !late) return why;
  }
  return why + ", four times";
}

size_t DriverPoolBlocks(hk::Machine& machine) {
  return machine.kernel().PoolBlocks(tower::kPoolTag);
}

}  // namespace towerfuzz
