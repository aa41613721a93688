// The data path: what an open sends, the receive ring, reads under their two
// limits, writes under theirs, and the receive transfer's states.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "fixture.h"
#include "tower/values.h"

namespace towertest {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

class DataPath : public MachineTest {
 protected:
  void SetDword(const char* name, uint32_t value) {
    ASSERT_TRUE(machine_->registry().CreateKey(kParameters));
    ASSERT_TRUE(machine_->registry().SetDword(kParameters, name, value));
  }
  // Short limits keep reads that wait quick; tests of the timing set their own.
  void QuickReads() {
    SetDword("Timeout_Read_1st", 20);
    SetDword("Timeout_Read_ic", 20);
  }
  hk::FileObject* Open() {
    hk::FileObject* file = nullptr;
    EXPECT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
    return file;
  }
  // Waits until the driver's ring holds n bytes (the receive transfer runs on
  // the bus thread).
  bool WaitForRing(int32_t n) {
    for (int i = 0; i < 500; ++i) {
      if (RingCount(1) >= n) return true;
      std::this_thread::sleep_for(milliseconds(1));
    }
    return false;
  }
  std::vector<hk::usb::SetupPacket> ParmRequests() {
    std::vector<hk::usb::SetupPacket> out;
    for (const auto& s : Tower().SetupLog())
      if (s.bRequest == TOWER_REQ_SET_PARM) out.push_back(s);
    return out;
  }
  std::vector<uint8_t> Read(hk::FileObject* file, uint32_t length, NTSTATUS* status = nullptr) {
    std::vector<uint8_t> data(length);
    uint32_t got = 0;
    const NTSTATUS s = machine_->io().Read(file, data.data(), length, &got);
    if (status != nullptr) *status = s;
    EXPECT_TRUE(NtSuccess(s)) << s;
    data.resize(got);
    return data;
  }
};

TEST_F(DataPath, AnOpenSendsTheRangeAndThenTheLinkMode) {
  PlugTower();
  hk::FileObject* file = Open();
  auto sent = ParmRequests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].bmRequestType, 0xC0);
  EXPECT_EQ(sent[0].wValue, 0x0302);  // range 3
  EXPECT_EQ(sent[0].wIndex, 0);
  EXPECT_EQ(sent[0].wLength, 4);
  EXPECT_EQ(sent[1].wValue, 0x0201);  // link mode 2
  EXPECT_EQ(StateWord(file), 0xF);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);

  // Only the low byte of a registry value goes to the tower.
  SetDword("IRRange", 0x103);
  SetDword("LinkMode", 4);
  Tower().ClearSetupLog();
  file = Open();
  sent = ParmRequests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].wValue, 0x0302);
  EXPECT_EQ(sent[1].wValue, 0x0401);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

TEST_F(DataPath, ARefusedRangeSendsNoLinkModeAndLeavesTheTowerClosed) {
  PlugTower();
  sim::RequestFault stall;
  stall.stall = true;
  Tower().SetRequestFault(TOWER_REQ_SET_PARM, stall);
  hk::FileObject* file = nullptr;
  EXPECT_EQ(OpenUnit(1, &file), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(ParmRequests().size(), 1u);
  EXPECT_FALSE(Flag(&Record(1)->Open));
  EXPECT_EQ(Record(1)->ReadBuffer, nullptr);

  Tower().ClearRequestFaults();
  file = Open();
  EXPECT_EQ(StateWord(file), 0xF);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

// A tower that takes the range but stalls the link mode, until told not to.
class RefusesLinkMode : public hk::usb::DeviceModel {
 public:
  explicit RefusesLinkMode(std::shared_ptr<sim::TowerModel> inner) : inner_(std::move(inner)) {}
  void Attach(hk::usb::Port* port) override {
    port_ = port;
    inner_->Attach(port);
  }
  std::vector<uint8_t> DeviceDescriptor() override { return inner_->DeviceDescriptor(); }
  std::vector<uint8_t> ConfigurationDescriptor(uint8_t index) override {
    return inner_->ConfigurationDescriptor(index);
  }
  bool SetConfiguration(uint8_t value) override { return inner_->SetConfiguration(value); }
  void Submit(hk::usb::Transfer* t) override {
    if (refuse.load() && t->kind == hk::usb::TransferKind::Control &&
        t->setup.bRequest == TOWER_REQ_SET_PARM &&
        (t->setup.wValue & 0xFF) == TOWER_PARM_LINK_MODE) {
      port_->Complete(t, STATUS_UNSUCCESSFUL, hk::usb::USBD_STATUS_STALL_PID, 0);
      return;
    }
    inner_->Submit(t);
  }
  void Cancel(hk::usb::Transfer* t) override { inner_->Cancel(t); }

  std::atomic<bool> refuse{true};

 private:
  std::shared_ptr<sim::TowerModel> inner_;
  hk::usb::Port* port_ = nullptr;
};

TEST_F(DataPath, ALinkModeRefusedAfterTheRangeFailsTheOpenWithItsStatus) {
  ASSERT_TRUE(machine_->registry().CreateKey(kParameters));
  ASSERT_TRUE(machine_->registry().SetDword(kParameters, "IRRange", TOWER_RANGE_SHORT));
  towers_.push_back(std::make_shared<sim::TowerModel>(Instant()));
  auto model = std::make_shared<RefusesLinkMode>(towers_.back());
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  ASSERT_NE(machine_->PlugUsb(model, kTowerHardwareId, &status), nullptr);
  ASSERT_EQ(status, STATUS_SUCCESS);
  hk::FileObject* file = nullptr;
  EXPECT_EQ(OpenUnit(1, &file), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Tower().Parameter(TOWER_PARM_RANGE), TOWER_RANGE_SHORT) << "the range went first";
  EXPECT_FALSE(Flag(&Record(1)->Open));
  EXPECT_EQ(Record(1)->ReadBuffer, nullptr);
  EXPECT_FALSE(Flag(&Record(1)->ReaderActive));

  model->refuse = false;
  file = Open();
  EXPECT_EQ(StateWord(file), 0xF);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

TEST_F(DataPath, ASilentTowerTimesTheOpenOutAndLeavesNothingBehind) {
  PlugTower();
  sim::RequestFault silent;
  silent.neverAnswer = true;
  Tower().SetDefaultRequestFault(silent);
  hk::FileObject* file = nullptr;
  const auto start = Clock::now();
  // The request timed out (a success-class status); the open says so as a failure.
  EXPECT_EQ(OpenUnit(1, &file), STATUS_IO_TIMEOUT);
  const int64_t took = MsSince(start);
  EXPECT_GE(took, 190);
  EXPECT_LT(took, 2000);
  EXPECT_EQ(ParmRequests().size(), 1u);
  // The request was cancelled and came back; the tower holds nothing.
  EXPECT_EQ(Tower().HeldTransfers(), 0u);
  EXPECT_TRUE(machine_->kernel().LiveRequests().empty());
  EXPECT_FALSE(Flag(&Record(1)->Open));
}

// The driver's clock sped up (as the fuzzers run it) changes when a limit
// runs out, not what happens then; a tower that answers is not cut short.
TEST_F(DataPath, ASpedUpClockKeepsWhatALimitRunningOutDoes) {
  machine_->kernel().SetClockSpeed(10);
  PlugTower();
  hk::FileObject* file = nullptr;
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
  sim::RequestFault silent;
  silent.neverAnswer = true;
  Tower().SetDefaultRequestFault(silent);
  EXPECT_EQ(OpenUnit(1, &file), STATUS_IO_TIMEOUT);
  EXPECT_EQ(Tower().HeldTransfers(), 0u);
  EXPECT_TRUE(machine_->kernel().LiveRequests().empty());
  EXPECT_FALSE(Flag(&Record(1)->Open));
}

TEST_F(DataPath, NoRequestPacketMeansNothingIsSent) {
  PlugTower();
  machine_->kernel().FailNthDriverIrp(1);
  hk::FileObject* file = nullptr;
  EXPECT_EQ(OpenUnit(1, &file), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(ParmRequests().empty());
  // No memory for the transfer block is a different failure.
  machine_->kernel().FailNthAllocation(1);
  EXPECT_EQ(OpenUnit(1, &file), STATUS_NO_MEMORY);
  EXPECT_TRUE(ParmRequests().empty());
}

TEST_F(DataPath, WhatIsWrittenComesBackOverTheLoopback) {
  PlugTower();
  QuickReads();
  hk::FileObject* file = Open();
  const std::string text = "0123456789abcdefghij";  // more than one 8-byte packet
  uint32_t written = 0;
  ASSERT_EQ(machine_->io().Write(file, text.data(), static_cast<uint32_t>(text.size()), &written),
            STATUS_SUCCESS);
  EXPECT_EQ(written, text.size());
  ASSERT_TRUE(WaitForRing(static_cast<int32_t>(text.size())));
  const auto heard = Read(file, static_cast<uint32_t>(text.size()));
  EXPECT_EQ(std::string(heard.begin(), heard.end()), text);
  EXPECT_EQ(Tower().Transmitted().size(), text.size());

  // A write of nothing succeeds and sends nothing.
  Tower().ClearTransmitted();
  EXPECT_EQ(machine_->io().Write(file, text.data(), 0, &written), STATUS_SUCCESS);
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(Tower().Transmitted().empty());
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

TEST_F(DataPath, AFullRingKeepsTheOldestBytesInOrder) {
  PlugTower();
  QuickReads();
  hk::FileObject* file = Open();
  std::vector<uint8_t> burst(1500);
  for (size_t i = 0; i < burst.size(); ++i) burst[i] = static_cast<uint8_t>(i * 7);
  Tower().Inject(burst);
  ASSERT_TRUE(WaitForRing(1024));
  // Give the transfers after the 1024th byte time to arrive and be dropped.
  for (int i = 0; i < 200 && Tower().QueuedBytes() > 0; ++i)
    std::this_thread::sleep_for(milliseconds(1));
  const auto first = Read(file, 1024);
  ASSERT_EQ(first.size(), 1024u);
  EXPECT_TRUE(std::equal(first.begin(), first.end(), burst.begin()));
  // A packet still on its way when the ring was emptied (a bus with a hop
  // more, such as libusb's event thread) lands in the ring afterwards: what
  // comes later is only the burst's newest bytes, after a dropped stretch.
  const auto rest = Read(file, 2000);
  ASSERT_LT(rest.size(), burst.size() - 1024);
  EXPECT_TRUE(std::equal(rest.begin(), rest.end(), burst.end() - static_cast<long>(rest.size())));
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

TEST_F(DataPath, ARingOfSizeZeroStoresNothing) {
  SetDword("BufferSize", 0);
  QuickReads();
  PlugTower();
  hk::FileObject* file = Open();
  Tower().Inject({1, 2, 3});
  for (int i = 0; i < 200 && Tower().QueuedBytes() > 0; ++i)
    std::this_thread::sleep_for(milliseconds(1));
  EXPECT_TRUE(Read(file, 3).empty());
  EXPECT_EQ(StateWord(file), 0xF);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

// Bytes that arrive while a read waits are kept only as far as the ring
// would keep them: with a ring of size 0 the waiting read still gets nothing.
TEST_F(DataPath, AReadWaitingOnARingOfSizeZeroGetsNothing) {
  SetDword("BufferSize", 0);
  SetDword("Timeout_Read_1st", 500);
  SetDword("Timeout_Read_ic", 200);
  PlugTower();
  hk::FileObject* file = Open();
  std::vector<uint8_t> got{0xEE};
  std::thread reader([&] { got = Read(file, 3); });
  std::this_thread::sleep_for(milliseconds(50));
  Tower().Inject({1, 2, 3});
  reader.join();
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

TEST_F(DataPath, AReadWaitsFirstForTheFirstByteLimitThenTheInterCharacterLimit) {
  SetDword("Timeout_Read_1st", 400);
  SetDword("Timeout_Read_ic", 50);
  PlugTower();
  hk::FileObject* file = Open();

  // Nothing arrives: the read gives up after the first-byte limit.
  auto start = Clock::now();
  EXPECT_TRUE(Read(file, 10).empty());
  int64_t took = MsSince(start);
  EXPECT_GE(took, 390);
  EXPECT_LT(took, 4000);

  // Bytes already held count. Their arrival left the data event signalled,
  // so the first wait returns at once and the read goes on under the
  // inter-character limit.
  Tower().Inject({1, 2, 3});
  ASSERT_TRUE(WaitForRing(3));
  start = Clock::now();
  EXPECT_EQ(Read(file, 10).size(), 3u);
  took = MsSince(start);
  EXPECT_GE(took, 45);
  EXPECT_LT(took, 350);  // the first limit would be 400

  // Four bytes after a short while: the read ends one inter-character limit later.
  std::thread late([this] {
    std::this_thread::sleep_for(milliseconds(30));
    Tower().Inject({4, 5, 6, 7});
  });
  start = Clock::now();
  EXPECT_EQ(Read(file, 10).size(), 4u);
  took = MsSince(start);
  late.join();
  // The 30 ms before the bytes start before `start` is taken; only the
  // inter-character wait after them is certain.
  EXPECT_GE(took, 50);
  EXPECT_LT(took, 350);  // well short of the first limit
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

// A read that sleeps while packets keep coming: each packet counts as a
// wake-up at its arrival, so the read runs on under the inter-character
// limit from the latest one, gets every byte in order, and ends as soon as it
// is full or one limit after the last packet, never at the first-byte limit.
TEST_F(DataPath, PacketsKeepASleepingReadGoingUntilItIsFull) {
  SetDword("Timeout_Read_1st", 3000);
  SetDword("Timeout_Read_ic", 150);
  PlugTower();
  hk::FileObject* file = Open();
  auto feed = [this](int packets) {
    return std::thread([this, packets] {
      for (int k = 0; k < packets; ++k) {
        std::this_thread::sleep_for(milliseconds(60));
        std::vector<uint8_t> packet(8);
        for (int i = 0; i < 8; ++i) packet[i] = static_cast<uint8_t>(k * 8 + i);
        Tower().Inject(packet);
      }
    });
  };

  // Four packets fill a 32-byte read: it ends with the fourth.
  std::thread feeder = feed(4);
  auto start = Clock::now();
  const std::vector<uint8_t> full = Read(file, 32);
  int64_t took = MsSince(start);
  feeder.join();
  ASSERT_EQ(full.size(), 32u);
  for (size_t i = 0; i < full.size(); ++i) EXPECT_EQ(full[i], i) << i;
  EXPECT_LT(took, 2000);

  // Three packets and silence: each packet keeps the read going, which
  // ends one inter-character limit after the last, with all 24 bytes.
  feeder = feed(3);
  start = Clock::now();
  const std::vector<uint8_t> part = Read(file, 64);
  took = MsSince(start);
  feeder.join();
  ASSERT_EQ(part.size(), 24u);
  for (size_t i = 0; i < part.size(); ++i) EXPECT_EQ(part[i], i) << i;
  EXPECT_GE(took, 300);   // 180 ms of packets, then the 150 ms limit
  EXPECT_LT(took, 2500);  // far short of the first-byte limit
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

// A sleeping read takes a packet's bytes as they arrive; what it has no room
// for, and every packet after it is full, waits in the ring in order for the
// next read.
TEST_F(DataPath, BytesBeyondAFullSleepingReadWaitInTheRingInOrder) {
  SetDword("Timeout_Read_1st", 3000);
  SetDword("Timeout_Read_ic", 1000);
  PlugTower();
  hk::FileObject* file = Open();
  std::thread feeder([this] {
    std::this_thread::sleep_for(milliseconds(60));
    Tower().Inject({0, 1, 2, 3, 4, 5, 6, 7});
    Tower().Inject({8, 9, 10, 11, 12, 13, 14, 15});
  });
  const std::vector<uint8_t> head = Read(file, 5);
  feeder.join();
  const std::vector<uint8_t> rest = Read(file, 11);
  ASSERT_EQ(head.size(), 5u);
  ASSERT_EQ(rest.size(), 11u);
  for (size_t i = 0; i < head.size(); ++i) EXPECT_EQ(head[i], i) << i;
  for (size_t i = 0; i < rest.size(); ++i) EXPECT_EQ(rest[i], i + 5) << i;
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

// A ring smaller than a packet keeps its oldest bytes; a shorter packet
// right behind it never overtakes them, whether it lands in the ring after
// the read took them or is dropped by the full ring.
TEST_F(DataPath, APacketBehindOneTooBigForTheRingNeverOvertakesIt) {
  SetDword("BufferSize", 4);
  SetDword("Timeout_Read_1st", 2000);
  SetDword("Timeout_Read_ic", 100);
  PlugTower();
  hk::FileObject* file = Open();
  for (int round = 0; round < 20; ++round) {
    std::thread feeder([this] {
      std::this_thread::sleep_for(milliseconds(30));
      Tower().Inject({0, 1, 2, 3, 4, 5, 6, 7});
      Tower().Inject({100, 101});
    });
    const std::vector<uint8_t> got = Read(file, 16);
    feeder.join();
    // Whatever of the second packet the read got follows the first's kept bytes.
    ASSERT_GE(got.size(), 4u) << round;
    EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + 4),
              (std::vector<uint8_t>{0, 1, 2, 3}))
        << round;
    for (size_t i = 4; i < got.size(); ++i) EXPECT_EQ(got[i], 100 + (i - 4)) << round;
  }
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

TEST_F(DataPath, AReadWithoutAFirstByteLimitNeverWaits) {
  SetDword("Timeout_Read_1st", 0);
  SetDword("Timeout_Read_ic", 5000);
  PlugTower();
  hk::FileObject* file = Open();
  const auto start = Clock::now();
  EXPECT_TRUE(Read(file, 10).empty());
  EXPECT_LT(MsSince(start), 1000);  // the inter-character limit would be 5000
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

TEST_F(DataPath, WriteLimitsFollowTheLengthAndWrap) {
  EXPECT_EQ(TowerWriteLimitMs(0, 1000), 0u);   // no limit
  EXPECT_EQ(TowerWriteLimitMs(200, 1), 200u);  // the per-byte product
  EXPECT_EQ(TowerWriteLimitMs(200, 64), 12800u);
  EXPECT_EQ(TowerWriteLimitMs(1, 100), 130u);         // the floor: 12 × 10 + 10
  EXPECT_EQ(TowerWriteLimitMs(0x80000000u, 2), 10u);  // the product wraps to 0
  // 0x10000 × 0x10001 wraps to 0x10000, below the floor of 81930.
  EXPECT_EQ(TowerWriteLimitMs(0x10000u, 0x10001u), 81930u);
}

TEST_F(DataPath, AWriteOverItsLimitIsCancelledAndTimesOut) {
  SetDword("Timeout_Write", 1);
  PlugTower();
  hk::FileObject* file = Open();
  Tower().SetOutFault(sim::OutFault::NeverAccept);
  std::vector<uint8_t> data(100, 0x55);
  uint32_t written = 99;
  const auto start = Clock::now();
  EXPECT_EQ(machine_->io().Write(file, data.data(), 100, &written), STATUS_TIMEOUT);
  const int64_t took = MsSince(start);
  EXPECT_GE(took, 120);  // 130 ms for 100 bytes at 1 ms per byte
  EXPECT_LT(took, 1500);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(Tower().HeldTransfers(), 1u);  // only the receive transfer
  EXPECT_EQ(StateWord(file), 0xF);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

TEST_F(DataPath, ADataErrorRefusesRequestsUntilTheTowerDeliversAgain) {
  QuickReads();
  PlugTower();
  hk::FileObject* file = Open();
  Tower().SetOutFault(sim::OutFault::DataError);
  uint32_t written = 99;
  EXPECT_EQ(machine_->io().Write(file, "abc", 3, &written), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(StateWord(file), 0x7);
  NTSTATUS status = STATUS_SUCCESS;
  uint8_t byte = 0;
  uint32_t got = 0;
  EXPECT_EQ(machine_->io().Read(file, &byte, 1, &got), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(Tower().WriteErrors(), 0u);  // a data error sends no write-error request

  // The tower delivers: the receive transfer is resubmitted and requests are served.
  Tower().SetOutFault(sim::OutFault::None);
  Tower().Inject({42});
  for (int i = 0; i < 500 && StateWord(file) != 0xF; ++i)
    std::this_thread::sleep_for(milliseconds(1));
  EXPECT_EQ(StateWord(file), 0xF);
  const auto data = Read(file, 1, &status);
  ASSERT_EQ(data.size(), 1u);
  EXPECT_EQ(data[0], 42);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

TEST_F(DataPath, AWriteThatFailsOtherwiseTellsTheTower) {
  PlugTower();
  hk::FileObject* file = Open();
  Tower().SetOutFault(sim::OutFault::Stall);
  uint32_t written = 99;
  EXPECT_EQ(machine_->io().Write(file, "abc", 3, &written), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(Tower().WriteErrors(), 1u);
  const auto last = Tower().SetupLog().back();
  EXPECT_EQ(last.bRequest, TOWER_REQ_WRITE_ERROR);
  EXPECT_EQ(last.wValue, 1);
  EXPECT_EQ(last.wLength, 4);
  // The receive transfer runs on: only a data error stops the tower.
  EXPECT_EQ(StateWord(file), 0xF);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

TEST_F(DataPath, AWriteWithoutATransferBlockSaysSo) {
  PlugTower();
  hk::FileObject* file = Open();
  machine_->kernel().FailNthAllocation(1);
  uint32_t written = 99;
  // No block for the transfer: nothing was sent, and the caller learns it.
  EXPECT_EQ(machine_->io().Write(file, "abc", 3, &written), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(Tower().Transmitted().empty());
  EXPECT_EQ(StateWord(file), 0xF);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

TEST_F(DataPath, AStoppedReceiveTransferHoldsUntilTheHandleIsReopened) {
  QuickReads();
  PlugTower();
  hk::FileObject* file = Open();
  Tower().Inject({9, 9});
  ASSERT_TRUE(WaitForRing(2));
  // Once the receive transfer is back at the tower, the tower resets its
  // endpoints: the transfer comes back cancelled and stops.
  for (int i = 0; i < 500 && Tower().HeldTransfers() == 0; ++i)
    std::this_thread::sleep_for(milliseconds(1));
  Tower().SetConfiguration(1);
  for (int i = 0; i < 500 && StateWord(file) != 0x7; ++i)
    std::this_thread::sleep_for(milliseconds(1));
  EXPECT_EQ(StateWord(file), 0x7);
  uint8_t byte = 0;
  uint32_t got = 0;
  EXPECT_EQ(machine_->io().Read(file, &byte, 1, &got), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);

  // Reopened, it runs again; what the old ring held is gone.
  file = Open();
  EXPECT_EQ(StateWord(file), 0xF);
  EXPECT_TRUE(Read(file, 2).empty());
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

TEST_F(DataPath, UnpluggedWhileOpenTheReceiveTransferStops) {
  QuickReads();
  hk::DeviceObject* physical = PlugTower();
  hk::FileObject* file = Open();
  UnplugTower(physical);
  uint8_t byte = 0;
  uint32_t got = 0;
  EXPECT_EQ(machine_->io().Read(file, &byte, 1, &got), STATUS_DELETE_PENDING);
  // The failed transfer comes back on the bus thread.
  for (int i = 0; i < 500 && Flag(&Record(1)->ReaderActive); ++i)
    std::this_thread::sleep_for(milliseconds(1));
  EXPECT_FALSE(Flag(&Record(1)->ReaderActive));
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
  EXPECT_EQ(Record(1), nullptr);
}

// A tower that takes its time to give back a cancelled transfer.
class SlowToCancel : public hk::usb::DeviceModel {
 public:
  SlowToCancel(std::shared_ptr<sim::TowerModel> inner, milliseconds delay)
      : inner_(std::move(inner)), delay_(delay), worker_([this] { Run(); }) {}
  ~SlowToCancel() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    worker_.join();
  }
  void Attach(hk::usb::Port* port) override { inner_->Attach(port); }
  std::vector<uint8_t> DeviceDescriptor() override { return inner_->DeviceDescriptor(); }
  std::vector<uint8_t> ConfigurationDescriptor(uint8_t index) override {
    return inner_->ConfigurationDescriptor(index);
  }
  bool SetConfiguration(uint8_t value) override { return inner_->SetConfiguration(value); }
  void Submit(hk::usb::Transfer* t) override { inner_->Submit(t); }
  void Cancel(hk::usb::Transfer* t) override {
    std::lock_guard<std::mutex> lock(mutex_);
    due_.emplace_back(Clock::now() + delay_, t);
    cv_.notify_all();
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
      if (due_.empty()) {
        cv_.wait(lock);
        continue;
      }
      const auto [when, transfer] = due_.front();
      if (cv_.wait_until(lock, when) == std::cv_status::timeout) {
        due_.erase(due_.begin());
        lock.unlock();
        inner_->Cancel(transfer);
        lock.lock();
      }
    }
  }
  std::shared_ptr<sim::TowerModel> inner_;
  milliseconds delay_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::pair<Clock::time_point, hk::usb::Transfer*>> due_;
  bool stop_ = false;
  std::thread worker_;
};

TEST_F(DataPath, AReopenWaitsForTheLastReceiveTransferToComeBack) {
  QuickReads();
  auto tower = std::make_shared<sim::TowerModel>(Instant());
  towers_.push_back(tower);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  machine_->PlugUsb(std::make_shared<SlowToCancel>(tower, milliseconds(250)), kTowerHardwareId,
                    &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  hk::FileObject* file = Open();
  // The cleanup gives up waiting after 100 ms; the transfer is still out.
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
  file = Open();
  EXPECT_EQ(StateWord(file), 0xF);
  tower->Inject({5, 6});
  ASSERT_TRUE(WaitForRing(2));
  EXPECT_EQ(Read(file, 2), (std::vector<uint8_t>{5, 6}));
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

}  // namespace
}  // namespace towertest
