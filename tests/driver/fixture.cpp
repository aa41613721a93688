#include "fixture.h"

#include <unistd.h>
#include <atomic>

#include "tower/names.h"

namespace towertest {

std::filesystem::path FreshStateDir() {
  static std::atomic<int> counter{0};
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info != nullptr ? std::string(info->test_suite_name()) + "." + info->name()
                                     : std::string("test");
  for (char& c : name)
    if (c == '/') c = '_';
  auto dir = std::filesystem::temp_directory_path() /
             ("tower-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" + name);
  std::filesystem::remove_all(dir);
  return dir;
}

namespace {

std::unique_ptr<TowerBus>& InstalledBus() {
  static auto* bus = new std::unique_ptr<TowerBus>;
  return *bus;
}

}  // namespace

void UseTowerBus(std::unique_ptr<TowerBus> bus) { InstalledBus() = std::move(bus); }

void MachineTest::SetUp() {
  stateDir_ = FreshStateDir();
  Boot();
}

namespace {

void ExpectClean(hk::Machine& machine) {
  if (InstalledBus()) InstalledBus()->Leaving(machine);
  const std::vector<std::string> violations = machine.Shutdown();
  std::string all;
  for (const auto& v : violations) all += "\n  " + v;
  EXPECT_TRUE(violations.empty()) << "verifier:" << all;
}

}  // namespace

void MachineTest::Boot(bool legacyLayout) { Start(hk::Machine::Options{stateDir_, legacyLayout}); }

void MachineTest::InstallAfresh(hk::WindowsVersion windows) {
  if (machine_) ExpectClean(*machine_);
  machine_.reset();
  towers_.clear();
  std::filesystem::remove_all(stateDir_);
  Start(hk::Machine::Options{stateDir_, false, windows});
}

void MachineTest::Start(const hk::Machine::Options& options) {
  if (machine_) ExpectClean(*machine_);
  machine_.reset();
  machine_ = std::make_unique<hk::Machine>(options);
  // Requests that would hang a test fail it quickly instead.
  machine_->io().SetHangLimit(std::chrono::seconds(5));
  ASSERT_EQ(machine_->LoadDriver(kService, TOWER_DRIVER_MODULE), STATUS_SUCCESS);
  machine_->BindHardwareId(kTowerHardwareId, kService);
  if (InstalledBus()) InstalledBus()->Booted(*machine_);
}

void MachineTest::TearDown() {
  if (!machine_) return;
  ExpectClean(*machine_);
  machine_.reset();
  towers_.clear();
  std::filesystem::remove_all(stateDir_);
}

std::filesystem::path MachineTest::DriverModule() { return TOWER_DRIVER_MODULE; }

sim::TowerOptions MachineTest::Instant() {
  sim::TowerOptions options;
  options.linkDelay = false;
  return options;
}

hk::DeviceObject* MachineTest::PlugTower(NTSTATUS* status, sim::TowerOptions options) {
  if (InstalledBus()) {
    std::shared_ptr<sim::TowerModel> tower;
    hk::DeviceObject* physical = InstalledBus()->Plug(*machine_, options, &tower, status);
    if (tower) towers_.push_back(tower);
    return physical;
  }
  auto tower = std::make_shared<sim::TowerModel>(options);
  towers_.push_back(tower);
  return machine_->PlugUsb(tower, kTowerHardwareId, status);
}

void MachineTest::UnplugTower(hk::DeviceObject* physical) {
  if (InstalledBus()) {
    InstalledBus()->Unplug(*machine_, physical);
  } else {
    machine_->Unplug(physical);
  }
}

NTSTATUS MachineTest::OpenUnit(uint32_t unit, hk::FileObject** file) {
  char16_t link[kMaxNameChars];
  FormatLinkName(unit, false, link, kMaxNameChars);
  return machine_->io().Open(link, file);
}

uint16_t MachineTest::StateWord(hk::FileObject* file) {
  QIROTOWER_STATEREC state{};
  uint32_t returned = 0;
  EXPECT_EQ(machine_->io().Control(file, IOCTL_TOWER_GET_STATE, nullptr, 0, &state, sizeof(state),
                                   &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(returned, sizeof(state));
  return state.State;
}

bool MachineTest::LinkExists(uint32_t unit) {
  char16_t link[kMaxNameChars];
  FormatLinkName(unit, false, link, kMaxNameChars);
  return machine_->kernel().LinkExists(link);
}

TowerDevice* MachineTest::Record(uint32_t unit) {
  char16_t name[kMaxNameChars];
  FormatDeviceName(unit, name, kMaxNameChars);
  hk::DeviceObject* device = machine_->kernel().Resolve(name);
  if (device == nullptr) return nullptr;
  return *reinterpret_cast<TowerDevice**>(device->extension.data());
}

int32_t MachineTest::RingCount(uint32_t unit) {
  TowerDevice* tower = Record(unit);
  if (tower == nullptr) return -1;
  auto* state = static_cast<hk::SpinLock*>(tower->StateLock.impl);
  const int previous = state->Acquire();
  int32_t count = -1;
  if (ReceiveRing* ring = tower->ReadBuffer) {
    auto* lock = static_cast<hk::SpinLock*>(ring->Lock.impl);
    const int inner = lock->Acquire();
    count = ring->Count;
    lock->Release(inner);
  }
  state->Release(previous);
  return count;
}

NTSTATUS MachineTest::Restart(hk::DeviceObject* physical) {
  NTSTATUS status = machine_->io().SendPnp(physical, 0x05);
  if (!NtSuccess(status)) return status;
  status = machine_->io().SendPnp(physical, 0x04);
  if (!NtSuccess(status)) return status;
  return machine_->io().SendPnp(physical, 0x00);
}

}  // namespace towertest
