#include "host_machine.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include <nlohmann/json.hpp>

#include "resource.h"
#include "win32/host_process.h"
#include "win32/host_ui.h"
#include "win32/windows.h"

#include <libusb-1.0/libusb.h>

#include "kernel/machine.h"
#include "sim/tower.h"
#include "tower/ids.h"
#include "usb/libusb/watcher.h"

namespace towerctl {

namespace {

constexpr char kService[] = "QIROUSBTower";

using Json = nlohmann::json;

// The settings of a simulated tower, as the towers file keeps them.
Json SettingsJson(const sim::Settings& s) {
  return Json{{"link", s.linkMode},
              {"range", s.range},
              {"endian", s.endianness},
              {"led_mode", s.ledMode},
              {"leds", s.leds},
              {"irc_packet", s.ircPacketSize},
              {"irc_time", s.ircTimeFrame},
              {"tx_speed", s.txSpeed},
              {"rx_speed", s.rxSpeed},
              {"carrier", s.carrierFrequency},
              {"duty", s.dutyCycle}};
}

// A file someone else edited may lack keys or hold wrong types: what is
// missing keeps the factory value.
sim::Settings SettingsFrom(const Json& j) {
  sim::Settings s;
  auto take = [&](const char* key, auto& field) {
    if (j.contains(key)) field = j.at(key).get<std::remove_reference_t<decltype(field)>>();
  };
  take("link", s.linkMode);
  take("range", s.range);
  take("endian", s.endianness);
  take("led_mode", s.ledMode);
  take("leds", s.leds);
  take("irc_packet", s.ircPacketSize);
  take("irc_time", s.ircTimeFrame);
  take("tx_speed", s.txSpeed);
  take("rx_speed", s.rxSpeed);
  take("carrier", s.carrierFrequency);
  take("duty", s.dutyCycle);
  return s;
}

// The deliverables' folder: where the linked access library was loaded from,
// as the program's run path chose it (the build's module directory, or the
// installed one). The driver, the installer, the applet and the driver's
// setup information lie there, so a build tree and an installed towerctl
// each use their own.
std::filesystem::path ModuleDir() {
  char path[4096];
  const DWORD n = GetModuleFileNameA(GetModuleHandleA("Tavrix.dll"), path, sizeof(path));
  if (n == 0 || n >= sizeof(path) - 1) return {};
  return std::filesystem::path(path).parent_path();
}

std::string DriverModule() { return (ModuleDir() / TOWER_DRIVER_FILE).string(); }

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

HostMachine::~HostMachine() {
  // A destructor must not throw: saving the towers can (a full disk).
  try {
    Shutdown();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "towerctl: shutting the machine down: %s\n", e.what());
  }
  if (lockFd_ >= 0) ::close(lockFd_);
}

bool HostMachine::Boot(const Options& options) {
  stateDir_ = options.stateDir;
  if (stateDir_.empty()) {
    stateDir_ = std::filesystem::temp_directory_path() /
                ("towerctl-" + std::to_string(static_cast<long>(getpid())));
    std::filesystem::remove_all(stateDir_);
    removeStateDir_ = true;
  }
  // One machine at a time in a kept state directory: a second towerctl waits
  // rather than booting the same registry and towers beside the first.
  if (!removeStateDir_) {
    const std::string lockFile = (stateDir_ / "lock").string();
    lockFd_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd_ < 0) {
      std::fprintf(stderr, "towerctl: cannot create %s\n", lockFile.c_str());
      return false;
    }
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
      std::fprintf(stderr, "towerctl: waiting for another towerctl using %s\n",
                   stateDir_.string().c_str());
      ::flock(lockFd_, LOCK_EX);
    }
  }
  // The towers a kept state directory remembers; a damaged file is reported
  // and the machine starts with factory towers.
  Json saved = Json::array();
  const std::filesystem::path towersFile = stateDir_ / kTowersFile;
  if (!removeStateDir_ && std::filesystem::exists(towersFile)) {
    try {
      std::ifstream in(towersFile);
      Json file = Json::parse(in);
      if (file.contains("towers") && file["towers"].is_array()) saved = file["towers"];
    } catch (const std::exception& e) {
      std::fprintf(stderr, "towerctl: %s is damaged (%s); starting with factory towers\n",
                   towersFile.string().c_str(), e.what());
      saved = Json::array();
    }
  }
  machine_ = std::make_unique<hk::Machine>(hk::Machine::Options{stateDir_, false});
  const std::string driver = DriverModule();
  if (!tower::NtSuccess(machine_->LoadDriver(kService, driver.c_str()))) {
    std::fprintf(stderr, "towerctl: the driver did not load from %s\n", driver.c_str());
    return false;
  }
  setupWay_ = options.setupWay;
  if (setupWay_) {
    // The driver comes with its package; the host's build of it stands in
    // for the INF's Ostrel.sys.
    machine_->loader().RegisterImage("Ostrel.sys", driver.c_str());
  } else {
    // As the driver's setup information installs it.
    machine_->BindHardwareId(tower::kTowerHardwareId, kService, "QIRO USB Tower", "QIRO",
                             "1.0.0.160");
  }
  if (options.usb) return StartUsb();
  const int towers = options.towers != 0 ? options.towers
                     : saved.empty()     ? 1
                                         : static_cast<int>(saved.size());
  for (int i = 0; i < towers; ++i) {
    const bool keptTower = i < static_cast<int>(saved.size()) && saved[i].is_object();
    bool silent = options.silent;
    if (keptTower && options.towers == 0 && !options.silent)
      silent = saved[i].value("silent", false);
    // A tower waiting for its driver has no number yet; it still counts.
    if (Plug(silent) == 0 && !setupWay_) return false;
    if (!keptTower) continue;
    // The simulated tower stayed powered between commands: its settings are
    // as the last command left them.
    try {
      const sim::Settings settings = SettingsFrom(saved[i].value("settings", Json::object()));
      slots_.back().model->ChangeSettings([&](sim::Settings& s) { s = settings; });
    } catch (const std::exception& e) {
      std::fprintf(stderr, "towerctl: tower %d's kept settings are damaged (%s)\n", i + 1,
                   e.what());
    }
  }
  return true;
}

bool HostMachine::StartUsb() {
  usb_ = std::make_unique<hk::usb::LibusbWatcher>(*machine_);
  std::string error;
  if (!usb_->Start(&error)) {
    std::fprintf(stderr, "towerctl: %s\n", error.c_str());
    return false;
  }
  // The towers already plugged in arrive during the start; each is on the
  // machine's bus, with its driver started, once the watch has settled.
  usb_->Settle();
  machine_->SettlePnp();
  for (const auto& refused : usb_->Refusals()) {
    char node[32];
    std::snprintf(node, sizeof(node), "/dev/bus/usb/%03u/%03u", refused.bus, refused.address);
    // An installed towerctl comes with its udev rule: the tower then only
    // needs to arrive again, by a user the rule gives it to.
    std::error_code noRule;
    const std::filesystem::path installedRule =
        (ModuleDir() / TOWER_UDEV_RULE_FROM_MODULES).lexically_normal();
    if (refused.libusbError == LIBUSB_ERROR_ACCESS &&
        std::filesystem::exists(installedRule, noRule)) {
      std::fprintf(stderr,
                   "towerctl: the tower at %s cannot be opened: no permission on the device "
                   "node.\n"
                   "The udev rule %s gives towers to the user at the seat and to the group "
                   "plugdev: unplug the tower and plug it in again. Logged in from elsewhere, "
                   "join plugdev first (sudo adduser $USER plugdev, then log in again).\n"
                   "(or run towerctl as root)\n",
                   node, installedRule.c_str());
    } else if (refused.libusbError == LIBUSB_ERROR_ACCESS) {
      std::fprintf(stderr,
                   "towerctl: the tower at %s cannot be opened: no permission on the device "
                   "node.\n"
                   "Install the udev rule that lets the logged-in user open towers, then unplug "
                   "the tower and plug it in again:\n"
                   "  sudo install -m 644 %s /etc/udev/rules.d/ && sudo udevadm control "
                   "--reload-rules\n"
                   "(or run towerctl as root)\n",
                   node, TOWER_UDEV_RULE);
    } else if (refused.libusbError == LIBUSB_ERROR_BUSY) {
      std::fprintf(stderr,
                   "towerctl: the tower at %s is held by another program (libusb: %s); close "
                   "it and try again\n",
                   node, libusb_strerror(refused.libusbError));
    } else {
      std::fprintf(
          stderr, "towerctl: the tower at %s cannot be used (libusb: %s)\n", node,
          refused.libusbError != 0 ? libusb_strerror(refused.libusbError) : "it did not start");
    }
  }
  if (usb_->Present() != 0) return true;
  if (!usb_->Refusals().empty()) return false;
  std::fprintf(stderr,
               "towerctl: no tower is plugged into this computer's USB (looked for 0f5c:0001 "
               "through libusb).\n"
               "Plug one in and run the command again; 'lsusb -d 0f5c:0001' shows whether Linux "
               "sees it.\n");
  failureCode_ = kExitNotFound;
  return false;
}

void HostMachine::SaveTowers() {
  Json towers = Json::array();
  for (const auto& slot : slots_)
    if (slot.plugged)
      towers.push_back(
          Json{{"silent", slot.silent}, {"settings", SettingsJson(slot.model->CurrentSettings())}});
  // Written aside and renamed over: an interrupted write leaves the old file.
  const std::filesystem::path file = stateDir_ / kTowersFile;
  std::filesystem::path temporary = file;
  temporary += ".new";
  {
    std::ofstream out(temporary);
    out << Json{{"towers", towers}}.dump(2) << "\n";
    if (!out) {
      std::fprintf(stderr, "towerctl: cannot write %s\n", temporary.string().c_str());
      return;
    }
  }
  std::error_code error;
  std::filesystem::rename(temporary, file, error);
  if (error)
    std::fprintf(stderr, "towerctl: cannot write %s: %s\n", file.string().c_str(),
                 error.message().c_str());
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
    const unsigned problem = machine_->NodeOf(physical)->problem;
    Step("plugged", "a tower, no driver for it yet (problem " + std::to_string(problem) + ")",
         nlohmann::ordered_json{{"driver", false}, {"problem", problem}});
  } else if (physical == nullptr || !tower::NtSuccess(status)) {
    std::fprintf(stderr, "towerctl: the tower did not start (status 0x%08X)\n",
                 static_cast<unsigned>(status));
    return 0;
  }
  slot.instanceId = physical->instanceId;
  slot.plugged = true;
  slot.silent = silent;
  slots_.push_back(std::move(slot));
  machine_->SettlePnp();
  return NumberOf(PathOf(slots_.back()));
}

int HostMachine::NumberOf(const std::string& path) {
  QIROTOWER_FIND* find = QIROTowerFindFirst(QIROTOWER_FIND_PRESENT);
  if (find == nullptr) return 0;
  int number = 0;
  for (int n = 1; number == 0; ++n) {
    if (path == QIROTowerGetPathName(find)) number = n;
    if (!QIROTowerFindNext(find)) break;
  }
  QIROTowerFindStop(find);
  return number;
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

bool HostMachine::Unplug(int n, Session& session) {
  Slot* s = nullptr;
  for (auto& slot : slots_)
    if (slot.plugged && n != 0 && NumberOf(PathOf(slot)) == n) s = &slot;
  if (s == nullptr) {
    std::fprintf(stderr, "towerctl: there is no simulated tower %d ('towers' lists them)\n", n);
    return false;
  }
  // The driver removes the tower once its last handle is closed.
  session.Close(PathOf(*s));
  machine_->SettlePnp();
  hk::DeviceObject* physical = nullptr;
  {
    std::lock_guard<std::recursive_mutex> lock(machine_->tree().mutex());
    if (hk::DevNode* node = machine_->tree().Find(s->instanceId)) physical = node->physical;
  }
  if (physical != nullptr) machine_->Unplug(physical);
  machine_->SettlePnp();
  s->plugged = false;
  return true;
}

void HostMachine::PrintTowers(const Output& out) {
  nlohmann::ordered_json towers = nlohmann::ordered_json::array();
  for (const auto& slot : slots_)
    if (slot.plugged) {
      const std::string path = PathOf(slot);
      towers.push_back({{"tower", NumberOf(path)},
                        {"simulated", true},
                        {"far_side", slot.silent ? "silence" : "loopback"},
                        {"path", path}});
      if (!out.json)
        std::printf("tower %d: simulated, %s, %s\n", NumberOf(path),
                    slot.silent ? "silent (hears nothing)" : "loopback (hears itself)",
                    path.c_str());
    }
  if (out.json) Emit({{"towers", towers}});
}

namespace {

void ShowMessages() {
  for (const auto& box : win32ui::MessageBoxes())
    Step("message", "[" + box.caption + "] " + box.text,
         nlohmann::ordered_json{{"caption", box.caption}, {"text", box.text}}, true);
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
  const std::filesystem::path modules = ModuleDir();
  std::filesystem::copy_file(modules / "Ostrel.inf", *setup / "Ostrel.inf", overwrite, ec);
  std::filesystem::copy_file(DriverModule(), *setup / "Ostrel.sys", overwrite, ec);
  std::filesystem::copy_file(modules / "installer.exe", *setup / "installer.exe", overwrite, ec);
  // The setup library travels with its installer, as on the Windows medium.
  // On the host the installer's run path finds it there: an installed
  // towerctl's modules name only their own folder, which the medium is not.
  std::filesystem::copy_file(modules / "Quenta.dll", *setup / "Quenta.dll", overwrite, ec);
  std::ofstream(*setup / "Ostrel.chm", std::ios::binary) << "help";
  win32ui::Reset();
  win32ui::QueueAnswer(IDOK);  // the user agrees
  const int code = Win32HostRunProgram("C:\\SETUP\\installer.exe");
  ShowMessages();
  Step("installer", "exit code " + std::to_string(code),
       nlohmann::ordered_json{{"exit_code", code}});
  return code == 0;
}

bool HostMachine::UninstallWithApplet() {
  const char appletPath[] = "C:\\WINDOWS\\SYSTEM32\\Ostrel.cpl";
  const auto host = machine_->files().HostPath(appletPath);
  std::error_code ec;
  if (!host) return false;
  std::filesystem::copy_file(ModuleDir() / "Ostrel.cpl", *host,
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
  const bool pending = std::filesystem::exists(*host, ec);
  Step("uninstalled",
       std::to_string(left) + " tower entries left; " + appletPath +
           (pending ? " goes at the next restart" : " deleted"),
       nlohmann::ordered_json{{"tower_entries_left", left},
                              {"applet", appletPath},
                              {"applet_file", pending ? "goes at the next restart" : "deleted"}});
  return pressed && left == 0;
}

void HostMachine::Settle() {
  if (machine_) machine_->SettlePnp();
}

bool HostMachine::Shutdown() {
  if (!machine_) return true;
  // The real towers leave the machine before it shuts down; the kept
  // simulated towers were not plugged, so their file stays as it is.
  if (usb_) {
    usb_->Stop();
    usb_.reset();
  } else if (!removeStateDir_) {
    SaveTowers();
  }
  const std::vector<std::string> violations = machine_->Shutdown();
  for (const auto& v : violations) std::fprintf(stderr, "towerctl: verifier: %s\n", v.c_str());
  machine_.reset();
  slots_.clear();
  if (removeStateDir_) std::filesystem::remove_all(stateDir_);
  if (lockFd_ >= 0) ::close(lockFd_);  // closing lets the lock go
  lockFd_ = -1;
  return violations.empty();
}

}  // namespace towerctl
