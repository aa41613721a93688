// A simulated PC inside one process: the kernel, its registry store and I/O
// manager, the loaded drivers and the devices on the bus.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kernel/io.h"
#include "kernel/kernel.h"
#include "registry/registry.h"

namespace hk {

// Roots of the registry views.
inline constexpr char kServicesRoot[] = "Machine\\System\\CurrentControlSet\\Services";
inline constexpr char kControlRoot[] = "Machine\\System\\CurrentControlSet\\Control";

class Machine {
 public:
  struct Options {
    std::filesystem::path stateDir;
    // Device classes under the services key instead of the control key, as
    // the legacy Windows family keeps them.
    bool legacyRegistryLayout = false;
  };
  explicit Machine(const Options& options);
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  Kernel& kernel() { return kernel_; }
  IoManager& io() { return io_; }
  Registry& registry() { return *registry_; }
  const std::filesystem::path& stateDir() const { return options_.stateDir; }

  // Unplugs every device, unloads every driver and returns what the verifier
  // found, including requests never completed. The machine is finished then.
  std::vector<std::string> Shutdown();

  // Loads a driver module (a shared object exporting DriverEntry) as the
  // given service and runs its entry.
  NTSTATUS LoadDriver(const std::string& service, const std::filesystem::path& module);
  // Runs the driver's unload and checks that it left no pool behind.
  void UnloadDriver(const std::string& service);
  DriverObject* FindDriver(const std::string& service);
  // Devices with this hardware id get this service's driver.
  void BindHardwareId(const std::string& hardwareId, const std::string& service);

  // A device appears on the bus: its physical device is made, the bound
  // driver adds its device, and the device is started. Returns the physical
  // device, or null when no driver took it (the add status in *status).
  DeviceObject* Plug(const std::string& hardwareId, NTSTATUS* status = nullptr);
  // The device leaves the bus: surprise removal, then removal.
  void Unplug(DeviceObject* physical);

 private:
  struct LoadedDriver {
    void* module = nullptr;
    DriverObject* driver = nullptr;
  };

  Options options_;
  Kernel kernel_;
  std::unique_ptr<Registry> registry_;
  IoManager io_;
  DriverObject* bus_ = nullptr;
  std::map<std::string, LoadedDriver> drivers_;
  std::map<std::string, std::string> bindings_;  // upper-cased hardware id -> service
  std::mutex busMutex_;  // guards the list of physical devices and the instance numbers
  std::vector<DeviceObject*> physicals_;
  int nextInstance_ = 1;
  bool shutDown_ = false;
};

}  // namespace hk
