#include "host_machine.h"

#include <unistd.h>

#include <cstdio>

#include "kernel/machine.h"
#include "sim/tower.h"
#include "tower/ids.h"

namespace towerctl {

namespace {

constexpr char kService[] = "QIROUSBTower";

std::string InterfaceClassText() {
  const tower::Guid& g = tower::GUID_DEVINTERFACE_TOWER;
  char text[40];
  std::snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

}  // namespace

HostMachine::HostMachine() = default;

HostMachine::~HostMachine() { Shutdown(); }

bool HostMachine::Boot(const Options& options) {
  stateDir_ = options.stateDir;
  if (stateDir_.empty()) {
    stateDir_ = std::filesystem::temp_directory_path() /
                ("towerctl-" + std::to_string(static_cast<long>(getpid())));
    std::filesystem::remove_all(stateDir_);
    removeStateDir_ = true;
  }
  machine_ = std::make_unique<hk::Machine>(hk::Machine::Options{stateDir_, false});
  if (!tower::NtSuccess(machine_->LoadDriver(kService, TOWER_DRIVER_MODULE))) {
    std::fprintf(stderr, "towerctl: the driver did not load\n");
    return false;
  }
  // As the driver's setup information installs it.
  machine_->BindHardwareId(tower::kTowerHardwareId, kService, "QIRO USB Tower", "QIRO",
                           "1.0.0.160");
  for (int i = 0; i < options.towers; ++i)
    if (Plug(options.silent) == 0) return false;
  return true;
}

int HostMachine::Plug(bool silent) {
  sim::TowerOptions options;
  // A lone tower in front of nothing sees its own light.
  options.farSide = silent ? sim::FarSide::Silence : sim::FarSide::Loopback;
  Slot slot;
  slot.model = std::make_shared<sim::TowerModel>(options);
  NTSTATUS status = tower::STATUS_SUCCESS;
  hk::DeviceObject* physical = machine_->PlugUsb(slot.model, tower::kTowerHardwareId, &status);
  if (physical == nullptr || !tower::NtSuccess(status)) {
    std::fprintf(stderr, "towerctl: the tower did not start (status 0x%08X)\n",
                 static_cast<unsigned>(status));
    return 0;
  }
  slot.instanceId = physical->instanceId;
  slot.plugged = true;
  slots_.push_back(std::move(slot));
  return static_cast<int>(slots_.size());
}

std::string HostMachine::PathOf(const Slot& slot) {
  for (const auto& i : machine_->kernel().Interfaces(InterfaceClassText(), false))
    if (i.instanceId == slot.instanceId) {
      std::string path = hk::ToU8(i.link);
      if (path.rfind("\\??\\", 0) == 0) path = "\\\\?\\" + path.substr(4);
      return path;
    }
  return "";
}

bool HostMachine::Unplug(int slot, Session& session) {
  if (slot < 1 || slot > static_cast<int>(slots_.size()) || !slots_[slot - 1].plugged) {
    std::fprintf(stderr, "towerctl: no simulated tower is plugged in slot %d\n", slot);
    return false;
  }
  Slot& s = slots_[slot - 1];
  // The driver removes the tower once its last handle is closed.
  session.Close(PathOf(s));
  machine_->SettlePnp();
  hk::DeviceObject* physical = nullptr;
  {
    std::lock_guard<std::recursive_mutex> lock(machine_->tree().mutex());
    if (hk::DevNode* node = machine_->tree().Find(s.instanceId)) physical = node->physical;
  }
  if (physical != nullptr) machine_->Unplug(physical);
  machine_->SettlePnp();
  s.plugged = false;
  return true;
}

void HostMachine::PrintTowers() {
  for (size_t i = 0; i < slots_.size(); ++i)
    std::printf("slot %zu: %s %s\n", i + 1, slots_[i].plugged ? "plugged  " : "unplugged",
                PathOf(slots_[i]).c_str());
}

void HostMachine::Settle() {
  if (machine_) machine_->SettlePnp();
}

bool HostMachine::Shutdown() {
  if (!machine_) return true;
  const std::vector<std::string> violations = machine_->Shutdown();
  for (const auto& v : violations) std::fprintf(stderr, "towerctl: verifier: %s\n", v.c_str());
  machine_.reset();
  slots_.clear();
  if (removeStateDir_) std::filesystem::remove_all(stateDir_);
  return violations.empty();
}

}  // namespace towerctl
