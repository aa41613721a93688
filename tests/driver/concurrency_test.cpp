// Races the driver must survive: cancellation against release of held
// requests, many towers added at once, and state queries from many threads.
#include <set>
#include <thread>

#include "fixture.h"

namespace towertest {
namespace {

using Concurrency = MachineTest;

TEST_F(Concurrency, CancelRacingReleaseCompletesEachRequestOnce) {
  ASSERT_TRUE(machine_->registry().CreateKey(kParameters));
  ASSERT_TRUE(machine_->registry().SetDword(kParameters, "Timeout_Read_1st", 0));
  hk::DeviceObject* physical = PlugTower();
  auto& io = machine_->io();
  uint8_t buffer[8][4] = {};
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(io.SendPower(physical, 3, 0, 4), STATUS_SUCCESS);  // the system goes to sleep
    hk::FileObject* file = nullptr;
    ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
    std::vector<std::unique_ptr<hk::PendingIo>> reads;
    for (auto& b : buffer) reads.push_back(io.ReadAsync(file, b, sizeof(b)));

    std::thread canceller([&] { io.CancelIo(file); });
    std::thread waker([&] { io.SendPower(physical, 2, 0, 1); });
    canceller.join();
    waker.join();

    for (auto& read : reads) {
      ASSERT_TRUE(read->Wait(std::chrono::seconds(5)));
      const NTSTATUS status = read->status();
      EXPECT_TRUE(status == STATUS_CANCELLED || status == STATUS_SUCCESS) << status;
    }
    ASSERT_EQ(io.Close(file), STATUS_SUCCESS);
  }
}

TEST_F(Concurrency, TowersAddedAtOnceGetDistinctNumbers) {
  constexpr int kThreads = 4;
  constexpr int kEach = 5;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        machine_->PlugUsb(std::make_shared<sim::TowerModel>(Instant()), kTowerHardwareId, &status);
        if (status != STATUS_SUCCESS) ++failures;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  std::set<ULONG> units;
  for (uint32_t unit = 1; unit <= kThreads * kEach; ++unit) {
    TowerDevice* record = Record(unit);
    ASSERT_NE(record, nullptr) << unit;
    units.insert(record->UnitNumber);
  }
  EXPECT_EQ(units.size(), static_cast<size_t>(kThreads * kEach));
  EXPECT_EQ(Record(kThreads * kEach + 1), nullptr);
}

TEST_F(Concurrency, StateQueriesFromManyThreadsOnOneHandle) {
  PlugTower();
  hk::FileObject* file = nullptr;
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        QIROTOWER_STATEREC state{};
        uint32_t got = 0;
        const NTSTATUS status = machine_->io().Control(file, IOCTL_TOWER_GET_STATE, nullptr, 0,
                                                       &state, sizeof(state), &got);
        if (status != STATUS_SUCCESS || got != sizeof(state) || state.State != 0xF) ++wrong;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

TEST_F(Concurrency, CleanupRacingReceiveCompletionsNeverTouchesADeadRing) {
  ASSERT_TRUE(machine_->registry().CreateKey(kParameters));
  ASSERT_TRUE(machine_->registry().SetDword(kParameters, "Timeout_Read_1st", 1));
  PlugTower();
  std::atomic<bool> stop{false};
  // The far side talks without pause, so completions keep storing into the ring.
  std::thread talker([&] {
    while (!stop.load()) Tower().Inject({1, 2, 3, 4, 5, 6, 7, 8, 9});
  });
  auto& io = machine_->io();
  for (int round = 0; round < 100; ++round) {
    hk::FileObject* file = nullptr;
    ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
    uint8_t buffer[16];
    uint32_t got = 0;
    io.Read(file, buffer, sizeof(buffer), &got);
    ASSERT_EQ(io.Close(file), STATUS_SUCCESS);
  }
  stop = true;
  talker.join();
  EXPECT_FALSE(Flag(&Record(1)->ReaderActive));
}

}  // namespace
}  // namespace towertest
