#include "loader/loader.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>

#include "tower/ids.h"

#include "tower/ntstatus.h"

namespace hk {

using namespace tower;

namespace {

using EntryFn = NTSTATUS (*)(DriverObject*, const char16_t*);

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  });
  return text;
}

}  // namespace

NTSTATUS DriverLoader::Load(const std::string& service, const std::filesystem::path& module) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "machine: cannot load %s: %s\n", module.c_str(), dlerror());
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  auto entry = reinterpret_cast<EntryFn>(dlsym(handle, "DriverEntry"));
  if (entry == nullptr) {
    dlclose(handle);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  DriverObject* driver = kernel_.CreateDriver("\\Driver\\" + service);
  const std::u16string path =
      ToU16("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service);
  const NTSTATUS status = entry(driver, path.c_str());
  if (!NtSuccess(status)) {
    kernel_.DeleteDriver(driver);
    dlclose(handle);
    return status;
  }
  drivers_[service] = Loaded{handle, driver};
  return status;
}

void DriverLoader::Unload(const std::string& service) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = drivers_.find(service);
  if (it == drivers_.end()) return;
  DriverObject* driver = it->second.driver;
  if (driver->unload != nullptr) driver->unload(driver);
  kernel_.CheckPoolEmpty(tower::kPoolTag, "driver " + service);
  kernel_.DeleteDriver(driver);
  dlclose(it->second.module);
  drivers_.erase(it);
}

void DriverLoader::UnloadAll() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  while (!drivers_.empty()) Unload(drivers_.begin()->first);
}

DriverObject* DriverLoader::Find(const std::string& service) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = drivers_.find(service);
  return it == drivers_.end() ? nullptr : it->second.driver;
}

void DriverLoader::RegisterImage(const std::string& imageName,
                                 const std::filesystem::path& module) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  images_[Upper(imageName)] = module;
}

std::filesystem::path DriverLoader::ModuleOfImage(const std::string& imageName) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = images_.find(Upper(imageName));
  return it == images_.end() ? std::filesystem::path() : it->second;
}

}  // namespace hk
