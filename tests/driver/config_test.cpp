// The registry configuration: defaults, what an open and a start read, and
// how values of odd sizes and types are taken.
#include <cstring>

#include "faults/faults.h"
#include "fixture.h"

namespace towertest {
namespace {

class RegistryConfig : public MachineTest {
 protected:
  void SetValue(const char* name, uint32_t type, std::vector<uint8_t> data) {
    ASSERT_TRUE(machine_->registry().CreateKey(kParameters));
    ASSERT_TRUE(machine_->registry().SetValue(kParameters, name, type, data));
  }
  void SetDword(const char* name, uint32_t value) {
    ASSERT_TRUE(machine_->registry().CreateKey(kParameters));
    ASSERT_TRUE(machine_->registry().SetDword(kParameters, name, value));
  }
  // Opens and closes the only tower, which reads the open-time values.
  void OpenAndClose() {
    hk::FileObject* file = nullptr;
    ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
    EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
  }
};

TEST_F(RegistryConfig, WithoutValuesTheDefaultsHold) {
  PlugTower();
  TowerDevice* tower = Record(1);
  ASSERT_NE(tower, nullptr);
  OpenAndClose();
  EXPECT_EQ(tower->BufferSize, 1024u);
  EXPECT_EQ(tower->Timeout_Read_1st, 200u);
  EXPECT_EQ(tower->Timeout_Read_ic, 100u);
  EXPECT_EQ(tower->Timeout_Write, 200u);
  EXPECT_EQ(tower->HighPower, 0);
  // The open creates the key it reads from.
  EXPECT_TRUE(machine_->registry().KeyExists(kParameters));
}

TEST_F(RegistryConfig, AnOpenTakesTheValuesAsTheyAre) {
  PlugTower();
  TowerDevice* tower = Record(1);
  SetDword("Timeout_Read_1st", 500);
  SetDword("Timeout_Read_ic", 0);
  SetDword("Timeout_Write", 0xFFFFFFFF);  // never clamped
  SetDword("BufferSize", 0);
  OpenAndClose();
  EXPECT_EQ(tower->Timeout_Read_1st, 500u);
  EXPECT_EQ(tower->Timeout_Read_ic, 0u);
  EXPECT_EQ(tower->Timeout_Write, 0xFFFFFFFFu);
  EXPECT_EQ(tower->BufferSize, 0u);
}

TEST_F(RegistryConfig, ShortValuesOverwriteLowBytesAndLongOnesAreIgnored) {
  PlugTower();
  TowerDevice* tower = Record(1);
  // Two bytes of any type land on the low bytes of the current 200 (0xC8).
  SetDword("Timeout_Read_1st", 0x00ABCDEF);
  OpenAndClose();
  ASSERT_EQ(tower->Timeout_Read_1st, 0x00ABCDEFu);
  SetValue("Timeout_Read_1st", 3 /* binary */, {0x34, 0x12});
  OpenAndClose();
  EXPECT_EQ(tower->Timeout_Read_1st, 0x00AB1234u);
  SetValue("Timeout_Read_ic", 1 /* string */, {'7', 0});
  OpenAndClose();
  EXPECT_EQ(tower->Timeout_Read_ic, 0x0037u);
  // Five bytes: the value is not taken at all.
  SetValue("Timeout_Write", 4, {1, 0, 0, 0, 0});
  OpenAndClose();
  EXPECT_EQ(tower->Timeout_Write, 200u);
}

TEST_F(RegistryConfig, AMissingValueKeepsTheCurrentOne) {
  PlugTower();
  TowerDevice* tower = Record(1);
  SetDword("Timeout_Read_1st", 500);
  OpenAndClose();
  ASSERT_TRUE(machine_->registry().DeleteValue(kParameters, "Timeout_Read_1st"));
  OpenAndClose();
  EXPECT_EQ(tower->Timeout_Read_1st, 500u);
}

TEST_F(RegistryConfig, HighPowerIsReadAtEveryStart) {
  hk::DeviceObject* physical = PlugTower();
  TowerDevice* tower = Record(1);
  EXPECT_EQ(tower->HighPower, 0);
  SetDword("HighPower", 5);  // any nonzero value means yes
  ASSERT_EQ(Restart(physical), STATUS_SUCCESS);
  EXPECT_EQ(tower->HighPower, 1);
  // Gone from the registry: the in-memory choice stays.
  ASSERT_TRUE(machine_->registry().DeleteValue(kParameters, "HighPower"));
  ASSERT_EQ(Restart(physical), STATUS_SUCCESS);
  EXPECT_EQ(tower->HighPower, 1);
  SetDword("HighPower", 0);
  ASSERT_EQ(Restart(physical), STATUS_SUCCESS);
  EXPECT_EQ(tower->HighPower, 0);
}

TEST_F(RegistryConfig, ValuesSurviveAReboot) {
  SetDword("BufferSize", 64);
  Boot();
  PlugTower();
  OpenAndClose();
  EXPECT_EQ(Record(1)->BufferSize, 64u);
}

// ---- failures of the registry, provoked through the machine's fault facility

TEST_F(RegistryConfig,
       AParametersKeyThatCanBeNeitherOpenedNorCreatedFailsTheOpenAndChangesNothing) {
  PlugTower();
  TowerDevice* tower = Record(1);
  ASSERT_NE(tower, nullptr);
  Tower(0).ClearSetupLog();
  auto refused =
      machine_->faults().Once(hk::fault::kZwCreateKey, static_cast<uint32_t>(STATUS_ACCESS_DENIED),
                              "QIROUSBTower\\Parameters");
  hk::FileObject* file = nullptr;
  EXPECT_EQ(OpenUnit(1, &file), STATUS_ACCESS_DENIED);
  EXPECT_EQ(refused->Hits(), 1u);
  EXPECT_FALSE(Flag(&tower->Open));
  EXPECT_EQ(tower->ReadBuffer, nullptr);
  EXPECT_FALSE(Flag(&tower->ReaderActive));
  EXPECT_TRUE(Tower(0).SetupLog().empty()) << "no setting went to the tower";
  // The key can be had again: the next open works.
  OpenAndClose();
}

TEST_F(RegistryConfig, AValueThatCannotBeReadKeepsTheCurrentOne) {
  SetDword("BufferSize", 64);
  SetDword("Timeout_Write", 7);
  PlugTower();
  auto refused = machine_->faults().Always(hk::fault::kZwQueryValueKey,
                                           static_cast<uint32_t>(STATUS_INSUFFICIENT_RESOURCES),
                                           "Parameters\\BufferSize");
  OpenAndClose();
  EXPECT_EQ(refused->Hits(), 1u);
  EXPECT_EQ(Record(1)->BufferSize, 1024u);
  EXPECT_EQ(Record(1)->Timeout_Write, 7u);
}

TEST_F(RegistryConfig, AServiceKeyThatCannotBeOpenedDoesNotStopTheOpen) {
  SetDword("BufferSize", 64);
  PlugTower();
  auto refused =
      machine_->faults().Once(hk::fault::kZwCreateKey, static_cast<uint32_t>(STATUS_ACCESS_DENIED),
                              "Services\\QIROUSBTower");
  OpenAndClose();
  EXPECT_EQ(refused->Hits(), 1u);
  EXPECT_EQ(Record(1)->BufferSize, 64u) << "the parameters were read all the same";
}

TEST_F(RegistryConfig, AParametersKeyTheStartCannotOpenLeavesHighPowerAsItWas) {
  SetDword("HighPower", 1);
  hk::DeviceObject* physical = PlugTower();
  ASSERT_NE(physical, nullptr);
  ASSERT_EQ(Record(1)->HighPower, 1);
  // The registry now asks for normal power, but the start cannot read it.
  SetDword("HighPower", 0);
  auto refused = machine_->faults().Always(
      hk::fault::kZwOpenKey, static_cast<uint32_t>(STATUS_ACCESS_DENIED), "Parameters");
  auto created = machine_->faults().Always(
      hk::fault::kZwCreateKey, static_cast<uint32_t>(STATUS_ACCESS_DENIED), "Parameters");
  EXPECT_EQ(Restart(physical), STATUS_SUCCESS);
  EXPECT_EQ(refused->Hits() + created->Hits(), 1u);
  EXPECT_EQ(Record(1)->HighPower, 1);
  EXPECT_EQ(Tower(0).Configuration(), 2);
  machine_->faults().ClearAll();
  // Readable again, the value takes effect at the next start.
  EXPECT_EQ(Restart(physical), STATUS_SUCCESS);
  EXPECT_EQ(Record(1)->HighPower, 0);
  EXPECT_EQ(Tower(0).Configuration(), 1);
}

}  // namespace
}  // namespace towertest
