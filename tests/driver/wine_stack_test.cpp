// The tower over a USB stack that behaves as Wine's does: cancelling a
// transfer does nothing, the device below refuses create and close, and
// aborting a pipe cancels every transfer of the device. Each open still
// receives, each close lets the next open start afresh, and an unplug
// deletes the record so that the next tower takes the number again.
#include <cstring>

#include "fixture.h"

namespace towertest {
namespace {

class WineStack : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    machine_->bus().SetWineLike(true);
  }
  // Sends text and reads it back from the mirroring far side.
  std::string Echo(hk::FileObject* file, const char* text) {
    const uint32_t length = static_cast<uint32_t>(std::strlen(text));
    uint32_t moved = 0;
    EXPECT_EQ(machine_->io().Write(file, text, length, &moved), STATUS_SUCCESS);
    std::string heard(length, '\0');
    EXPECT_EQ(machine_->io().Read(file, heard.data(), length, &moved), STATUS_SUCCESS);
    heard.resize(moved);
    return heard;
  }
};

TEST_F(WineStack, EveryOpenReceivesAndTheUnplugDeletesTheRecord) {
  hk::DeviceObject* physical = PlugTower();
  for (const char* text : {"one", "two", "three"}) {
    hk::FileObject* file = nullptr;
    ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS) << text;
    // Present, started, open, receiving.
    EXPECT_EQ(StateWord(file), 0xF) << text;
    EXPECT_EQ(Echo(file, text), text);
    // The close succeeds although the stack below refuses it.
    EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS) << text;
  }
  machine_->Unplug(physical);
  machine_->SettlePnp();
  EXPECT_EQ(Record(1), nullptr);

  PlugTower();
  hk::FileObject* file = nullptr;
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  EXPECT_EQ(Echo(file, "again"), "again");
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

TEST_F(WineStack, AnUnplugWithTheReceiveTransferOutCompletes) {
  hk::DeviceObject* physical = PlugTower();
  hk::FileObject* file = nullptr;
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  machine_->Unplug(physical);
  machine_->SettlePnp();
  uint32_t moved = 0;
  char byte = 0;
  EXPECT_EQ(machine_->io().Read(file, &byte, 1, &moved), STATUS_DELETE_PENDING);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
  EXPECT_EQ(Record(1), nullptr);
}

}  // namespace
}  // namespace towertest
