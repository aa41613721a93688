// The host machine towerctl runs the library on: the driver loaded, and
// simulated towers plugged in and out.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"

namespace hk {
class Machine;
struct DeviceObject;
namespace usb {
class LibusbWatcher;
}
}  // namespace hk

namespace sim {
class TowerModel;
}

namespace towerctl {

class HostMachine {
 public:
  struct Options {
    std::filesystem::path stateDir;  // empty: a fresh one, removed at the end
    int towers = 0;                  // 0: the towers the state directory kept, or one
    bool silent = false;             // the far side of each tower's link: silence, not loopback
    // The driver is not bound at boot: a tower waits (problem 28) until the
    // installer has installed the driver package.
    bool setupWay = false;
    // The towers on this computer's USB, through libusb, instead of
    // simulated ones (the kept simulated towers stay as they are).
    bool usb = false;
  };
  // The file in the state directory that keeps the simulated towers (how
  // many, their far side and their settings) from one command to the next.
  static constexpr char kTowersFile[] = "towers.json";
  HostMachine();
  ~HostMachine();
  HostMachine(const HostMachine&) = delete;
  HostMachine& operator=(const HostMachine&) = delete;

  // Boots the machine with the driver and the towers; false after a report,
  // with the exit code in FailureCode().
  bool Boot(const Options& options);
  int FailureCode() const { return failureCode_; }
  // Plugs one more simulated tower; its tower number (as `list` counts), or 0.
  int Plug(bool silent);
  // Unplugs tower n (as `list` counts), closing the session's handle on it first.
  bool Unplug(int n, Session& session);
  // The simulated towers that are plugged in: tower number, far side, path.
  void PrintTowers();
  // Waits until the Plug and Play work asked for so far (restarts) is done.
  void Settle();
  // Runs the installer from the machine's drive with the user's consent and
  // shows its messages; true when it installed the driver.
  bool InstallWithInstaller();
  // Presses the applet's "&Uninstall..." button and answers Yes; true when
  // no tower entry is left.
  bool UninstallWithApplet();
  // Shuts the machine down; false when the verifier found anything.
  bool Shutdown();

 private:
  struct Slot {
    std::shared_ptr<sim::TowerModel> model;
    // The tower's device instance: a restart brings it back as a new device
    // object on the same port, under the same instance.
    std::string instanceId;
    bool plugged = false;
    bool silent = false;
  };
  std::string PathOf(const Slot& slot);
  // Tower number of a device path among the present towers; 0 when absent.
  static int NumberOf(const std::string& path);
  void SaveTowers();

  std::filesystem::path stateDir_;
  bool removeStateDir_ = false;
  int lockFd_ = -1;  // holds the kept state directory's lock
  bool setupWay_ = false;
  // Real towers: their watch starts with the machine and stops before it.
  bool StartUsb();
  int failureCode_ = 1;
  std::unique_ptr<hk::Machine> machine_;
  std::unique_ptr<hk::usb::LibusbWatcher> usb_;
  std::vector<Slot> slots_;
};

}  // namespace towerctl
