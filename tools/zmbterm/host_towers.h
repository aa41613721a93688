// The host machine under zmbterm: the driver and simulated towers, plugged
// and unplugged from the terminal.
#pragma once

#include <filesystem>
#include <memory>
#include <vector>

namespace hk {
class Machine;
struct DeviceObject;
}  // namespace hk

namespace zmbterm {

class HostTowers {
 public:
  struct Options {
    int towers = 1;
    bool silent = false;  // the far side hears nothing instead of the tower's own light
  };
  HostTowers();
  ~HostTowers();
  HostTowers(const HostTowers&) = delete;
  HostTowers& operator=(const HostTowers&) = delete;

  bool Boot(const Options& options);
  void Plug();
  void Unplug(int slot);
  void Print();

 private:
  std::filesystem::path stateDir_;
  std::unique_ptr<hk::Machine> machine_;
  bool silent_ = false;
  std::vector<hk::DeviceObject*> slots_;  // null once unplugged
};

}  // namespace zmbterm
