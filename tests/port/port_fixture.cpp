#include "port_fixture.h"

#include "tower/values.h"

namespace towertest {

void PortTest::TearDown() {
  for (IZmbPort* port : ports_) EXPECT_EQ(port->release(), 0u);
  ports_.clear();
  AppTest::TearDown();
}

FARPROC PortTest::Entry(const char* name) {
  // Loaded once by file name and kept for the whole test program, as a
  // stack keeps its plug-ins.
  static HMODULE plugin = LoadLibraryA("Celvane.dll");
  EXPECT_NE(plugin, nullptr) << "LoadLibraryA(Celvane.dll): " << GetLastError();
  return plugin != nullptr ? GetProcAddress(plugin, name) : nullptr;
}

LODLLGETOBJECT PortTest::GetObjectEntry() { return As<LODLLGETOBJECT>(Entry("LoDllGetObject")); }

IZmbPort* PortTest::NewPort() {
  IZmbPort* port = nullptr;
  LODLLGETOBJECT getObject = GetObjectEntry();
  if (getObject == nullptr) {
    ADD_FAILURE() << "Celvane.dll exports no LoDllGetObject";
    return nullptr;
  }
  EXPECT_EQ(getObject("QIRO.Zmb.CommStack.Port.USB", &port), ZMB_OK);
  if (port != nullptr) ports_.push_back(port);
  return port;
}

bool PortTest::SawSetParm(size_t n, uint8_t parameter, uint8_t value) {
  for (const auto& setup : Tower(n).SetupLog())
    if (setup.bRequest == TOWER_REQ_SET_PARM && setup.wValue == ((value << 8) | parameter))
      return true;
  return false;
}

}  // namespace towertest
