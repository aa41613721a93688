// Unit numbers: the lowest free one, reused, released once, at most 31.
#include "faults/faults.h"
#include "fixture.h"

namespace towertest {
namespace {

using UnitNumbers = MachineTest;

// Takes a number the way an add does; the mask is the driver's own word.
NTSTATUS TowerTakeUnitForTest(TowerDriver* driver, ULONG* unit) {
  for (ULONG n = 1; n <= kMaxUnits; ++n)
    if ((driver->UnitMask & (1u << n)) == 0) {
      driver->UnitMask |= 1u << n;
      *unit = n;
      return STATUS_SUCCESS;
    }
  return STATUS_INSUFFICIENT_RESOURCES;
}

TEST_F(UnitNumbers, FirstTowerIsOneAndAFreedNumberIsReusedFirst) {
  hk::DeviceObject* towers[3];
  for (auto& tower : towers) tower = PlugTower();
  for (uint32_t unit = 1; unit <= 3; ++unit) {
    ASSERT_NE(Record(unit), nullptr) << unit;
    EXPECT_EQ(Record(unit)->UnitNumber, unit);
    EXPECT_TRUE(LinkExists(unit));
  }
  EXPECT_EQ(Record(0), nullptr);

  machine_->Unplug(towers[1]);
  EXPECT_EQ(Record(2), nullptr);
  EXPECT_FALSE(LinkExists(2));
  PlugTower();
  ASSERT_NE(Record(2), nullptr);
  EXPECT_EQ(Record(2)->UnitNumber, 2u);
  EXPECT_FALSE(LinkExists(4));
}

TEST_F(UnitNumbers, TheThirtySecondTowerIsRefused) {
  for (uint32_t unit = 1; unit <= kMaxUnits; ++unit) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PlugTower(&status);
    ASSERT_EQ(status, STATUS_SUCCESS) << unit;
  }
  NTSTATUS status = STATUS_SUCCESS;
  PlugTower(&status);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Record(32), nullptr);
  EXPECT_FALSE(LinkExists(32));
}

TEST_F(UnitNumbers, RemovalAfterSurpriseRemovalDoesNotFreeTheNumberAgain) {
  PlugTower();
  hk::DeviceObject* second = PlugTower();
  auto* driver = static_cast<TowerDriver*>(machine_->FindDriver(kService)->context);
  ASSERT_EQ(driver->UnitMask, 0x6u);
  // The tower vanishes; its number is free at once.
  EXPECT_EQ(machine_->io().SendPnp(second, 0x17), STATUS_SUCCESS);
  EXPECT_EQ(driver->UnitMask, 0x2u);
  // Another tower takes number 2 before the removal of the vanished one arrives.
  ULONG taken = 0;
  ASSERT_EQ(TowerTakeUnitForTest(driver, &taken), STATUS_SUCCESS);
  ASSERT_EQ(taken, 2u);
  EXPECT_EQ(machine_->io().SendPnp(second, 0x02), STATUS_SUCCESS);
  machine_->kernel().DeleteDevice(second);
  EXPECT_EQ(driver->UnitMask, 0x6u);
  driver->UnitMask &= ~0x4u;
}

TEST_F(UnitNumbers, ARefusedInterfaceRegistrationFailsTheAddAndGivesItsNumberBack) {
  // Whatever the system says, the add reports a want of resources.
  auto refused = machine_->faults().Once(hk::fault::kIoRegisterDeviceInterface,
                                         static_cast<uint32_t>(STATUS_OBJECT_NAME_COLLISION));
  NTSTATUS status = STATUS_SUCCESS;
  PlugTower(&status);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(refused->Hits(), 1u);
  EXPECT_EQ(Record(1), nullptr);
  EXPECT_FALSE(LinkExists(1));
  auto* driver = static_cast<TowerDriver*>(machine_->FindDriver(kService)->context);
  EXPECT_EQ(driver->UnitMask, 0u);
  // The next tower takes number 1 and works.
  PlugTower(&status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  ASSERT_NE(Record(1), nullptr);
  hk::FileObject* file = nullptr;
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

TEST_F(UnitNumbers, ADeviceNameAlreadyTakenFailsTheAddWithTheSystemsStatus) {
  hk::DriverObject* squatter = machine_->kernel().CreateDriver("Squatter");
  hk::DeviceObject* taken = nullptr;
  ASSERT_EQ(machine_->kernel().CreateDevice(squatter, u"\\Device\\QIROUSBTowerDevice1", 0x22, 0,
                                            false, false, 0, &taken),
            STATUS_SUCCESS);
  NTSTATUS status = STATUS_SUCCESS;
  PlugTower(&status);
  EXPECT_EQ(status, STATUS_OBJECT_NAME_COLLISION);
  EXPECT_FALSE(LinkExists(1));
  auto* driver = static_cast<TowerDriver*>(machine_->FindDriver(kService)->context);
  EXPECT_EQ(driver->UnitMask, 0u);
  machine_->kernel().DeleteDevice(taken);
  machine_->kernel().DeleteDriver(squatter);
  EXPECT_EQ(Record(1), nullptr);
  PlugTower(&status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  ASSERT_NE(Record(1), nullptr);
}

TEST_F(UnitNumbers, AFailedAddGivesItsNumberBack) {
  machine_->kernel().FailTag(kPoolTag);
  NTSTATUS status = STATUS_SUCCESS;
  PlugTower(&status);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  machine_->kernel().FailTag(0);

  // A name already taken fails the add with the system's status.
  ASSERT_EQ(machine_->kernel().CreateLink(u"\\??\\QIROTOWER1", u"\\Device\\Elsewhere"),
            STATUS_SUCCESS);
  PlugTower(&status);
  EXPECT_EQ(status, STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(Record(1), nullptr);
  ASSERT_EQ(machine_->kernel().DeleteLink(u"\\??\\QIROTOWER1"), STATUS_SUCCESS);

  PlugTower(&status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  ASSERT_NE(Record(1), nullptr);
}

TEST_F(UnitNumbers, LegacyLayoutLinksUnderDosDevices) {
  ASSERT_TRUE(machine_->registry().DeleteKey(std::string(hk::kControlRoot) + "\\Class"));
  Boot(/*legacyLayout=*/true);
  PlugTower();
  ASSERT_NE(Record(1), nullptr);
  EXPECT_EQ(std::u16string(Record(1)->LinkName), u"\\DosDevices\\QIROTOWER1");
  Boot(/*legacyLayout=*/false);
  PlugTower();
  EXPECT_EQ(std::u16string(Record(1)->LinkName), u"\\??\\QIROTOWER1");
}

}  // namespace
}  // namespace towertest
