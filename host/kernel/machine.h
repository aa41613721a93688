// A simulated PC inside one process. The machine only composes its rooms:
// the kernel with its I/O manager, the registry store, the files of its C:
// drive, the driver loader, the Plug and Play manager with the device tree,
// the USB topology and the fault facility; and it answers as one Windows
// version.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "faults/faults.h"
#include "files/files.h"
#include "kernel/io.h"
#include "kernel/kernel.h"
#include "loader/loader.h"
#include "platform/identity.h"
#include "pnp/inf.h"
#include "pnp/manager.h"
#include "pnp/tree.h"
#include "registry/registry.h"
#include "usb/stack.h"
#include "usb/topology.h"

namespace hk {

class Machine {
 public:
  struct Options {
    std::filesystem::path stateDir;
    // Device classes under the services key instead of the control key, as
    // the legacy Windows family keeps them.
    bool legacyRegistryLayout = false;
    // The Windows the machine answers as; the legacy family implies its
    // registry layout.
    WindowsVersion windows = WindowsVersion::XP;
    // Host controllers the machine starts with (each with a root hub of
    // four ports); 0 makes a machine without USB.
    uint32_t hostControllers = 1;
    // The registry kept in memory only, never read from or written to the
    // state directory. Every change of a kept registry writes all of it, and
    // the machine keeps the entry of every device it saw: a fuzzer's machine,
    // which sees thousands and never starts again from its state, would pay
    // for each plug in proportion to all the plugs before it.
    bool registryInMemory = false;
  };
  explicit Machine(const Options& options);
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // The machine running in this process (one at a time), for the user-mode
  // side (the Win32 subset) to reach.
  static Machine& Current();
  static Machine* CurrentOrNull();

  Kernel& kernel() { return kernel_; }
  DeviceTree& tree() { return tree_; }
  IoManager& io() { return io_; }
  Registry& registry() { return *registry_; }
  DriverLoader& loader() { return *loader_; }
  PnpManager& pnp() { return *pnp_; }
  UsbTopology& usb() { return *topology_; }
  Files& files() { return *files_; }
  // Where tests make the machine's calls fail (host/faults/faults.h).
  Faults& faults() { return faults_; }
  const PlatformIdentity& identity() const { return identity_; }
  const std::filesystem::path& stateDir() const { return options_.stateDir; }

  // "C:\WINDOWS\System32" (the legacy family's "C:\WINDOWS\SYSTEM"): where
  // the platform's own modules are installed.
  std::string SystemDirectory() const;
  // The platform's own modules the host serves from its system folder, not
  // from the drive (the HTML help control "hhctrl.ocx"): whether the name is
  // one, and whether this installation has it (letter case ignored).
  static bool IsPlatformModule(const std::string& fileName);
  bool HasPlatformModule(const std::string& fileName) const;

  // Unplugs every device, unloads every driver and returns what the verifier
  // found, including requests never completed. The machine is finished then.
  std::vector<std::string> Shutdown();

  // Loads a driver module (a shared object exporting DriverEntry) as the
  // given service and runs its entry.
  NTSTATUS LoadDriver(const std::string& service, const std::filesystem::path& module);
  // Runs the driver's unload and checks that it left no pool behind.
  void UnloadDriver(const std::string& service);
  DriverObject* FindDriver(const std::string& service);
  // Devices with this hardware id get this service's driver without an
  // installed package; the driver key of each such device records the
  // description, provider and version.
  void BindHardwareId(const std::string& hardwareId, const std::string& service,
                      const std::string& description = "", const std::string& provider = "",
                      const std::string& version = "");

  // ---- the USB topology
  // A host controller (\\.\HCDn) with a root hub of `ports` ports; returns the
  // root hub's node.
  DevNode* AddHostController(uint8_t ports = 4);
  // One with a chosen driver key, at a chosen depth of the device tree.
  DevNode* AddHostController(const HostControllerOptions& options);
  // A hub that answers IOCTL_USB_GET_NODE_INFORMATION with another node type
  // (anything but 0 says it is no hub).
  bool SetHubNodeType(const DevNode* hub, uint32_t nodeType);
  // An external hub on a hub's port. A bus-powered hub gives each of its
  // ports 100 mA, a self-powered one 500 mA, as a root hub does.
  DevNode* AddHub(DevNode* parentHub, uint8_t port, bool selfPowered, uint8_t ports = 4);
  // A USB device model appears on a hub's port, is added and started.
  DeviceObject* PlugUsbAt(DevNode* hub, uint8_t port,
                          const std::shared_ptr<usb::DeviceModel>& model,
                          NTSTATUS* status = nullptr);
  // The same on the first free port (a new host controller when all are taken).
  DeviceObject* PlugUsb(const std::shared_ptr<usb::DeviceModel>& model,
                        const std::string& hardwareId, NTSTATUS* status = nullptr);
  DevNode* NodeOf(const DeviceObject* physical) { return tree_.FindByPhysical(physical); }
  // Present devices without a function driver get one if a binding exists now.
  void Reenumerate();
  // Removes a device's entry (SetupDiRemoveDevice): a present device loses
  // its driver stack and is found again as new hardware at the next scan;
  // an absent one is forgotten.
  bool RemoveDevice(DevNode* node);
  // The machine's INF store (C:\<Windows>\INF\oemN.inf).
  InfStore& infs() { return *infs_; }
  // The system asks to sleep: every started device is queried; a veto keeps
  // it awake (false). Otherwise it sleeps and wakes again (true).
  bool Sleep(uint32_t systemState);
  // The device leaves the bus: what it held fails, then surprise removal and
  // removal.
  // `gone` runs once the removal has been carried out (after the last handle closed).
  void Unplug(DeviceObject* physical, const std::function<void()>& gone = {});
  // The USB device behind a physical device, or null.
  usb::UsbDevice* UsbDeviceOf(DeviceObject* physical);
  // Waits until the Plug and Play work asked for so far (unplugs and port
  // cycles a device asked for) is done.
  void SettlePnp();
  usb::Bus& bus() { return topology_->bus(); }

 private:
  Options options_;
  PlatformIdentity identity_;
  Faults faults_;
  Kernel kernel_;
  DeviceTree tree_;
  std::unique_ptr<Registry> registry_;
  std::unique_ptr<Files> files_;
  IoManager io_;
  std::unique_ptr<DriverLoader> loader_;
  std::unique_ptr<PnpManager> pnp_;
  std::unique_ptr<UsbTopology> topology_;
  std::unique_ptr<InfStore> infs_;
  bool shutDown_ = false;

  void RegisterPlatformComponents();
};

}  // namespace hk
