// The Plug and Play manager: which driver a device gets (its binding), the
// add and start of a device with its enumeration and driver keys, the
// problems a device shows, re-enumeration, system sleep, and the thread that
// carries out the work the bus asks for.
#pragma once

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "kernel/io.h"
#include "kernel/kernel.h"
#include "loader/loader.h"
#include "pnp/tree.h"
#include "registry/registry.h"

namespace hk {

// Roots of the registry views.
inline constexpr char kServicesRoot[] = "Machine\\System\\CurrentControlSet\\Services";
inline constexpr char kControlRoot[] = "Machine\\System\\CurrentControlSet\\Control";
inline constexpr char kEnumRoot[] = "Machine\\System\\CurrentControlSet\\Enum";
// The legacy family keeps its enumeration under the machine's root.
inline constexpr char kLegacyEnumRoot[] = "Machine\\Enum";
// Device interfaces, one key per interface class.
inline constexpr char kDeviceClassesRoot[] =
    "Machine\\System\\CurrentControlSet\\Control\\DeviceClasses";

// What a device with a matching hardware id gets.
struct DriverBinding {
  std::string service;
  std::string description;
  std::string provider;
  std::string version;
  std::string manufacturer;  // the INF's manufacturer of the model
  std::string className;     // the INF's setup class ("USB")
  std::string image;  // the driver file ("Ostrel.sys"); empty when the service is loaded already
  std::filesystem::path imageFile;  // where the package put it
};

class PnpManager {
 public:
  PnpManager(Kernel& kernel, DeviceTree& tree, Registry& registry, IoManager& io,
             DriverLoader& loader, bool legacyRegistryLayout);
  ~PnpManager();
  PnpManager(const PnpManager&) = delete;
  PnpManager& operator=(const PnpManager&) = delete;

  // Devices with this hardware id get this binding from now on.
  void Bind(const std::string& hardwareId, const DriverBinding& binding);
  // Asked when no direct binding fits: the installed driver packages.
  void SetBindingSource(std::function<bool(const DevNode&, DriverBinding*)> source);
  // Adds the function driver a device's binding names and starts it; a
  // device without one shows a problem. One device at a time, as Windows'
  // Plug and Play configures devices: a driver's add routine never runs
  // beside another of its own.
  NTSTATUS AddAndStart(DeviceObject* physical, DevNode* node);
  // Present devices without a function driver get one if a binding exists now.
  void Reenumerate();
  bool Sleep(uint32_t systemState);
  // The registry's record of a device (Enum\<instance id>), in the form of
  // the machine's family.
  void WriteEnumKey(const DevNode* node);
  // A device of the bus itself (a host controller, a root hub, a hub) as
  // it is found: the legacy family records it in Enum, with the device
  // interfaces it registered; the NT family's record leaves them out.
  void RecordBusDevice(const DevNode* node);
  // Devices installed before survive a reboot as nodes that are not present.
  void LoadEnumKeys();
  // The next driver key "{USB class}\NNNN" that no entry holds and no class
  // key has (the class key is not written).
  std::string NewDriverKey();
  // Forgets a device entry that has no driver stack now: its enumeration
  // and driver keys go, and the node counts as removed.
  void RemoveEntry(DevNode* node);

  // Held while a device is added and started, and while one leaves
  // (UsbTopology::Unplug): Plug and Play takes no device out in the middle
  // of configuring it.
  std::recursive_mutex& ConfigurationLock() { return configureMutex_; }
  // Runs between a driver's add routine and the start that follows it, on
  // the configuring thread: a test's way into that window. Set while no
  // device is being configured; empty for none.
  void SetAfterAddForTest(std::function<void(DeviceObject*)> hook) { afterAdd_ = std::move(hook); }

  void Post(std::function<void()> work);
  // Waits until the work posted so far is done.
  void Settle();
  // Ends the worker after the work posted so far; later posts are dropped.
  void Stop();

 private:
  bool FindBinding(const DevNode* node, DriverBinding* binding);
  // The legacy family's keys of the device's registered interfaces, under
  // DeviceClasses; they stay when the device's entry is removed.
  void RecordInterfaces(const DevNode* node);
  void Worker();

  Kernel& kernel_;
  DeviceTree& tree_;
  Registry& registry_;
  IoManager& io_;
  DriverLoader& loader_;
  const bool legacyLayout_;
  // Enum under the machine's root on the legacy family, under the control set on NT.
  const std::string enumRoot_;
  std::recursive_mutex configureMutex_;  // held by AddAndStart
  std::function<void(DeviceObject*)> afterAdd_;
  std::mutex bindingMutex_;
  std::map<std::string, DriverBinding> bindings_;  // upper-cased hardware id -> driver
  std::function<bool(const DevNode&, DriverBinding*)> source_;
  uint32_t nextDriverKey_ = 0;

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> queue_;
  bool stop_ = false;
  size_t busy_ = 0;
  std::thread thread_;
};

std::string UpperAscii(std::string text);

}  // namespace hk
