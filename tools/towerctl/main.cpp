// towerctl: the command-line front end of the host machine.
//   towerctl demo [state-dir]   boot a machine with one tower and show it
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "kernel/machine.h"
#include "sim/tower.h"
#include "tower/ids.h"
#include "tower/ioctl.h"
#include "tower/names.h"

namespace {

using namespace tower;

int Demo(const std::filesystem::path& stateDir) {
  hk::Machine machine(hk::Machine::Options{stateDir, false});
  if (!NtSuccess(machine.LoadDriver("QIROUSBTower", TOWER_DRIVER_MODULE))) {
    std::fprintf(stderr, "towerctl: the driver did not load\n");
    return 1;
  }
  machine.BindHardwareId(kTowerHardwareId, "QIROUSBTower");
  NTSTATUS status = STATUS_SUCCESS;
  // One simulated tower whose far side is its own light: it hears what it sends.
  auto tower = std::make_shared<sim::TowerModel>();
  machine.PlugUsb(tower, kTowerHardwareId, &status);
  if (!NtSuccess(status)) {
    std::fprintf(stderr, "towerctl: the tower did not start (0x%08X)\n",
                 static_cast<unsigned>(status));
    return 1;
  }

  char16_t name[kMaxNameChars];
  char16_t link[kMaxNameChars];
  char path[kMaxNameChars];
  FormatDeviceName(1, name, kMaxNameChars);
  FormatLinkName(1, false, link, kMaxNameChars);
  FormatUserPath(1, path, kMaxNameChars);
  std::printf("device name: %s\n", hk::ToU8(name).c_str());
  std::printf("link:        %s%s\n", hk::ToU8(link).c_str(),
              machine.kernel().LinkExists(link) ? "" : " (missing)");
  std::printf("user path:   %s\n", path);

  // The state word answers even when the tower is not ready for anything else.
  hk::FileObject* file = nullptr;
  std::u16string kernelPath = u"\\??\\" + hk::ToU16(path + 4);
  status = machine.io().Open(kernelPath, &file);
  if (!NtSuccess(status)) {
    std::fprintf(stderr, "towerctl: open failed (0x%08X)\n", static_cast<unsigned>(status));
    return 1;
  }
  QIROTOWER_STATEREC state{};
  uint32_t returned = 0;
  status = machine.io().Control(file, IOCTL_TOWER_GET_STATE, nullptr, 0, &state, sizeof(state),
                                &returned);
  std::printf("state word:  0x%X (%s%s%s%s)\n", state.State,
              (state.State & TOWER_STATE_PRESENT) ? "present " : "",
              (state.State & TOWER_STATE_STARTED) ? "started " : "",
              (state.State & TOWER_STATE_OPEN) ? "open " : "",
              (state.State & TOWER_STATE_READER_ACTIVE) ? "receiving" : "");

  const char message[] = "Hello, Zembo";
  uint32_t written = 0;
  NTSTATUS wrote = machine.io().Write(file, message, sizeof(message) - 1, &written);
  char echo[sizeof(message)] = {};
  uint32_t read = 0;
  NTSTATUS got = machine.io().Read(file, echo, sizeof(message) - 1, &read);
  std::printf("sent:        \"%s\" (%u bytes, 0x%08X)\n", message, written,
              static_cast<unsigned>(wrote));
  std::printf("heard:       \"%.*s\" (%u bytes, 0x%08X)\n", static_cast<int>(read), echo, read,
              static_cast<unsigned>(got));
  machine.io().Close(file);
  if (!NtSuccess(wrote) || !NtSuccess(got) || read != written) status = STATUS_UNSUCCESSFUL;
  const size_t violations = machine.kernel().verifier().Count();
  return NtSuccess(status) && violations == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "demo") == 0) {
    const std::filesystem::path dir =
        argc >= 3 ? std::filesystem::path(argv[2])
                  : std::filesystem::temp_directory_path() / "towerctl-demo";
    return Demo(dir);
  }
  std::fprintf(stderr, "usage: towerctl demo [state-dir]\n");
  return 2;
}
