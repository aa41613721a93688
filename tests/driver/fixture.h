// A host machine with the tower driver loaded, for tests that drive the
// driver through handles, Plug and Play and power requests.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "device.h"
#include "kernel/machine.h"
#include "sim/tower.h"
#include "tower/ids.h"
#include "tower/ioctl.h"
#include "tower/ntstatus.h"

namespace towertest {

using namespace tower;

inline constexpr char kService[] = "QIROUSBTower";
inline constexpr char kParameters[] =
    "Machine\\System\\CurrentControlSet\\Services\\QIROUSBTower\\Parameters";

// A fresh, empty state directory per test.
std::filesystem::path FreshStateDir();

// The bus PlugTower puts towers on. Without one installed they go straight
// onto the machine's simulated bus; the libusb runs of the same tests
// install one that goes through the libusb stand-in and the libusb backend.
class TowerBus {
 public:
  virtual ~TowerBus() = default;
  // The machine has booted, with the driver loaded.
  virtual void Booted(hk::Machine& machine) = 0;
  // The machine is about to shut down: the bus lets go of it.
  virtual void Leaving(hk::Machine& machine) = 0;
  // A tower with these options is plugged in and has arrived on the
  // machine's bus; its physical device (null if it never arrived).
  virtual hk::DeviceObject* Plug(hk::Machine& machine, const sim::TowerOptions& options,
                                 std::shared_ptr<sim::TowerModel>* tower, NTSTATUS* status) = 0;
  // The tower behind `physical` is pulled out; returns once the machine
  // has carried out the surprise removal.
  virtual void Unplug(hk::Machine& machine, hk::DeviceObject* physical) = 0;
};
// Installs the bus for every test of the process (null: the simulated one).
void UseTowerBus(std::unique_ptr<TowerBus> bus);

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // Shuts the machine down and fails the test for anything the verifier found.
  void TearDown() override;

  void Boot(bool legacyLayout = false);
  // The machine replaced by a fresh installation of another Windows: a new
  // drive and registry, the driver loaded again.
  void InstallAfresh(hk::WindowsVersion windows);
  // Starts a machine on the state directory, the driver loaded.
  void Start(const hk::Machine::Options& options);
  // Plugs a simulated tower (an instant link unless the options say
  // otherwise) and returns its physical device.
  hk::DeviceObject* PlugTower(NTSTATUS* status = nullptr, sim::TowerOptions options = Instant());
  static sim::TowerOptions Instant();
  // The driver's module, as the machine loads it.
  static std::filesystem::path DriverModule();
  // Pulls a tower out: what it held fails, then surprise removal.
  void UnplugTower(hk::DeviceObject* physical);
  // The simulated tower plugged n-th (from 0).
  sim::TowerModel& Tower(size_t n = 0) { return *towers_.at(n); }
  // Opens \??\QIROTOWERn.
  NTSTATUS OpenUnit(uint32_t unit, hk::FileObject** file);
  uint16_t StateWord(hk::FileObject* file);
  bool LinkExists(uint32_t unit);
  // The driver's record of a tower, found through its device object.
  TowerDevice* Record(uint32_t unit);
  // Bytes the tower's receive ring holds (-1 without a ring), read under the
  // driver's own locks.
  int32_t RingCount(uint32_t unit);
  // The orderly way out: query stop and stop, then start again.
  NTSTATUS Restart(hk::DeviceObject* physical);

  std::filesystem::path stateDir_;
  std::unique_ptr<hk::Machine> machine_;
  std::vector<std::shared_ptr<sim::TowerModel>> towers_;
};

}  // namespace towertest
