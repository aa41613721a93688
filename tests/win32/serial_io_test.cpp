// Requests on a handle opened without overlapped I/O go one at a time on the
// NT family (the fixture's machine runs as XP): a device control or a write
// waits while a read on the same handle is blocked in the driver, and goes
// once the read is back. The legacy family and overlapped handles let them
// pass: overlapped_io_test.
#include <chrono>
#include <thread>

#include "Tavrix.h"
#include "app_fixture.h"

namespace towertest {
namespace {

using namespace std::chrono;

class SerialIo : public AppTest {};

TEST_F(SerialIo, ADeviceControlAndAWriteWaitForTheBlockedReadOnTheSameHandle) {
  ASSERT_NE(PlugTower(), nullptr);
  HANDLE tower = Open("\\\\.\\QIROTOWER1");
  ASSERT_NE(tower, INVALID_HANDLE_VALUE);
  // Nothing arrives: the read waits its whole first-byte limit.
  ASSERT_TRUE(QIROTowerSetTimeouts(tower, 800, 50, 200));
  Tower().SetFarSide(sim::FarSide::Silence);

  for (int which = 0; which < 2; ++which) {
    std::thread reader([&] {
      char byte = 0;
      DWORD read = 0;
      ReadFile(tower, &byte, 1, &read, nullptr);
    });
    // Long enough for the read to be in the driver even on a slow build.
    std::this_thread::sleep_for(milliseconds(200));
    const auto start = steady_clock::now();
    BOOL ok = FALSE;
    if (which == 0) {
      WORD state = 0;
      ok = QIROTowerGetState(tower, &state);
    } else {
      const char data[2] = {'h', 'i'};
      DWORD written = 0;
      ok = WriteFile(tower, data, sizeof(data), &written, nullptr);
    }
    const auto waited = steady_clock::now() - start;
    // The request went only after the read was back (800 ms after it began).
    EXPECT_TRUE(ok) << "request " << which;
    EXPECT_GE(waited, milliseconds(300)) << "request " << which;
    EXPECT_LT(waited, seconds(8)) << "request " << which;
    reader.join();
  }
}

}  // namespace
}  // namespace towertest
