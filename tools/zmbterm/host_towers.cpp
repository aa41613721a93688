#include "host_towers.h"

#include <unistd.h>

#include <cstdio>
#include <string>

#include "kernel/machine.h"
#include "sim/tower.h"
#include "tower/ids.h"

namespace zmbterm {

namespace {
constexpr char kService[] = "QIROUSBTower";
}

HostTowers::HostTowers() = default;

HostTowers::~HostTowers() {
  if (!machine_) return;
  for (const auto& finding : machine_->Shutdown())
    std::fprintf(stderr, "zmbterm: verifier: %s\n", finding.c_str());
  machine_.reset();
  std::filesystem::remove_all(stateDir_);
}

bool HostTowers::Boot(const Options& options) {
  silent_ = options.silent;
  stateDir_ = std::filesystem::temp_directory_path() /
              ("zmbterm-" + std::to_string(static_cast<long>(getpid())));
  std::filesystem::remove_all(stateDir_);
  machine_ = std::make_unique<hk::Machine>(hk::Machine::Options{stateDir_, false});
  if (!tower::NtSuccess(machine_->LoadDriver(kService, TOWER_DRIVER_MODULE))) {
    std::fprintf(stderr, "zmbterm: the driver did not load\n");
    return false;
  }
  machine_->BindHardwareId(tower::kTowerHardwareId, kService);
  for (int i = 0; i < options.towers; ++i) Plug();
  return true;
}

void HostTowers::Plug() {
  sim::TowerOptions options;
  options.farSide = silent_ ? sim::FarSide::Silence : sim::FarSide::Loopback;
  tower::NTSTATUS status = 0;
  hk::DeviceObject* physical = machine_->PlugUsb(std::make_shared<sim::TowerModel>(options),
                                                 tower::kTowerHardwareId, &status);
  if (physical == nullptr || !tower::NtSuccess(status)) {
    std::printf("the simulated tower did not start (status 0x%08X)\n",
                static_cast<unsigned>(status));
    return;
  }
  slots_.push_back(physical);
  std::printf("plugged a simulated tower into slot %zu\n", slots_.size());
  std::fflush(stdout);
}

void HostTowers::Unplug(int slot) {
  if (slot < 1 || static_cast<size_t>(slot) > slots_.size() || slots_[slot - 1] == nullptr) {
    std::printf("no simulated tower in slot %d\n", slot);
    return;
  }
  // The removal finishes once the port lets go of its handle.
  machine_->Unplug(slots_[slot - 1]);
  slots_[slot - 1] = nullptr;
  std::printf("unplugged the simulated tower in slot %d\n", slot);
  std::fflush(stdout);
}

void HostTowers::Print() {
  for (size_t i = 0; i < slots_.size(); ++i)
    std::printf("slot %zu: %s\n", i + 1, slots_[i] != nullptr ? "plugged" : "unplugged");
  std::fflush(stdout);
}

}  // namespace zmbterm
