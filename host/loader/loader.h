// The kernel's driver loader: driver modules (shared objects exporting
// DriverEntry) loaded as services, and the driver image names the host
// resolves to those modules.
#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "kernel/kernel.h"

namespace hk {

class DriverLoader {
 public:
  explicit DriverLoader(Kernel& kernel) : kernel_(kernel) {}
  DriverLoader(const DriverLoader&) = delete;
  DriverLoader& operator=(const DriverLoader&) = delete;

  // Loads the module as the given service and runs its entry.
  NTSTATUS Load(const std::string& service, const std::filesystem::path& module);
  // Runs the driver's unload and checks that it left no pool behind.
  void Unload(const std::string& service);
  void UnloadAll();
  DriverObject* Find(const std::string& service);

  // A driver image as an INF names it ("Ostrel.sys") is this host module.
  void RegisterImage(const std::string& imageName, const std::filesystem::path& module);
  // The module of an image name (compared without regard to case), or empty.
  std::filesystem::path ModuleOfImage(const std::string& imageName);

 private:
  struct Loaded {
    void* module = nullptr;
    DriverObject* driver = nullptr;
  };
  Kernel& kernel_;
  std::recursive_mutex mutex_;
  std::map<std::string, Loaded> drivers_;
  std::map<std::string, std::filesystem::path> images_;  // upper-cased image name -> module
};

}  // namespace hk
