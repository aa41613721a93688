// Threads sharing the Win32 subset and the library: the handle table, each
// thread's last error, and a close racing a request in flight.
#include <atomic>
#include <chrono>
#include <thread>

#include "Tavrix.h"
#include "app_fixture.h"

namespace towertest {
namespace {

using namespace std::chrono;

class Win32Concurrency : public AppTest {};

TEST_F(Win32Concurrency, ThreadsCallTheLibraryOnTheirOwnAndSharedTowers) {
  ASSERT_NE(PlugTower(), nullptr);
  ASSERT_NE(PlugTower(), nullptr);
  const auto paths = InterfacePaths(DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
  ASSERT_EQ(paths.size(), 2u);
  const HANDLE towers[2] = {Open(paths[0]), Open(paths[1])};
  ASSERT_NE(towers[0], INVALID_HANDLE_VALUE);
  ASSERT_NE(towers[1], INVALID_HANDLE_VALUE);

  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  threads.reserve(4);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      const HANDLE tower = towers[t % 2];
      for (int i = 0; i < 25; ++i) {
        WORD state = 0;
        if (!QIROTowerGetState(tower, &state) || state != TOWER_STATE_WORKING) ++failures;
        if (!QIROTowerSetRange(tower, static_cast<WORD>(1 + i % 3))) ++failures;
        WORD range = 0;
        if (!QIROTowerGetRange(tower, &range) || range < 1 || range > 3) ++failures;
        // Each thread sees only its own last error.
        SetLastError(static_cast<DWORD>(1000 + t));
        if (QIROTowerGetRange(tower, nullptr) || GetLastError() != 87u) ++failures;
        std::this_thread::yield();
        SetLastError(static_cast<DWORD>(1000 + t));
        if (GetLastError() != static_cast<DWORD>(1000 + t)) ++failures;
      }
    });
  // Searches and sets come and go meanwhile.
  threads.emplace_back([&] {
    for (int i = 0; i < 25; ++i) {
      QIROTOWER_FIND* find = QIROTowerFindFirst(QIROTOWER_FIND_PRESENT);
      if (find == nullptr || !QIROTowerFindNext(find) || QIROTowerFindNext(find)) ++failures;
      if (find != nullptr) QIROTowerFindStop(find);
    }
  });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST_F(Win32Concurrency, CloseWaitsForTheRequestInFlightThenTheHandleIsGone) {
  ASSERT_NE(PlugTower(), nullptr);
  HANDLE tower = Open("\\\\.\\QIROTOWER1");
  ASSERT_NE(tower, INVALID_HANDLE_VALUE);
  // A read that waits its whole first-byte limit: nothing arrives.
  ASSERT_TRUE(QIROTowerSetTimeouts(tower, 600, 50, 200));
  BOOL readOk = FALSE;
  DWORD read = 99;
  std::thread reader([&] {
    char byte = 0;
    readOk = ReadFile(tower, &byte, 1, &read, nullptr);
  });
  // Long enough for the read to be under way even on a slow build.
  std::this_thread::sleep_for(milliseconds(150));
  const auto start = steady_clock::now();
  Close(tower);
  // The close waited for the read instead of pulling the handle from under it.
  EXPECT_GE(steady_clock::now() - start, milliseconds(200));
  EXPECT_LT(steady_clock::now() - start, seconds(3));
  reader.join();
  EXPECT_TRUE(readOk);
  EXPECT_EQ(read, 0u);
  WORD state = 0;
  EXPECT_FALSE(QIROTowerGetState(tower, &state));
  EXPECT_EQ(GetLastError(), 6u);
  // The device is free for the next open.
  EXPECT_NE(Open("\\\\.\\QIROTOWER1"), INVALID_HANDLE_VALUE);
}

}  // namespace
}  // namespace towertest
