// Installs the driver package as the installer does, without its message
// boxes: QIROTowerSetup from Quenta.dll on a source directory, then
// QIROTowerReenumerateUSB. Prints one line per call and exits with the
// setup's result code (0 when installed).
// Usage: quenta-setup SOURCE-DIRECTORY
#include <cstdio>

#include "Quenta.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: quenta-setup SOURCE-DIRECTORY\n");
    return 2;
  }
  const LONG result = QIROTowerSetup(0, argv[1], 0);
  std::printf("QIROTowerSetup: %ld\n", static_cast<long>(result));
  if (result != QIROTOWER_SETUP_OK) return static_cast<int>(result);
  std::printf("QIROTowerReenumerateUSB: %ld\n", static_cast<long>(QIROTowerReenumerateUSB()));
  return 0;
}
