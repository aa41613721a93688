#include "host_machine.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "resource.h"
#include "win32/host_process.h"
#include "win32/host_ui.h"
#include "win32/windows.h"

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
  setupWay_ = options.setupWay;
  if (setupWay_) {
    // The driver comes with its package; the host's build of it stands in
    // for the INF's Ostrel.sys.
    machine_->loader().RegisterImage("Ostrel.sys", TOWER_DRIVER_MODULE);
  } else {
    // As the driver's setup information installs it.
    machine_->BindHardwareId(tower::kTowerHardwareId, kService, "QIRO USB Tower", "QIRO",
                             "1.0.0.160");
  }
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
  if (physical != nullptr && setupWay_ && !tower::NtSuccess(status)) {
    std::printf("plugged:     a tower, no driver for it yet (problem %u)\n",
                static_cast<unsigned>(machine_->NodeOf(physical)->problem));
  } else if (physical == nullptr || !tower::NtSuccess(status)) {
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

namespace {

void ShowMessages() {
  for (const auto& box : win32ui::MessageBoxes())
    std::printf("message:     [%s] %s\n", box.caption.c_str(), box.text.c_str());
  win32ui::Reset();
}

size_t TowerEntries(hk::Machine& machine) {
  size_t count = 0;
  std::lock_guard<std::recursive_mutex> lock(machine.tree().mutex());
  for (hk::DevNode* node : machine.tree().Nodes())
    if (!node->removed && node->instanceId.rfind("USB\\VID_0F5C&PID_0001\\", 0) == 0) ++count;
  return count;
}

}  // namespace

bool HostMachine::InstallWithInstaller() {
  // The driver's medium: the INF, the driver, the help file and the
  // installer, in C:\SETUP.
  const auto setup = machine_->files().HostPath("C:\\SETUP");
  if (!setup) return false;
  std::error_code ec;
  std::filesystem::create_directories(*setup, ec);
  const auto overwrite = std::filesystem::copy_options::overwrite_existing;
  std::filesystem::copy_file(TOWER_INF_FILE, *setup / "Ostrel.inf", overwrite, ec);
  std::filesystem::copy_file(TOWER_DRIVER_MODULE, *setup / "Ostrel.sys", overwrite, ec);
  std::filesystem::copy_file(std::filesystem::path(TOWER_MODULE_DIR) / "installer.exe",
                             *setup / "installer.exe", overwrite, ec);
  std::ofstream(*setup / "Ostrel.chm", std::ios::binary) << "help";
  win32ui::Reset();
  win32ui::QueueAnswer(IDOK);  // the user agrees
  const int code = Win32HostRunProgram("C:\\SETUP\\installer.exe");
  ShowMessages();
  std::printf("installer:   exit code %d\n", code);
  return code == 0;
}

bool HostMachine::UninstallWithApplet() {
  const char appletPath[] = "C:\\WINDOWS\\SYSTEM32\\Ostrel.cpl";
  const auto host = machine_->files().HostPath(appletPath);
  std::error_code ec;
  if (!host) return false;
  std::filesystem::copy_file(std::filesystem::path(TOWER_MODULE_DIR) / "Ostrel.cpl", *host,
                             std::filesystem::copy_options::overwrite_existing, ec);
  HMODULE applet = LoadLibraryA(appletPath);
  if (applet == nullptr) return false;
  auto cpl =
      reinterpret_cast<APPLET_PROC>(reinterpret_cast<void*>(GetProcAddress(applet, "CPlApplet")));
  bool pressed = false;
  if (cpl != nullptr && cpl(nullptr, CPL_INIT, 0, 0) == 1) {
    win32ui::Reset();
    win32ui::QueueAnswer(IDYES);  // "Are you sure...?"
    win32ui::SetPerson([&pressed](HWND sheet) {
      pressed = win32ui::Click(win32ui::Page(sheet, 0), IDC_UNINSTALL);
    });
    cpl(nullptr, CPL_DBLCLK, 0, 0);
    cpl(nullptr, CPL_STOP, 0, 0);
    cpl(nullptr, CPL_EXIT, 0, 0);
    ShowMessages();
  }
  FreeLibrary(applet);
  machine_->SettlePnp();
  const size_t left = TowerEntries(*machine_);
  std::printf("uninstalled: %zu tower entries left; %s %s\n", left, appletPath,
              std::filesystem::exists(*host, ec) ? "goes at the next restart" : "deleted");
  return pressed && left == 0;
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
