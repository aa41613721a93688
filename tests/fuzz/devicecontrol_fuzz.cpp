#include "devicecontrol_fuzz.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "Celvane.h"
#include "kernel/machine.h"
#include "sim/tower.h"
#include "tower/ids.h"

namespace towerfuzz {

namespace {

constexpr char kService[] = "QIROUSBTower";
constexpr size_t kInputsPerBoot = 100000;

std::filesystem::path stateDir;
// Not destroyed at exit: the fuzzer ends with exit(), after the threads'
// own storage (the kernel's per-thread context) is gone. Stop() shuts it
// down for the replay.
hk::Machine* machine = nullptr;
HMODULE plugin = nullptr;
IZmbPort* port = nullptr;

[[noreturn]] void Broken(const char* what, const char* command, LONG result) {
  std::fprintf(stderr, "devicecontrol broke a promise: %s (command \"%s\", result 0x%08X)\n", what,
               command, static_cast<unsigned>(result));
  std::abort();
}

bool Known(LONG result) {
  return result == ZMB_OK || result == ZMB_E_INVALIDARG || result == ZMB_E_DEVICEFAILED;
}

}  // namespace

bool Start() {
  if (port != nullptr) return true;
  stateDir = std::filesystem::temp_directory_path() /
             ("devicecontrol-fuzz-" + std::to_string(static_cast<long>(getpid())));
  std::filesystem::remove_all(stateDir);
  // The fuzzer counts coverage in every module it has seen: a module that
  // goes away between machines (the driver at each shutdown) would leave
  // its counters behind unmapped. One extra reference keeps it mapped.
  static void* keptDriver = dlopen(TOWER_DRIVER_MODULE, RTLD_NOW | RTLD_NODELETE);
  if (keptDriver == nullptr) return false;
  machine = new hk::Machine(hk::Machine::Options{stateDir, false});
  if (!tower::NtSuccess(machine->LoadDriver(kService, TOWER_DRIVER_MODULE))) return false;
  machine->BindHardwareId(tower::kTowerHardwareId, kService);
  sim::TowerOptions options;
  options.linkDelay = false;
  NTSTATUS status = 0;
  if (machine->PlugUsb(std::make_shared<sim::TowerModel>(options), tower::kTowerHardwareId,
                       &status) == nullptr)
    return false;
  if (plugin == nullptr) plugin = LoadLibraryA("Celvane.dll");
  if (plugin == nullptr) return false;
  auto getObject = reinterpret_cast<LODLLGETOBJECT>(
      reinterpret_cast<void (*)(void)>(GetProcAddress(plugin, "LoDllGetObject")));
  if (getObject == nullptr || getObject(ZMB_PORT_OBJECT_USB, &port) != ZMB_OK) return false;
  return port->open("\\\\.\\QIROTOWER1", nullptr) == ZMB_OK;
}

void RunOne(const uint8_t* data, size_t size) {
  // The machine keeps a record of every request it served (the tower's
  // setup log, the verifier's books); a fresh machine now and then keeps a
  // run of millions of inputs within its memory.
  static size_t sinceBoot = 0;
  if (++sinceBoot >= kInputsPerBoot) {
    sinceBoot = 0;
    const auto found = Stop(false);
    if (!found.empty()) {
      std::fprintf(stderr, "verifier: %s\n", found.front().c_str());
      std::abort();
    }
    if (!Start()) std::abort();
  }
  if (size == 0) return;
  // Reply sizes from -2 to 125: below 1, tiny, and room for every reply.
  const int replySize = static_cast<int>(data[0] % 128) - 2;
  std::string command(reinterpret_cast<const char*>(data + 1), size - 1);
  // The command is a C string: it ends at the first NUL.
  command.resize(std::strlen(command.c_str()));
  // A reply buffer with guards on both sides.
  char buffer[4 + 128 + 4];
  std::memset(buffer, 0x5A, sizeof(buffer));
  char* reply = buffer + 4;
  const LONG result = port->devicecontrol(command.c_str(), reply, replySize);
  if (!Known(result)) Broken("result outside its codes", command.c_str(), result);
  for (int i = 0; i < 4; ++i)
    if (buffer[i] != 0x5A || reply[128 + i] != 0x5A)
      Broken("wrote outside the reply", command.c_str(), result);
  if (replySize < 1) {
    for (int i = 0; i < 128; ++i)
      if (reply[i] != 0x5A) Broken("a reply size below 1 received text", command.c_str(), result);
  } else if (std::memchr(reply, '\0', static_cast<size_t>(replySize)) == nullptr) {
    Broken("reply not terminated within its size", command.c_str(), result);
  }
  // Commands never close the port.
  if (port->getstate() != ZMB_PORTSTATE_OPEN) Broken("the port closed", command.c_str(), result);
}

std::vector<std::string> Stop(bool unload) {
  std::vector<std::string> found;
  if (port != nullptr) {
    port->release();
  }
  port = nullptr;
  if (unload && plugin != nullptr) {
    FreeLibrary(plugin);
    plugin = nullptr;
  }
  if (machine != nullptr) found = machine->Shutdown();
  delete machine;
  machine = nullptr;
  std::filesystem::remove_all(stateDir);
  return found;
}

}  // namespace towerfuzz
