#include "port_fixture.h"

#include "tower/values.h"

namespace towertest {

void PortTest::TearDown() {
  for (IZmbPort* port : ports_) EXPECT_EQ(port->release(), 0u);
  ports_.clear();
  AppTest::TearDown();
}

LODLLGETOBJECT PortTest::GetObjectEntry() { return &LoDllGetObject; }

IZmbPort* PortTest::NewPort() {
  IZmbPort* port = nullptr;
  EXPECT_EQ(GetObjectEntry()("QIRO.Zmb.CommStack.Port.USB", &port), ZMB_OK);
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
