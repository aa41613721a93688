// A host machine with the driver and simulated towers, and the port plug-in
// loaded by file name and bound the way the communication stack binds it:
// by LoDllGetObject.
#pragma once

#include <string>
#include <vector>

#include "Celvane.h"
#include "app_fixture.h"

namespace towertest {

class PortTest : public AppTest {
 protected:
  void TearDown() override;

  // A new port object with its one reference, released at the end of the
  // test unless the test released it.
  IZmbPort* NewPort();
  // An export of the plug-in, loaded by file name as the stack loads it.
  static FARPROC Entry(const char* name);
  static LODLLGETOBJECT GetObjectEntry();
  // An export as the function type it has (through the generic function
  // pointer type, which any function pointer converts to and from).
  template <typename F>
  static F As(FARPROC entry) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)(void)>(entry));
  }
  // Whether the n-th simulated tower saw SET_PARM of this parameter and value.
  bool SawSetParm(size_t n, uint8_t parameter, uint8_t value);
  // Waits (up to 10 s) until the condition holds.
  template <typename F>
  static bool Eventually(F condition);

  std::vector<IZmbPort*> ports_;
};

template <typename F>
bool PortTest::Eventually(F condition) {
  const DWORD start = GetTickCount();
  while (!condition()) {
    if (GetTickCount() - start > 10000) return false;
    Sleep(5);
  }
  return true;
}

// Calls through the operation table from code compiled apart from the class
// (C): returns 0 when every slot answered as its operation should.
extern "C" int CallThroughTable(void* port, const char* path);

}  // namespace towertest
