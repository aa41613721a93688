// Races the driver must survive: cancellation against release of held
// requests, many towers added at once, and state queries from many threads.
#include <array>
#include <atomic>
#include <chrono>
#include <limits>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include <cstring>

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

// A cancel by handle looks at every live request, those its issuer is still
// filling in among them: it must match them by what was settled at issue,
// never by a field the issuer is writing.
TEST_F(Concurrency, CancelsByHandleRacingIssuesOnThatHandleMatchOnlyIssuedRequests) {
  ASSERT_TRUE(machine_->registry().CreateKey(kParameters));
  ASSERT_TRUE(machine_->registry().SetDword(kParameters, "Timeout_Read_1st", 0));
  PlugTower();
  auto& io = machine_->io();
  hk::FileObject* file = nullptr;
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  constexpr int kReads = 1000;
  std::vector<std::array<uint8_t, 4>> buffers(kReads);
  std::vector<std::unique_ptr<hk::PendingIo>> reads;
  reads.reserve(kReads);
  std::atomic<bool> issuing{true};
  std::thread canceller([&] {
    while (issuing.load()) io.CancelIo(file);
  });
  for (auto& buffer : buffers) reads.push_back(io.ReadAsync(file, buffer.data(), buffer.size()));
  issuing.store(false);
  canceller.join();
  for (auto& read : reads) {
    ASSERT_TRUE(read->Wait(std::chrono::seconds(5)));
    const NTSTATUS status = read->status();
    EXPECT_TRUE(status == STATUS_CANCELLED || status == STATUS_SUCCESS || status == STATUS_TIMEOUT)
        << status;
  }
  EXPECT_EQ(io.Close(file), STATUS_SUCCESS);
}

// What an overlapped issuer learns: the completion routine runs once, with
// the results, in whichever thread completes the request.
struct Completions {
  std::atomic<int> calls{0};
  std::atomic<NTSTATUS> status{STATUS_PENDING};
  static void Routine(void* context, NTSTATUS status, uintptr_t information) {
    auto* self = static_cast<Completions*>(context);
    (void)information;
    self->status.store(status);
    self->calls.fetch_add(1);
  }
};

TEST_F(Concurrency, OneHeldRequestIsCancelledThroughTheDriversCancelRoutine) {
  ASSERT_TRUE(machine_->registry().CreateKey(kParameters));
  ASSERT_TRUE(machine_->registry().SetDword(kParameters, "Timeout_Read_1st", 0));
  hk::DeviceObject* physical = PlugTower();
  auto& io = machine_->io();
  ASSERT_EQ(io.SendPnp(physical, 0x05), STATUS_SUCCESS);  // query stop: requests are held
  hk::FileObject* file = nullptr;
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  uint8_t buffer[2][4] = {};
  Completions first;
  Completions second;
  auto one = io.ReadAsync(file, buffer[0], 4, {&Completions::Routine, &first});
  auto other = io.ReadAsync(file, buffer[1], 4, {&Completions::Routine, &second});
  EXPECT_FALSE(one->Wait(std::chrono::milliseconds(30)));
  EXPECT_EQ(first.calls.load(), 0);

  // The one request goes; the other stays held.
  io.Cancel(*one);
  ASSERT_TRUE(one->Wait(std::chrono::seconds(5)));
  EXPECT_EQ(one->status(), STATUS_CANCELLED);
  EXPECT_EQ(first.calls.load(), 1);
  EXPECT_EQ(first.status.load(), STATUS_CANCELLED);
  EXPECT_FALSE(other->Wait(std::chrono::milliseconds(30)));
  // A second cancel of a finished request reaches nobody.
  io.Cancel(*one);
  EXPECT_EQ(first.calls.load(), 1);

  // Handed to the I/O manager once done, while a cancel by handle races the
  // release of the other request: each completes once, and the retired one
  // is freed by a later issue.
  io.Retire(std::move(one));
  std::thread canceller([&] { io.CancelIo(file); });
  ASSERT_EQ(io.SendPnp(physical, 0x06), STATUS_SUCCESS);  // cancel stop
  canceller.join();
  ASSERT_TRUE(other->Wait(std::chrono::seconds(5)));
  EXPECT_EQ(second.calls.load(), 1);
  EXPECT_TRUE(second.status.load() == STATUS_SUCCESS || second.status.load() == STATUS_CANCELLED);
  io.Retire(std::move(other));
  uint8_t byte = 0;
  uint32_t read = 0;
  EXPECT_EQ(io.Read(file, &byte, 1, &read), STATUS_SUCCESS);
  EXPECT_EQ(io.Close(file), STATUS_SUCCESS);
}

TEST_F(Concurrency, TowersAddedAtOnceGetDistinctNumbers) {
  constexpr int kThreads = 4;
  constexpr int kEach = 5;
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
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
  threads.reserve(4);
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
  // Cleanup waits only 100 ms for the cancelled transfer; a loaded machine
  // may bring it back later, and then it must still stop the reader.
  for (int i = 0; i < 5000 && Flag(&Record(1)->ReaderActive); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(Flag(&Record(1)->ReaderActive));
}

// Two reads waiting at once on one handle: each packet goes to one of them,
// whole and in order, none to both, and neither is left waiting for bytes
// the other was handed.
TEST_F(Concurrency, TwoWaitingReadsShareThePacketsWithoutDuplicates) {
  ASSERT_TRUE(machine_->registry().CreateKey(kParameters));
  ASSERT_TRUE(machine_->registry().SetDword(kParameters, "Timeout_Read_1st", 3000));
  ASSERT_TRUE(machine_->registry().SetDword(kParameters, "Timeout_Read_ic", 1000));
  PlugTower();
  hk::FileObject* file = nullptr;
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  std::vector<uint8_t> got[2];
  std::vector<std::thread> readers;
  for (auto& bytes : got) {
    readers.emplace_back([&] {
      bytes.resize(16);
      uint32_t n = 0;
      EXPECT_EQ(machine_->io().Read(file, bytes.data(), 16, &n), STATUS_SUCCESS);
      bytes.resize(n);
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  for (uint8_t k = 0; k < 4; ++k) {
    Tower().Inject({static_cast<uint8_t>(k * 8), static_cast<uint8_t>(k * 8 + 1),
                    static_cast<uint8_t>(k * 8 + 2), static_cast<uint8_t>(k * 8 + 3),
                    static_cast<uint8_t>(k * 8 + 4), static_cast<uint8_t>(k * 8 + 5),
                    static_cast<uint8_t>(k * 8 + 6), static_cast<uint8_t>(k * 8 + 7)});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  for (auto& r : readers) r.join();
  std::set<uint8_t> all;
  for (const auto& bytes : got) {
    EXPECT_EQ(bytes.size(), 16u);
    for (size_t i = 1; i < bytes.size(); ++i) EXPECT_LT(bytes[i - 1], bytes[i]);
    all.insert(bytes.begin(), bytes.end());
  }
  EXPECT_EQ(all.size(), 32u);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

// The units of the towers the driver has started, read from their records.
std::set<ULONG> StartedUnits(hk::Machine& machine) {
  std::set<ULONG> units;
  for (hk::DevNode* node : machine.tree().Nodes()) {
    std::lock_guard<std::recursive_mutex> lock(machine.tree().mutex());
    if (!node->present || node->physical == nullptr || node->physical->attachedAbove == nullptr)
      continue;
    auto* tower = *reinterpret_cast<TowerDevice**>(node->physical->attachedAbove->extension.data());
    units.insert(tower->UnitNumber);
  }
  return units;
}

TEST_F(Concurrency, TowersChurnWithRequestsInFlight) {
  ASSERT_TRUE(machine_->registry().CreateKey(kParameters));
  ASSERT_TRUE(machine_->registry().SetDword(kParameters, "Timeout_Read_1st", 2));
  ASSERT_TRUE(machine_->registry().SetDword(kParameters, "Timeout_Read_ic", 2));
  std::atomic<bool> stop{false};
  std::atomic<int> unexpected{0};
  auto worker = [&](unsigned seed) {
    std::mt19937 random(seed);
    while (!stop.load()) {
      hk::FileObject* file = nullptr;
      if (!NtSuccess(OpenUnit(1 + random() % kMaxUnits, &file))) continue;
      uint8_t buffer[24] = {};
      uint32_t got = 0;
      NTSTATUS statuses[3] = {
          machine_->io().Read(file, buffer, 4, &got), machine_->io().Write(file, "abc", 3, &got),
          machine_->io().Control(file, IOCTL_TOWER_GET_RANGE, nullptr, 0, buffer, 12, &got)};
      for (NTSTATUS status : statuses)
        if (status != STATUS_SUCCESS && status != STATUS_DELETE_PENDING &&
            status != STATUS_DEVICE_NOT_READY && status != STATUS_DEVICE_NOT_CONNECTED)
          ++unexpected;
      if (machine_->io().Close(file) != STATUS_SUCCESS) ++unexpected;
    }
  };
  std::thread a(worker, 1u);
  std::thread b(worker, 2u);

  std::mt19937 random(7);
  std::vector<hk::DeviceObject*> present;
  for (int round = 0; round < 150; ++round) {
    if (present.size() < kMaxUnits && (present.empty() || random() % 3 != 0)) {
      NTSTATUS status = STATUS_UNSUCCESSFUL;
      hk::DeviceObject* physical = machine_->PlugUsb(std::make_shared<sim::TowerModel>(Instant()),
                                                     kTowerHardwareId, &status);
      // A tower may meet the names of one whose removal still waits for a handle.
      if (NtSuccess(status))
        present.push_back(physical);
      else if (physical != nullptr)
        machine_->Unplug(physical);
    } else {
      const size_t victim = random() % present.size();
      machine_->Unplug(present[victim]);
      present.erase(present.begin() + static_cast<long>(victim));
    }
  }
  stop = true;
  a.join();
  b.join();
  machine_->SettlePnp();
  EXPECT_EQ(unexpected.load(), 0);

  // Every started tower holds its own number, and the driver's mask holds
  // exactly those numbers.
  const std::set<ULONG> units = StartedUnits(*machine_);
  EXPECT_EQ(units.size(), present.size());
  ULONG mask = 0;
  for (ULONG unit : units) mask |= 1u << unit;
  auto* driver = static_cast<TowerDriver*>(machine_->FindDriver(kService)->context);
  EXPECT_EQ(driver->UnitMask, mask);
}

TEST_F(Concurrency, ControlRequestsFromManyThreadsBesideReadsAndWrites) {
  ASSERT_TRUE(machine_->registry().CreateKey(kParameters));
  ASSERT_TRUE(machine_->registry().SetDword(kParameters, "Timeout_Read_1st", 2));
  PlugTower();
  hk::FileObject* file = nullptr;
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  // Every assigned function but RESTART, plus unassigned ones and unknown codes.
  std::vector<uint32_t> codes;
  for (uint32_t function = 0x800; function <= 0x828; ++function)
    if (function != 0x826) codes.push_back(TOWER_CTL_CODE(function));
  codes.push_back(0x00220003u);
  std::atomic<bool> stop{false};
  std::atomic<int> unexpected{0};
  std::atomic<int> done{0};
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      std::mt19937 random(100 + t);
      for (int i = 0; i < 250; ++i) {
        const uint32_t code = codes[random() % codes.size()];
        uint8_t in[32];
        for (auto& byte : in) byte = static_cast<uint8_t>(random());
        // Sane timeouts, so that the reader and writer stay quick.
        if (code == IOCTL_TOWER_SET_TIMEOUTS) std::memset(in + 8, 0, 16);
        uint8_t out[128];
        const uint32_t inLength = random() % 2 ? 0 : random() % 33;
        const uint32_t outLength = random() % 129;
        uint32_t got = 0;
        const NTSTATUS status = machine_->io().Control(file, code, inLength ? in : nullptr,
                                                       inLength, out, outLength, &got);
        if (status != STATUS_SUCCESS && status != STATUS_INVALID_PARAMETER &&
            status != STATUS_BUFFER_TOO_SMALL && status != STATUS_UNSUCCESSFUL)
          ++unexpected;
        if (got > outLength) ++unexpected;
        ++done;
      }
    });
  std::thread reader([&] {
    uint8_t buffer[16];
    uint32_t got = 0;
    while (!stop.load())
      if (!NtSuccess(machine_->io().Read(file, buffer, sizeof(buffer), &got))) ++unexpected;
  });
  std::thread writer([&] {
    uint32_t got = 0;
    while (!stop.load())
      if (!NtSuccess(machine_->io().Write(file, "0123456789", 10, &got))) ++unexpected;
  });
  for (auto& t : threads) t.join();
  stop = true;
  reader.join();
  writer.join();
  EXPECT_EQ(done.load(), 8 * 250);
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_EQ(StateWord(file), 0xF);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

// The kernel's events: a waiter that sees the signal may free the event at
// once; an auto-reset event lets one waiter through per signal, a manual one
// all of them; a limited wait with no signal says so.
TEST(KernelEvent, AWaiterFreesTheEventItWasWokenBy) {
  for (int round = 0; round < 300; ++round) {
    auto* event = new hk::Event(round % 2 == 0, false);
    std::thread setter([event] { event->Set(); });
    ASSERT_EQ(event->Wait(nullptr), STATUS_SUCCESS);
    delete event;  // the setter may still be inside Set: it must not touch it any more
    setter.join();
  }
}

TEST(KernelEvent, OneWaiterPassesPerSignalOfAnAutoResetEvent) {
  hk::Event autoReset(true, false);
  std::atomic<int> passed{0};
  std::vector<std::thread> waiters;
  waiters.reserve(4);
  for (int i = 0; i < 4; ++i)
    waiters.emplace_back([&] {
      autoReset.Wait(nullptr);
      ++passed;
    });
  for (int signal = 1; signal <= 4; ++signal) {
    autoReset.Set();
    while (passed.load() < signal) std::this_thread::yield();
    EXPECT_EQ(passed.load(), signal);
  }
  for (auto& t : waiters) t.join();
  EXPECT_FALSE(autoReset.IsSignalled());

  hk::Event manual(false, false);
  std::atomic<int> woken{0};
  waiters.clear();
  for (int i = 0; i < 4; ++i)
    waiters.emplace_back([&] {
      manual.Wait(nullptr);
      ++woken;
    });
  manual.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 4);
  EXPECT_TRUE(manual.IsSignalled());
}

TEST(KernelEvent, ALimitedWaitWithoutASignalTimesOutAndASignalIsTakenOnce) {
  hk::Event event(true, false);
  const int64_t tenMs = -100000;
  const int64_t poll = 0;
  EXPECT_EQ(event.Wait(&tenMs), STATUS_TIMEOUT);
  EXPECT_EQ(event.Wait(&poll), STATUS_TIMEOUT);
  event.Set();
  event.Set();  // a second signal on a signalled event adds nothing
  EXPECT_EQ(event.Wait(&poll), STATUS_SUCCESS);
  EXPECT_EQ(event.Wait(&poll), STATUS_TIMEOUT);
  event.Set();
  event.Clear();
  EXPECT_EQ(event.Wait(&tenMs), STATUS_TIMEOUT);
}

// Deadlines at the edges of the clock: one already past, or before the
// clock's start, ends the wait at once; a wait longer than the clock can
// count is one without a limit, not one whose deadline wrapped into the past.
TEST(KernelEvent, DeadlinesPastOrBeyondTheClockNeitherSpinNorWrap) {
  hk::Event event(false, false);
  const auto past = std::chrono::steady_clock::now() - std::chrono::milliseconds(5);
  const std::chrono::steady_clock::time_point beforeStart(std::chrono::seconds(-5));
  EXPECT_FALSE(event.WaitUntil(&past));
  EXPECT_FALSE(event.WaitUntil(&beforeStart));

  for (const int64_t longest : {std::numeric_limits<int64_t>::min(),
                                std::numeric_limits<int64_t>::max(), -(int64_t{1} << 60)}) {
    hk::Event late(true, false);
    std::atomic<bool> returned{false};
    NTSTATUS status = STATUS_PENDING;
    std::thread waiter([&] {
      status = late.Wait(&longest);
      returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(returned.load()) << longest;
    late.Set();
    waiter.join();
    EXPECT_EQ(status, STATUS_SUCCESS) << longest;
  }
}

// The driver's clock at a speed-up: its relative waits shrink by the same
// factor, rounded up so that a short wait never becomes a mere look; real
// time and absolute times are left alone.
TEST(KernelClock, ASpedUpClockShortensRelativeWaitsOnly) {
  hk::Kernel kernel;
  EXPECT_EQ(kernel.ClockSpeed(), 1u);
  EXPECT_EQ(kernel.HostWait(-2000000), -2000000);
  kernel.SetClockSpeed(10);
  EXPECT_EQ(kernel.HostWait(-2000000), -200000);
  EXPECT_EQ(kernel.HostWait(-15), -2);
  EXPECT_EQ(kernel.HostWait(-1), -1);
  EXPECT_EQ(kernel.HostWait(0), 0);
  EXPECT_EQ(kernel.HostWait(5000), 5000);
  EXPECT_EQ(kernel.HostWait(std::numeric_limits<int64_t>::min()),
            -static_cast<int64_t>((uint64_t{1} << 63) / 10 + 1));
  kernel.SetClockSpeed(0);  // no such speed: real time
  EXPECT_EQ(kernel.ClockSpeed(), 1u);
}

// The host's own lock: threads that sleep on it are woken one by one as it
// is let go, none gets in while another holds it, and a holder may free it
// as soon as it has let go (the sleeper's wake-up call touches only its
// address).
TEST(HostMutex, ExcludesAndWakesItsSleepers) {
  hk::HostMutex mutex;
  long counter = 0;  // plain: only the lock keeps the threads apart
  std::vector<std::thread> threads;
  threads.reserve(4);
  mutex.lock();
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&] {
      for (int k = 0; k < 20000; ++k) {
        std::lock_guard<hk::HostMutex> hold(mutex);
        ++counter;
      }
    });
  // The threads find it held, and sleep until it is let go.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(mutex.try_lock());
  mutex.unlock();
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 4 * 20000);
  ASSERT_TRUE(mutex.try_lock());
  mutex.unlock();

  for (int round = 0; round < 300; ++round) {
    auto* owned = new hk::HostMutex();
    std::atomic<bool> held{false};
    std::thread holder([owned, &held] {
      owned->lock();
      held = true;
      std::this_thread::yield();
      owned->unlock();
    });
    while (!held.load()) std::this_thread::yield();
    owned->lock();  // most often sleeps until the holder lets go
    owned->unlock();
    delete owned;  // the holder may still be inside unlock
    holder.join();
  }
}

}  // namespace
}  // namespace towertest
