#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "fake_port.h"
#include "sim/tower.h"

namespace {

using namespace std::chrono_literals;
using hk::usb::Transfer;
using hk::usb::TransferKind;
using sim_test::FakePort;

struct Slot {
  std::array<uint8_t, 8> buffer{};
  Transfer transfer;
};

std::unique_ptr<Slot> NewIn() {
  auto slot = std::make_unique<Slot>();
  slot->transfer = {.kind = TransferKind::BulkIn,
                    .endpoint = tower::kEndpointIn,
                    .setup = {},
                    .buffer = slot->buffer.data(),
                    .length = 8,
                    .shortOk = true};
  return slot;
}

// Readers submit IN transfers and cancel some of them at once, some a moment
// later and some only if nothing came, while bytes keep arriving from the far
// side. Every transfer must end exactly once, and the bytes delivered, in the
// order the port saw the completions, must be exactly the bytes injected.
TEST(TowerConcurrencyTest, InTransfersRaceCancelsAndArrivingBytes) {
  FakePort port;
  sim::TowerModel model(
      {.linkDelay = false, .receiveCapacity = 1 << 16, .farSide = sim::FarSide::Silence});
  model.Attach(&port);
  ASSERT_TRUE(model.SetConfiguration(tower::kConfigurationNormal));

  // Before any byte arrives a cancel always wins: the race below may or may
  // not produce one, depending on how the threads run.
  const std::unique_ptr<Slot> idle = NewIn();
  model.Submit(&idle->transfer);
  model.Cancel(&idle->transfer);
  ASSERT_TRUE(port.WaitFor(&idle->transfer));

  constexpr int kReaders = 4;
  constexpr int kPerReader = 300;
  std::vector<std::vector<std::unique_ptr<Slot>>> slots(kReaders);
  std::atomic<int> readersLeft = kReaders;
  std::vector<uint8_t> injected;

  std::thread injector([&] {
    uint8_t next = 0;
    size_t chunk = 1;
    while (readersLeft.load() > 0) {
      if (model.QueuedBytes() > 64) {
        std::this_thread::yield();
        continue;
      }
      std::vector<uint8_t> bytes(chunk);
      for (uint8_t& b : bytes) b = next++;
      model.Inject(bytes);
      injected.insert(injected.end(), bytes.begin(), bytes.end());
      chunk = chunk % 13 + 1;
    }
  });
  std::vector<std::thread> readers;
  readers.reserve(kReaders);
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&, r] {
      for (int i = 0; i < kPerReader; ++i) {
        slots[r].push_back(NewIn());
        Transfer* t = &slots[r].back()->transfer;
        model.Submit(t);
        if (i % 3 == 1) std::this_thread::yield();
        if (i % 3 == 2) port.WaitFor(t, 5ms);
        model.Cancel(t);
        // A delivery that won the race may still be on its way to the port.
        EXPECT_TRUE(port.WaitFor(t));
      }
      --readersLeft;
    });
  }
  for (std::thread& t : readers) t.join();
  injector.join();

  std::vector<std::unique_ptr<Slot>> drain;
  while (model.QueuedBytes() > 0) {
    drain.push_back(NewIn());
    model.Submit(&drain.back()->transfer);
    ASSERT_TRUE(port.WaitFor(&drain.back()->transfer));
  }

  for (const auto& reader : slots) {
    for (const auto& slot : reader) EXPECT_EQ(port.CountFor(&slot->transfer), 1);
  }
  std::vector<uint8_t> delivered;
  size_t cancelled = 0;
  for (const FakePort::Record& r : port.Records()) {
    if (r.status == tower::STATUS_CANCELLED) {
      EXPECT_EQ(r.actual, 0u);
      ++cancelled;
      continue;
    }
    ASSERT_EQ(r.status, tower::STATUS_SUCCESS);
    ASSERT_GE(r.actual, 1u);
    delivered.insert(delivered.end(), r.data.begin(), r.data.end());
  }
  EXPECT_EQ(delivered, injected);
  EXPECT_EQ(model.HeldTransfers(), 0u);
  EXPECT_GT(cancelled, 0u);
  EXPECT_EQ(model.Stats().received, injected.size());
}

}  // namespace
