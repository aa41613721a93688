// Entry points of the driver logic, called by the platform's request
// dispatch and loader.
#pragma once

#include "platform/platform.h"

namespace tower {

// Driver load: detects the registry layout, creates the driver object's
// state and keeps the registry path. registryPath may be null.
NTSTATUS TowerDriverEntry(plat::Driver* driver, const char16_t* registryPath);
// The USB stack reports a tower.
NTSTATUS TowerAddDevice(plat::Driver* driver, plat::Device* physical);
// Every create, close, read, write, device control, cleanup, power and Plug
// and Play request for one of the driver's devices.
NTSTATUS TowerDispatch(plat::Device* device, plat::Request* request);
// The system unloads the driver.
void TowerUnload(plat::Driver* driver);

}  // namespace tower
