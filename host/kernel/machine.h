// A simulated PC inside one process: the kernel, its registry store and I/O
// manager, the loaded drivers and the devices on the bus.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "kernel/io.h"
#include "kernel/kernel.h"
#include "pnp/tree.h"
#include "registry/registry.h"
#include "usb/nodes.h"
#include "usb/stack.h"

namespace hk {

// Roots of the registry views.
inline constexpr char kServicesRoot[] = "Machine\\System\\CurrentControlSet\\Services";
inline constexpr char kControlRoot[] = "Machine\\System\\CurrentControlSet\\Control";

class Machine : private usb::BusOwner {
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

  // The machine running in this process (one at a time), for the user-mode
  // side (the Win32 subset) to reach.
  static Machine& Current();
  static Machine* CurrentOrNull();

  Kernel& kernel() { return kernel_; }
  DeviceTree& tree() { return tree_; }
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
  // Devices with this hardware id get this service's driver; the driver key
  // of each such device records the description, provider and version.
  void BindHardwareId(const std::string& hardwareId, const std::string& service,
                      const std::string& description = "", const std::string& provider = "",
                      const std::string& version = "");

  // ---- the USB topology
  // A host controller (\\.\HCDn) with a root hub of `ports` ports; returns the
  // root hub's node.
  DevNode* AddHostController(uint8_t ports = 4);
  // An external hub on a hub's port. A bus-powered hub gives each of its
  // ports 100 mA, a self-powered one 500 mA, as a root hub does.
  DevNode* AddHub(DevNode* parentHub, uint8_t port, bool selfPowered, uint8_t ports = 4);
  // A USB device model appears on a hub's port, is added and started.
  DeviceObject* PlugUsbAt(DevNode* hub, uint8_t port, std::shared_ptr<usb::DeviceModel> model,
                          NTSTATUS* status = nullptr);
  // The same on the first free port (a new host controller when all are taken).
  DeviceObject* PlugUsb(std::shared_ptr<usb::DeviceModel> model, const std::string& hardwareId,
                        NTSTATUS* status = nullptr);
  DevNode* NodeOf(const DeviceObject* physical) { return tree_.FindByPhysical(physical); }
  // Present devices without a function driver get one if a binding exists now.
  void Reenumerate();
  // The system asks to sleep: every started device is queried; a veto keeps
  // it awake (false). Otherwise it sleeps and wakes again (true).
  bool Sleep(uint32_t systemState);
  // The device leaves the bus: what it held fails, then surprise removal and
  // removal.
  // `gone` runs once the removal has been carried out (after the last handle closed).
  void Unplug(DeviceObject* physical, std::function<void()> gone = {});
  // The USB device behind a physical device, or null.
  usb::UsbDevice* UsbDeviceOf(DeviceObject* physical);
  // Waits until the Plug and Play work asked for so far (unplugs and port
  // cycles a device asked for) is done.
  void SettlePnp();
  usb::Bus& bus() { return *bus_; }

 private:
  struct LoadedDriver {
    void* module = nullptr;
    DriverObject* driver = nullptr;
  };

  void RequestUnplug(DeviceObject* physical) override;
  void RequestCycle(DeviceObject* physical) override;
  void PnpWorker();
  void PostPnp(std::function<void()> work);
  DeviceObject* CreatePhysical(const std::string& instanceId, size_t extensionBytes);
  struct Binding {
    std::string service;
    std::string description;
    std::string provider;
    std::string version;
  };
  struct Hub {
    DevNode* node = nullptr;
    bool root = false;
    bool selfPowered = true;
    std::vector<DeviceObject*> ports;  // what is plugged into port i + 1
  };
  struct Attachment {
    Hub* hub = nullptr;
    uint8_t port = 0;
    std::shared_ptr<usb::DeviceModel> model;
  };
  NTSTATUS AddAndStart(DeviceObject* physical, DevNode* node);
  void FinishRemoval(DeviceObject* physical);
  const Binding* FindBinding(const DevNode* node);
  void WriteEnumKey(const DevNode* node);
  void LoadEnumKeys();
  Hub* HubOf(const DevNode* node);
  // Under the tree lock.
  void AddHubRecord(DevNode* node, bool root, bool selfPowered, uint8_t ports);

  Options options_;
  Kernel kernel_;
  DeviceTree tree_;
  std::unique_ptr<Registry> registry_;
  IoManager io_;
  std::map<std::string, LoadedDriver> drivers_;
  std::map<std::string, Binding> bindings_;  // upper-cased hardware id -> driver
  std::vector<std::unique_ptr<Hub>> hubs_;
  std::map<const DeviceObject*, Attachment> attachments_;
  std::set<const DeviceObject*> unplugged_;  // gone from the bus, removal sent or pending
  uint32_t nextController_ = 0;
  uint32_t nextDriverKey_ = 0;
  std::mutex busMutex_;  // guards the list of physical devices and the instance numbers
  std::vector<DeviceObject*> physicals_;
  bool shutDown_ = false;
  DriverObject* usbHub_ = nullptr;
  std::unique_ptr<usb::Bus> bus_;
  std::unique_ptr<usb::NodeDevices> nodeDevices_;            // \\.\HCDn and the hubs' interfaces
  std::vector<std::unique_ptr<usb::UsbDevice>> usbDevices_;  // kept until the machine ends

  // Plug and Play work the bus asks for runs on a thread of its own.
  std::mutex pnpMutex_;
  std::condition_variable pnpCv_;
  std::deque<std::function<void()>> pnpQueue_;
  bool pnpStop_ = false;
  size_t pnpBusy_ = 0;
  std::thread pnpThread_;
};

}  // namespace hk
