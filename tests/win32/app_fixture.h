// A host machine with the tower driver loaded, seen the way an application
// sees it: through the Win32 subset and the access library's exports.
#pragma once

#include <string>
#include <vector>

#include "fixture.h"
#include "win32/windows.h"

namespace towertest {

class AppTest : public MachineTest {
 protected:
  // Closes what the test left open, then shuts the machine down and fails
  // for anything the verifier found.
  void TearDown() override;

  // Opens a path as an application does: read and write, open existing.
  // The handle is closed at the end of the test unless Close took it.
  HANDLE Open(const std::string& path);
  void Close(HANDLE handle);
  // Device paths of the tower interfaces in a set built with these flags.
  static std::vector<std::string> InterfacePaths(DWORD flags);
  // Tower requests the n-th simulated tower has received so far.
  size_t Requests(size_t n = 0) { return Tower(n).SetupLog().size(); }

  std::vector<HANDLE> handles_;
};

// The tower's interface class in the platform's type.
GUID TowerInterfaceClass();

}  // namespace towertest
