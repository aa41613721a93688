// The host machine's device tree: one node per device the system knows,
// present or not, as the configuration manager keeps them.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace hk {

struct DeviceObject;

// Device node status bits (DN_*) and problem numbers (CM_PROB_*), as Windows numbers them.
inline constexpr uint32_t DN_DRIVER_LOADED = 0x00000002u;
inline constexpr uint32_t DN_ENUM_LOADED = 0x00000004u;
inline constexpr uint32_t DN_STARTED = 0x00000008u;
inline constexpr uint32_t DN_HAS_PROBLEM = 0x00000400u;
inline constexpr uint32_t DN_DISABLEABLE = 0x00002000u;
inline constexpr uint32_t DN_REMOVABLE = 0x00004000u;
inline constexpr uint32_t DN_NT_ENUMERATOR = 0x00800000u;
inline constexpr uint32_t DN_NT_DRIVER = 0x01000000u;
inline constexpr uint32_t CM_PROB_FAILED_START = 10;
inline constexpr uint32_t CM_PROB_FAILED_ADD = 31;
inline constexpr uint32_t CM_PROB_DRIVER_FAILED_LOAD = 39;
inline constexpr uint32_t CM_PROB_FAILED_INSTALL = 28;

// Bridge: a bus node between the root and a host controller (a PCI bridge).
enum class NodeKind : uint8_t { Root, HostController, RootHub, Hub, Device, Bridge };

struct DevNode {
  uint32_t handle = 0;  // the DEVINST user mode sees; never reused
  NodeKind kind = NodeKind::Device;
  std::string instanceId;  // e.g. USB\VID_0F5C&PID_0001\5&1A2B3C4D&0&2
  std::vector<std::string> hardwareIds;
  std::string description;
  // The manufacturer and the setup class's name ("USB") its driver gives it;
  // empty without a driver.
  std::string manufacturer;
  std::string className;
  std::string service;    // the function driver's service, empty when none
  std::string driverKey;  // {class guid}\NNNN under the Class key, empty when none
  uint32_t status = 0;    // DN_* bits while present
  uint32_t problem = 0;   // CM_PROB_* when DN_HAS_PROBLEM
  bool present = false;
  bool removed = false;  // its entry was removed; found again, it is new hardware
  DevNode* parent = nullptr;
  std::vector<DevNode*> children;
  DeviceObject* physical = nullptr;  // while present
  uint8_t port = 0;                  // the port on its parent hub (1-based), 0 for none
  std::string symbolicName;          // hubs and host controllers: \\.\HCDn, hub interface names
};

class DeviceTree {
 public:
  DeviceTree();
  DevNode* Root();
  // Creates or finds (by instance id, case-insensitive) a node under parent.
  DevNode* Add(DevNode* parent, NodeKind kind, const std::string& instanceId);
  DevNode* Find(const std::string& instanceId);
  DevNode* FindByHandle(uint32_t handle);
  DevNode* FindByPhysical(const DeviceObject* physical);
  // A snapshot of every node, in creation order (the root first).
  std::vector<DevNode*> Nodes();
  // Guards every node's fields; hold it while reading a node other threads may change.
  std::recursive_mutex& mutex() { return mutex_; }

 private:
  std::recursive_mutex mutex_;
  std::vector<std::unique_ptr<DevNode>> nodes_;
  uint32_t nextHandle_ = 1;
};

}  // namespace hk
