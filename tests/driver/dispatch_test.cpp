// The request dispatch: holding, release in arrival order, cancellation,
// refusal after removal, the busy answers and the readiness rule.
#include "faults/faults.h"
#include "fixture.h"

namespace towertest {
namespace {

constexpr uint8_t kQueryPower = 3;
constexpr uint8_t kSetPower = 2;
constexpr uint8_t kSystem = 0;
constexpr uint32_t kWorking = 1;
constexpr uint32_t kSleeping3 = 4;
constexpr auto kShort = std::chrono::milliseconds(50);
constexpr auto kLong = std::chrono::seconds(5);

class Dispatch : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    // Reads that find nothing come back quickly.
    ASSERT_TRUE(machine_->registry().CreateKey(kParameters));
    ASSERT_TRUE(machine_->registry().SetDword(kParameters, "Timeout_Read_1st", 10));
    ASSERT_TRUE(machine_->registry().SetDword(kParameters, "Timeout_Read_ic", 10));
    physical_ = PlugTower();
    ASSERT_NE(physical_, nullptr);
  }
  // The system goes to sleep while no handle is open; requests that arrive
  // on a handle opened afterwards wait for it to wake.
  void Sleep() {
    ASSERT_EQ(machine_->io().SendPower(physical_, kQueryPower, kSystem, kSleeping3),
              STATUS_SUCCESS);
  }
  NTSTATUS Wake() { return machine_->io().SendPower(physical_, kSetPower, kSystem, kWorking); }

  hk::DeviceObject* physical_ = nullptr;
  uint8_t buffer_[16] = {};
};

TEST_F(Dispatch, HeldRequestsRunInArrivalOrderWhenTheSystemWakes) {
  Sleep();
  hk::FileObject* file = nullptr;
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  auto& io = machine_->io();
  auto first = io.ReadAsync(file, buffer_, 4);
  auto second = io.ControlAsync(file, IOCTL_TOWER_GET_RANGE, nullptr, 0, buffer_, 12);
  auto third = io.WriteAsync(file, buffer_, 4);
  EXPECT_FALSE(first->Wait(kShort));
  EXPECT_FALSE(second->Done());
  EXPECT_FALSE(third->Done());

  ASSERT_EQ(Wake(), STATUS_SUCCESS);
  ASSERT_TRUE(first->Wait(kLong));
  ASSERT_TRUE(second->Wait(kLong));
  ASSERT_TRUE(third->Wait(kLong));
  EXPECT_LT(first->finishOrder(), second->finishOrder());
  EXPECT_LT(second->finishOrder(), third->finishOrder());
  EXPECT_EQ(first->status(), STATUS_SUCCESS);
  EXPECT_EQ(third->status(), STATUS_SUCCESS);
  EXPECT_EQ(third->information(), 4u);
  EXPECT_EQ(io.Close(file), STATUS_SUCCESS);
}

TEST_F(Dispatch, ACancelledHeldRequestCompletesCancelledAndOthersStayHeld) {
  Sleep();
  hk::FileObject* file = nullptr;
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  auto& io = machine_->io();
  auto held = io.ReadAsync(file, buffer_, 4);
  io.CancelIo(file);
  ASSERT_TRUE(held->Wait(kLong));
  EXPECT_EQ(held->status(), STATUS_CANCELLED);
  EXPECT_EQ(held->information(), 0u);

  auto later = io.ReadAsync(file, buffer_, 4);
  EXPECT_FALSE(later->Wait(kShort));
  ASSERT_EQ(Wake(), STATUS_SUCCESS);
  ASSERT_TRUE(later->Wait(kLong));
  EXPECT_EQ(later->status(), STATUS_SUCCESS);
  EXPECT_EQ(io.Close(file), STATUS_SUCCESS);
}

TEST_F(Dispatch, ClosingAHandleCancelsWhatItHasHeld) {
  Sleep();
  hk::FileObject* file = nullptr;
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  auto a = machine_->io().ReadAsync(file, buffer_, 4);
  auto b = machine_->io().ControlAsync(file, IOCTL_TOWER_GET_RANGE, nullptr, 0, buffer_, 12);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
  ASSERT_TRUE(a->Wait(kLong));
  ASSERT_TRUE(b->Wait(kLong));
  EXPECT_EQ(a->status(), STATUS_CANCELLED);
  EXPECT_EQ(b->status(), STATUS_CANCELLED);
}

TEST_F(Dispatch, SurpriseRemovalFailsHeldRequestsAndLaterOnes) {
  Sleep();
  hk::FileObject* file = nullptr;
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  auto held = machine_->io().ReadAsync(file, buffer_, 4);
  EXPECT_FALSE(held->Wait(kShort));

  machine_->Unplug(physical_);
  ASSERT_TRUE(held->Wait(kLong));
  EXPECT_EQ(held->status(), STATUS_DELETE_PENDING);
  uint32_t got = 0;
  EXPECT_EQ(machine_->io().Read(file, buffer_, 4, &got), STATUS_DELETE_PENDING);
  EXPECT_EQ(machine_->io().Write(file, buffer_, 4, &got), STATUS_DELETE_PENDING);
  QIROTOWER_STATEREC state{};
  EXPECT_EQ(machine_->io().Control(file, IOCTL_TOWER_GET_STATE, nullptr, 0, &state, 8, &got),
            STATUS_DELETE_PENDING);
  // The removal waits for the last handle; the device and its link live on until then.
  EXPECT_TRUE(LinkExists(1));
  ASSERT_NE(Record(1), nullptr);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
  EXPECT_EQ(Record(1), nullptr);
  EXPECT_FALSE(LinkExists(1));
}

TEST_F(Dispatch, AfterSurpriseRemovalOpensPowerAndPnpRequestsAreRefused) {
  auto& io = machine_->io();
  ASSERT_EQ(io.SendPnp(physical_, 0x17), STATUS_SUCCESS);
  hk::FileObject* file = nullptr;
  EXPECT_EQ(OpenUnit(1, &file), STATUS_DELETE_PENDING);
  EXPECT_EQ(io.SendPower(physical_, kQueryPower, kSystem, kSleeping3), STATUS_DELETE_PENDING);
  EXPECT_EQ(io.SendPower(physical_, kSetPower, kSystem, kWorking), STATUS_DELETE_PENDING);
  EXPECT_EQ(io.SendPnp(physical_, 0x05), STATUS_DELETE_PENDING);  // query stop
  EXPECT_EQ(io.SendPnp(physical_, 0x00), STATUS_DELETE_PENDING);  // start
  // The removal itself is still handled.
  EXPECT_EQ(io.SendPnp(physical_, 0x02), STATUS_SUCCESS);
  machine_->kernel().DeleteDevice(physical_);
  EXPECT_EQ(Record(1), nullptr);
}

TEST_F(Dispatch, AnOpenHandleMakesStopRemoveAndSleepBusy) {
  hk::FileObject* file = nullptr;
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  auto& io = machine_->io();
  EXPECT_EQ(io.SendPnp(physical_, 0x05), STATUS_DEVICE_BUSY);
  EXPECT_EQ(io.SendPnp(physical_, 0x01), STATUS_DEVICE_BUSY);
  EXPECT_EQ(io.SendPower(physical_, kQueryPower, kSystem, kSleeping3), STATUS_DEVICE_BUSY);
  EXPECT_EQ(StateWord(file), 0xF);
  EXPECT_EQ(io.Close(file), STATUS_SUCCESS);

  EXPECT_EQ(io.SendPnp(physical_, 0x05), STATUS_SUCCESS);  // query stop
  EXPECT_EQ(io.SendPnp(physical_, 0x06), STATUS_SUCCESS);  // cancel stop
  EXPECT_EQ(io.SendPnp(physical_, 0x01), STATUS_SUCCESS);  // query remove
  // While a removal is pending, even the state waits.
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  QIROTOWER_STATEREC state{};
  auto held = io.ControlAsync(file, IOCTL_TOWER_GET_STATE, nullptr, 0, &state, sizeof(state));
  EXPECT_FALSE(held->Wait(kShort));
  EXPECT_EQ(io.SendPnp(physical_, 0x03), STATUS_SUCCESS);  // cancel remove releases it
  ASSERT_TRUE(held->Wait(kLong));
  EXPECT_EQ(held->status(), STATUS_SUCCESS);
  EXPECT_EQ(state.State, 0xF);
  EXPECT_EQ(io.Close(file), STATUS_SUCCESS);
  EXPECT_EQ(io.SendPower(physical_, kQueryPower, kSystem, kSleeping3), STATUS_SUCCESS);
}

TEST_F(Dispatch, TheDeviceAdmitsOneHandleAndTracksOpen) {
  hk::FileObject* file = nullptr;
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  hk::FileObject* second = nullptr;
  EXPECT_EQ(OpenUnit(1, &second), STATUS_ACCESS_DENIED);
  EXPECT_TRUE(Flag(&Record(1)->Open));
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
  EXPECT_FALSE(Flag(&Record(1)->Open));
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

TEST_F(Dispatch, OnlyTheStateIsServedWhileTheTowerIsNotReady) {
  // Without a request packet for the receive transfer (the range and the link
  // mode take the first two), the open succeeds but the tower is not ready.
  machine_->kernel().FailNthDriverIrp(3);
  hk::FileObject* file = nullptr;
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  auto& io = machine_->io();
  uint32_t got = 99;
  uint8_t record[24] = {};
  EXPECT_EQ(io.Control(file, IOCTL_TOWER_GET_RANGE, nullptr, 0, record, 12, &got),
            STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(got, 0u);
  // An unknown code on a tower that is not ready is not ready, not invalid.
  EXPECT_EQ(io.Control(file, TOWER_CTL_CODE(0x809), nullptr, 0, record, 12, &got),
            STATUS_DEVICE_NOT_READY);
  // A read without a buffer is refused before readiness is looked at.
  EXPECT_EQ(io.Read(file, nullptr, 4, &got), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(io.Read(file, buffer_, 4, &got), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(io.Write(file, buffer_, 4, &got), STATUS_DEVICE_NOT_READY);
  // GET_STATE needs room for its record.
  EXPECT_EQ(io.Control(file, IOCTL_TOWER_GET_STATE, nullptr, 0, record, 7, &got),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(StateWord(file), 0x7);
  EXPECT_EQ(io.Close(file), STATUS_SUCCESS);
  // Opened again, the receive transfer runs.
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  EXPECT_EQ(StateWord(file), 0xF);
  EXPECT_EQ(io.Close(file), STATUS_SUCCESS);
}

TEST_F(Dispatch, CapabilitiesGainRemovalBitsOnlyForAVersionedRecord) {
  uint32_t flags = 0;
  EXPECT_EQ(machine_->io().QueryCapabilities(physical_, 1, &flags), STATUS_SUCCESS);
  EXPECT_EQ(flags & 0x290u, 0x290u);
  flags = 0;
  machine_->io().QueryCapabilities(physical_, 0, &flags);
  EXPECT_EQ(flags & 0x290u, 0u);
}

TEST_F(Dispatch, ACapabilitiesQueryTheStackFailsKeepsItsStatusAndGainsNoBits) {
  auto refused = machine_->faults().Once(hk::fault::kQueryCapabilities,
                                         static_cast<uint32_t>(STATUS_NOT_SUPPORTED));
  uint32_t flags = 0;
  EXPECT_EQ(machine_->io().QueryCapabilities(physical_, 1, &flags), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(refused->Hits(), 1u);
  EXPECT_EQ(flags & 0x290u, 0u);
  // The next query goes through and gains them.
  EXPECT_EQ(machine_->io().QueryCapabilities(physical_, 1, &flags), STATUS_SUCCESS);
  EXPECT_EQ(flags & 0x290u, 0x290u);
}

TEST_F(Dispatch, AStoppedTowerRefusesOpensAndHoldsUntilStarted) {
  auto& io = machine_->io();
  ASSERT_EQ(io.SendPnp(physical_, 0x05), STATUS_SUCCESS);
  ASSERT_EQ(io.SendPnp(physical_, 0x04), STATUS_SUCCESS);
  EXPECT_FALSE(Flag(&Record(1)->Started));
  hk::FileObject* file = nullptr;
  EXPECT_EQ(OpenUnit(1, &file), STATUS_DEVICE_NOT_CONNECTED);
  ASSERT_EQ(io.SendPnp(physical_, 0x00), STATUS_SUCCESS);
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  EXPECT_EQ(StateWord(file), 0xF);
  EXPECT_EQ(io.Close(file), STATUS_SUCCESS);
}

}  // namespace
}  // namespace towertest
