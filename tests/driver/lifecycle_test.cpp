// Towers come and go: configuration at start with the high-power fallback,
// the device tree's view, holding across stop and removal, and sleep.
#include <random>
#include <set>
#include <string>
#include <thread>

#include "faults/faults.h"
#include "fixture.h"
#include "tower/values.h"

namespace towertest {
namespace {

using Lifecycle = MachineTest;

TEST_F(Lifecycle, HighPowerOnABusPoweredHubFallsBackAndTriesAgainNextStart) {
  ASSERT_TRUE(machine_->registry().CreateKey(kParameters));
  ASSERT_TRUE(machine_->registry().SetDword(kParameters, "HighPower", 1));
  hk::DevNode* hub = machine_->AddHub(machine_->tree().Root()->children[0]->children[0], 1, false);
  ASSERT_NE(hub, nullptr);
  towers_.push_back(std::make_shared<sim::TowerModel>(Instant()));
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  hk::DeviceObject* physical = machine_->PlugUsbAt(hub, 2, towers_.back(), &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  hk::usb::UsbDevice* usb = machine_->UsbDeviceOf(physical);
  // Configuration 1 first, then the high-power one, which the port cannot
  // supply, then configuration 1 again.
  EXPECT_EQ(usb->Selections(), (std::vector<uint8_t>{1, 0, 2, 0, 1}));
  EXPECT_EQ(Tower().Configuration(), 1);
  EXPECT_EQ(Record(1)->HighPower, 0);
  hk::FileObject* file = nullptr;
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  EXPECT_EQ(StateWord(file), 0xF);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);

  // The registry still asks for high power: the next start tries again.
  ASSERT_EQ(Restart(physical), STATUS_SUCCESS);
  const auto again = usb->Selections();
  ASSERT_GE(again.size(), 3u);
  EXPECT_EQ(std::vector<uint8_t>(again.end() - 3, again.end()), (std::vector<uint8_t>{2, 0, 1}));

  // On a root hub port the high-power configuration is granted.
  PlugTower();
  EXPECT_EQ(Tower(1).Configuration(), 2);
  EXPECT_EQ(Record(2)->HighPower, 1);
}

// A tower whose high-power configuration lacks the receive endpoint: the
// selection fails for a reason other than power.
class BrokenHighPower : public hk::usb::DeviceModel {
 public:
  explicit BrokenHighPower(std::shared_ptr<sim::TowerModel> inner) : inner_(std::move(inner)) {}
  void Attach(hk::usb::Port* port) override { inner_->Attach(port); }
  std::vector<uint8_t> DeviceDescriptor() override { return inner_->DeviceDescriptor(); }
  std::vector<uint8_t> ConfigurationDescriptor(uint8_t index) override {
    std::vector<uint8_t> set = inner_->ConfigurationDescriptor(index);
    if (index == 1 && set.size() == 32) {
      set.resize(25);  // drop the second endpoint
      set[2] = 25;
      set[13] = 1;  // bNumEndpoints of the interface
    }
    return set;
  }
  bool SetConfiguration(uint8_t value) override { return inner_->SetConfiguration(value); }
  void Submit(hk::usb::Transfer* t) override { inner_->Submit(t); }
  void Cancel(hk::usb::Transfer* t) override { inner_->Cancel(t); }

 private:
  std::shared_ptr<sim::TowerModel> inner_;
};

// A tower that says it has one configuration only.
class OneConfiguration : public hk::usb::DeviceModel {
 public:
  explicit OneConfiguration(std::shared_ptr<sim::TowerModel> inner) : inner_(std::move(inner)) {}
  void Attach(hk::usb::Port* port) override { inner_->Attach(port); }
  std::vector<uint8_t> DeviceDescriptor() override {
    std::vector<uint8_t> device = inner_->DeviceDescriptor();
    if (device.size() == 18) device[17] = 1;  // bNumConfigurations
    return device;
  }
  std::vector<uint8_t> ConfigurationDescriptor(uint8_t index) override {
    return inner_->ConfigurationDescriptor(index);
  }
  bool SetConfiguration(uint8_t value) override { return inner_->SetConfiguration(value); }
  void Submit(hk::usb::Transfer* t) override { inner_->Submit(t); }
  void Cancel(hk::usb::Transfer* t) override { inner_->Cancel(t); }

 private:
  std::shared_ptr<sim::TowerModel> inner_;
};

TEST_F(Lifecycle, HighPowerWithoutAConfiguration2FailsTheStart) {
  ASSERT_TRUE(machine_->registry().CreateKey(kParameters));
  ASSERT_TRUE(machine_->registry().SetDword(kParameters, "HighPower", 1));
  towers_.push_back(std::make_shared<sim::TowerModel>(Instant()));
  NTSTATUS status = STATUS_SUCCESS;
  hk::DeviceObject* physical = machine_->PlugUsb(std::make_shared<OneConfiguration>(towers_.back()),
                                                 kTowerHardwareId, &status);
  ASSERT_NE(physical, nullptr);
  // No configuration has the value 2: not a refusal of the stack, so no
  // fallback, and no configuration is left in force.
  EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(machine_->UsbDeviceOf(physical)->Selections(), (std::vector<uint8_t>{1, 0}));
  EXPECT_FALSE(Flag(&Record(1)->Started));
  EXPECT_EQ(Record(1)->HighPower, 1);
  EXPECT_EQ(machine_->NodeOf(physical)->problem, hk::CM_PROB_FAILED_START);
}

TEST_F(Lifecycle, AStartLeftWithoutAConfigurationFails) {
  ASSERT_TRUE(machine_->registry().CreateKey(kParameters));
  ASSERT_TRUE(machine_->registry().SetDword(kParameters, "HighPower", 1));
  auto tower = std::make_shared<sim::TowerModel>(Instant());
  NTSTATUS status = STATUS_SUCCESS;
  hk::DeviceObject* physical =
      machine_->PlugUsb(std::make_shared<BrokenHighPower>(tower), kTowerHardwareId, &status);
  EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(Flag(&Record(1)->Started));
  hk::DevNode* node = machine_->NodeOf(physical);
  ASSERT_NE(node, nullptr);
  EXPECT_NE(node->status & hk::DN_HAS_PROBLEM, 0u);
  EXPECT_EQ(node->problem, hk::CM_PROB_FAILED_START);
  hk::FileObject* file = nullptr;
  EXPECT_EQ(OpenUnit(1, &file), STATUS_DEVICE_NOT_CONNECTED);
}

// A tower whose interface descriptor is cut short: its length says 4 bytes,
// and the endpoints follow at once.
class ShortInterface : public hk::usb::DeviceModel {
 public:
  explicit ShortInterface(std::shared_ptr<sim::TowerModel> inner) : inner_(std::move(inner)) {}
  void Attach(hk::usb::Port* port) override { inner_->Attach(port); }
  std::vector<uint8_t> DeviceDescriptor() override { return inner_->DeviceDescriptor(); }
  std::vector<uint8_t> ConfigurationDescriptor(uint8_t index) override {
    std::vector<uint8_t> set = inner_->ConfigurationDescriptor(index);
    if (set.size() == 32) {
      set.erase(set.begin() + 13, set.begin() + 18);  // bNumEndpoints to iInterface
      set[9] = 4;                                     // bLength of the interface
      set[2] = 27;
    }
    return set;
  }
  bool SetConfiguration(uint8_t value) override { return inner_->SetConfiguration(value); }
  void Submit(hk::usb::Transfer* t) override { inner_->Submit(t); }
  void Cancel(hk::usb::Transfer* t) override { inner_->Cancel(t); }

 private:
  std::shared_ptr<sim::TowerModel> inner_;
};

TEST_F(Lifecycle, AnInterfaceDescriptorCutShortFailsTheStartBeforeTheStackSeesIt) {
  auto tower = std::make_shared<sim::TowerModel>(Instant());
  NTSTATUS status = STATUS_SUCCESS;
  hk::DeviceObject* physical =
      machine_->PlugUsb(std::make_shared<ShortInterface>(tower), kTowerHardwareId, &status);
  EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
  // The driver never asked the stack to select a configuration built on it.
  EXPECT_TRUE(machine_->UsbDeviceOf(physical)->Selections().empty());
  EXPECT_EQ(machine_->NodeOf(physical)->problem, hk::CM_PROB_FAILED_START);
  UnplugTower(physical);
  EXPECT_FALSE(LinkExists(1));

  // The next good tower takes the number and works.
  PlugTower();
  hk::FileObject* file = nullptr;
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  EXPECT_EQ(StateWord(file), 15);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

// A device that drops off the bus the moment it is on a port, before its
// driver has seen it.
class GoneAtOnce : public hk::usb::DeviceModel {
 public:
  explicit GoneAtOnce(std::shared_ptr<sim::TowerModel> inner) : inner_(std::move(inner)) {}
  void Attach(hk::usb::Port* port) override {
    inner_->Attach(port);
    if (port != nullptr) port->Vanish();
  }
  std::vector<uint8_t> DeviceDescriptor() override { return inner_->DeviceDescriptor(); }
  std::vector<uint8_t> ConfigurationDescriptor(uint8_t index) override {
    return inner_->ConfigurationDescriptor(index);
  }
  bool SetConfiguration(uint8_t value) override { return inner_->SetConfiguration(value); }
  void Submit(hk::usb::Transfer* t) override { inner_->Submit(t); }
  void Cancel(hk::usb::Transfer* t) override { inner_->Cancel(t); }

 private:
  std::shared_ptr<sim::TowerModel> inner_;
};

// Its unplug reaches the machine while it is still being plugged in; the
// machine must carry it out on a known device rather than on none.
TEST_F(Lifecycle, ATowerThatLeavesAsItArrivesLeavesTheMachineRunning) {
  machine_->PlugUsb(std::make_shared<GoneAtOnce>(std::make_shared<sim::TowerModel>(Instant())),
                    kTowerHardwareId);
  machine_->SettlePnp();

  hk::DeviceObject* physical = PlugTower();
  ASSERT_NE(physical, nullptr);
  // The good tower took the lowest number free: 1, or 2 while the first
  // device's record still holds 1.
  const uint32_t unit = LinkExists(2) ? 2 : 1;
  hk::FileObject* file = nullptr;
  ASSERT_EQ(OpenUnit(unit, &file), STATUS_SUCCESS);
  EXPECT_EQ(StateWord(file), 15);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

// An unplug that comes after the driver's add and before its start waits
// for the start: the device then leaves as any other, its record freed
// once the start is done with it, and its node does not look started.
TEST_F(Lifecycle, AnUnplugBetweenTheAddAndTheStartWaitsForTheStart) {
  const size_t pool = machine_->kernel().PoolBlocks(kPoolTag);
  std::thread unplugger;
  hk::DevNode* node = nullptr;
  machine_->pnp().SetAfterAddForTest([&](hk::DeviceObject* physical) {
    node = machine_->NodeOf(physical);
    unplugger = std::thread([this, physical] { machine_->Unplug(physical); });
    // Room for the unplug to go as far as it can: without the rule it
    // removes the device, and frees the driver's record, right here.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  });
  PlugTower();
  ASSERT_TRUE(unplugger.joinable());
  unplugger.join();
  machine_->pnp().SetAfterAddForTest(nullptr);
  machine_->SettlePnp();
  // Gone, and not left looking started by a configuration that went on
  // after the removal.
  ASSERT_NE(node, nullptr);
  EXPECT_FALSE(node->present);
  EXPECT_EQ(node->status & hk::DN_STARTED, 0u);
  EXPECT_FALSE(LinkExists(1));
  EXPECT_EQ(machine_->kernel().PoolBlocks(kPoolTag), pool);
  EXPECT_EQ(machine_->kernel().verifier().Count(), 0u);
  // The next tower is configured as usual.
  PlugTower();
  hk::FileObject* file = nullptr;
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

// Plug and Play configures one device at a time: a tower plugged while
// another is between its add and its start is not added until that start
// is done, so the driver's add never runs beside its own configuration.
TEST_F(Lifecycle, ATowerPluggedDuringAnotherConfigurationWaitsItsTurn) {
  std::thread second;
  bool secondAddedMeanwhile = true;
  bool first = true;
  auto tower = std::make_shared<sim::TowerModel>(Instant());
  machine_->pnp().SetAfterAddForTest([&](hk::DeviceObject*) {
    if (!first) return;
    first = false;
    second = std::thread([&] { machine_->PlugUsb(tower, kTowerHardwareId); });
    // Room for the second plug to go as far as it can: without the rule its
    // add runs here, while the first tower is still being configured.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    secondAddedMeanwhile = LinkExists(2);
  });
  PlugTower();
  ASSERT_TRUE(second.joinable());
  second.join();
  machine_->pnp().SetAfterAddForTest(nullptr);
  EXPECT_FALSE(secondAddedMeanwhile);
  // Both were configured in turn and work.
  for (uint32_t unit = 1; unit <= 2; ++unit) {
    hk::FileObject* file = nullptr;
    ASSERT_EQ(OpenUnit(unit, &file), STATUS_SUCCESS) << unit;
    EXPECT_EQ(StateWord(file), 15) << unit;
    EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
  }
}

TEST_F(Lifecycle, TheDeviceTreeKnowsTowersPresentAndGone) {
  hk::DeviceObject* physical = PlugTower();
  hk::DevNode* node = machine_->NodeOf(physical);
  ASSERT_NE(node, nullptr);
  const std::string instance = node->instanceId;
  EXPECT_EQ(instance.rfind("USB\\VID_0F5C&PID_0001\\", 0), 0u) << instance;
  EXPECT_TRUE(node->present);
  EXPECT_EQ(node->service, kService);
  EXPECT_NE(node->status & hk::DN_STARTED, 0u);
  EXPECT_NE(node->status & hk::DN_REMOVABLE, 0u);
  ASSERT_FALSE(node->driverKey.empty());
  // The interface carries the instance's name.
  auto interfaces = machine_->kernel().Interfaces("{da12761a-0bcd-4bb5-ba81-4bbaa660af4e}", true);
  ASSERT_EQ(interfaces.size(), 1u);
  EXPECT_EQ(hk::ToU8(interfaces[0].link).rfind("\\??\\usb#vid_0f5c&pid_0001#", 0), 0u);

  machine_->Unplug(physical);
  EXPECT_FALSE(node->present);
  EXPECT_TRUE(
      machine_->kernel().Interfaces("{da12761a-0bcd-4bb5-ba81-4bbaa660af4e}", true).empty());
  EXPECT_EQ(machine_->kernel().Interfaces("{da12761a-0bcd-4bb5-ba81-4bbaa660af4e}", false).size(),
            1u);

  // The same port again: the same instance, present once more.
  towers_.push_back(std::make_shared<sim::TowerModel>(Instant()));
  hk::DeviceObject* back = machine_->PlugUsbAt(node->parent, node->port, towers_.back(), nullptr);
  EXPECT_EQ(machine_->NodeOf(back), node);
  EXPECT_TRUE(node->present);

  // Installed but absent towers survive a reboot as nodes that are not present.
  Boot();
  hk::DevNode* remembered = machine_->tree().Find(instance);
  ASSERT_NE(remembered, nullptr);
  EXPECT_FALSE(remembered->present);
  EXPECT_EQ(remembered->service, kService);
}

TEST_F(Lifecycle, HeldRequestsAreReleasedAtCancelStopAndFailAtRemoval) {
  ASSERT_TRUE(machine_->registry().CreateKey(kParameters));
  ASSERT_TRUE(machine_->registry().SetDword(kParameters, "Timeout_Read_1st", 0));
  hk::DeviceObject* physical = PlugTower();
  auto& io = machine_->io();
  ASSERT_EQ(io.SendPnp(physical, 0x05), STATUS_SUCCESS);  // query stop
  hk::FileObject* file = nullptr;
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);  // the tower is still started
  uint8_t buffer[4];
  auto first = io.ReadAsync(file, buffer, 4);
  auto second = io.WriteAsync(file, "ab", 2);
  EXPECT_FALSE(first->Wait(std::chrono::milliseconds(30)));
  auto cancel = io.SendPnpAsync(physical, 0x06);  // cancel stop
  ASSERT_TRUE(cancel->Wait(std::chrono::seconds(5)));
  EXPECT_EQ(cancel->status(), STATUS_SUCCESS);
  ASSERT_TRUE(first->Wait(std::chrono::seconds(5)));
  ASSERT_TRUE(second->Wait(std::chrono::seconds(5)));
  // Released in arrival order, and before the cancel itself completes.
  EXPECT_LT(first->finishOrder(), second->finishOrder());
  EXPECT_LT(second->finishOrder(), cancel->finishOrder());
  EXPECT_EQ(second->status(), STATUS_SUCCESS);
  EXPECT_EQ(io.Close(file), STATUS_SUCCESS);

  ASSERT_EQ(io.SendPnp(physical, 0x01), STATUS_SUCCESS);  // query remove
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  auto held = io.ReadAsync(file, buffer, 4);
  EXPECT_FALSE(held->Wait(std::chrono::milliseconds(30)));
  machine_->Unplug(physical);
  ASSERT_TRUE(held->Wait(std::chrono::seconds(5)));
  EXPECT_EQ(held->status(), STATUS_DELETE_PENDING);
  EXPECT_EQ(io.Close(file), STATUS_SUCCESS);
}

TEST_F(Lifecycle, ATowerKeepsWorkingAfterASleepTheSystemWasAllowed) {
  PlugTower();
  hk::FileObject* file = nullptr;
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  EXPECT_FALSE(machine_->Sleep(4));  // an open tower vetoes it
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
  EXPECT_TRUE(machine_->Sleep(4));
  // Awake again: requests are served, not held.
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  QIROTOWER_STATEREC state{};
  auto io =
      machine_->io().ControlAsync(file, IOCTL_TOWER_GET_STATE, nullptr, 0, &state, sizeof(state));
  ASSERT_TRUE(io->Wait(std::chrono::seconds(2)));
  EXPECT_EQ(state.State, 0xF);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

}  // namespace
}  // namespace towertest

namespace towertest {
namespace {

// A removed tower whose handle is still open keeps its device object, and
// with it its name, until the close: a tower plugged meanwhile takes another
// number instead of failing its add on the name.
TEST_F(Lifecycle, ATowerPluggedWhileARemovedOneIsStillOpenTakesAFreeNumber) {
  hk::DeviceObject* first = PlugTower();
  hk::FileObject* old = nullptr;
  ASSERT_EQ(OpenUnit(1, &old), STATUS_SUCCESS);
  machine_->Unplug(first);
  machine_->SettlePnp();

  hk::DeviceObject* second = PlugTower();
  hk::FileObject* file = nullptr;
  ASSERT_EQ(OpenUnit(2, &file), STATUS_SUCCESS);
  EXPECT_EQ(StateWord(file), 0xF);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);

  // The close deletes the old device and frees its number.
  EXPECT_EQ(machine_->io().Close(old), STATUS_SUCCESS);
  EXPECT_EQ(Record(1), nullptr);
  machine_->Unplug(second);
  machine_->SettlePnp();
  PlugTower();
  EXPECT_NE(Record(1), nullptr);
}

// A tower pulled out while its driver is being added: the stack below
// refuses the attach. The add fails and leaves no device and no number
// behind, so the next tower gets unit 1 and works.
TEST_F(Lifecycle, AnAddWhoseAttachIsRefusedLeavesNoDeviceBehind) {
  hk::DriverObject* driver = machine_->FindDriver(kService);
  const size_t pool = machine_->kernel().PoolBytes(kPoolTag);
  machine_->kernel().FailNextAttach();
  NTSTATUS status = STATUS_SUCCESS;
  PlugTower(&status);
  EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(machine_->kernel().FirstDevice(driver), nullptr);
  EXPECT_EQ(machine_->kernel().PoolBytes(kPoolTag), pool);
  EXPECT_FALSE(LinkExists(1));

  PlugTower();
  hk::FileObject* file = nullptr;
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  EXPECT_EQ(StateWord(file), 0xF);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

// ---- failures of the USB stack, provoked through the machine's fault facility

TEST_F(Lifecycle, AConfigurationTheStackRefusesAtStartFailsTheStart) {
  auto refused = machine_->faults().Once(hk::fault::kSelectConfiguration,
                                         static_cast<uint32_t>(STATUS_INSUFFICIENT_RESOURCES), "1");
  NTSTATUS status = STATUS_SUCCESS;
  hk::DeviceObject* physical = PlugTower(&status);
  ASSERT_NE(physical, nullptr);
  EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(refused->Hits(), 1u);
  EXPECT_FALSE(Flag(&Record(1)->Started));
  EXPECT_EQ(machine_->NodeOf(physical)->problem, hk::CM_PROB_FAILED_START);
  hk::FileObject* file = nullptr;
  EXPECT_EQ(OpenUnit(1, &file), STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(Lifecycle, AHighPowerConfigurationTheStackRefusesFallsBackToConfiguration1) {
  ASSERT_TRUE(machine_->registry().CreateKey(kParameters));
  ASSERT_TRUE(machine_->registry().SetDword(kParameters, "HighPower", 1));
  auto refused = machine_->faults().Once(hk::fault::kSelectConfiguration,
                                         static_cast<uint32_t>(STATUS_UNSUCCESSFUL), "2");
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  hk::DeviceObject* physical = PlugTower(&status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(refused->Hits(), 1u);
  EXPECT_EQ(Tower(0).Configuration(), 1);
  EXPECT_EQ(Record(1)->HighPower, 0) << "cleared in memory";
  EXPECT_TRUE(Flag(&Record(1)->Started));
  // The next start tries configuration 2 again.
  ASSERT_EQ(Restart(physical), STATUS_SUCCESS);
  EXPECT_EQ(Tower(0).Configuration(), 2);
  EXPECT_EQ(Record(1)->HighPower, 1);
}

TEST_F(Lifecycle, AFallbackTheStackRefusesTooLeavesTheTowerNotStarted) {
  ASSERT_TRUE(machine_->registry().CreateKey(kParameters));
  ASSERT_TRUE(machine_->registry().SetDword(kParameters, "HighPower", 1));
  auto high = machine_->faults().Once(hk::fault::kSelectConfiguration,
                                      static_cast<uint32_t>(STATUS_UNSUCCESSFUL), "2");
  // The first selection of configuration 1 goes; the fallback's is refused.
  auto fallback = machine_->faults().After(hk::fault::kSelectConfiguration, 1,
                                           static_cast<uint32_t>(STATUS_UNSUCCESSFUL), "1");
  hk::DeviceObject* physical = PlugTower();
  ASSERT_NE(physical, nullptr);
  EXPECT_EQ(high->Hits(), 1u);
  EXPECT_EQ(fallback->Hits(), 1u);
  EXPECT_FALSE(Flag(&Record(1)->Started));
  EXPECT_EQ(Tower(0).Configuration(), 0);
  hk::FileObject* file = nullptr;
  EXPECT_EQ(OpenUnit(1, &file), STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(Lifecycle, ARestartWhosePortCycleIsRefusedCompletesWithItsStatus) {
  hk::DeviceObject* physical = PlugTower();
  ASSERT_NE(physical, nullptr);
  hk::FileObject* file = nullptr;
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  auto refused = machine_->faults().Once(hk::fault::kCyclePort,
                                         static_cast<uint32_t>(STATUS_DEVICE_NOT_READY));
  uint32_t bytes = 99;
  EXPECT_EQ(machine_->io().Control(file, IOCTL_TOWER_RESTART, nullptr, 0, nullptr, 0, &bytes),
            STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(refused->Hits(), 1u);
  EXPECT_FALSE(Flag(&Record(1)->Started)) << "cleared when the restart began";
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
  machine_->SettlePnp();
  EXPECT_FALSE(physical->deleted) << "the port was not cycled";
}

// Enabled interfaces of a device.
size_t EnabledInterfaces(hk::Machine& machine, hk::DeviceObject* physical) {
  size_t n = 0;
  for (const hk::DeviceInterface& i : machine.kernel().Interfaces("", true))
    if (i.physical == physical) ++n;
  return n;
}

TEST_F(Lifecycle, AStartTheStackBelowRefusesFailsWithItsStatusAndALaterStartWorks) {
  auto refused = machine_->faults().Once(hk::fault::kStartDevice,
                                         static_cast<uint32_t>(STATUS_DEVICE_NOT_READY));
  NTSTATUS status = STATUS_SUCCESS;
  hk::DeviceObject* physical = PlugTower(&status);
  ASSERT_NE(physical, nullptr);
  // The stack's status, not one of this driver's: no configuration was tried.
  EXPECT_EQ(status, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(refused->Hits(), 1u);
  EXPECT_FALSE(Flag(&Record(1)->Started));
  EXPECT_TRUE(machine_->UsbDeviceOf(physical)->Selections().empty());
  EXPECT_EQ(machine_->NodeOf(physical)->problem, hk::CM_PROB_FAILED_START);
  EXPECT_EQ(EnabledInterfaces(*machine_, physical), 0u) << "the interface opens with a start";
  hk::FileObject* file = nullptr;
  EXPECT_EQ(OpenUnit(1, &file), STATUS_DEVICE_NOT_CONNECTED);
  // The same device started again runs the whole start and works.
  ASSERT_EQ(machine_->io().SendPnp(physical, 0x00), STATUS_SUCCESS);
  EXPECT_TRUE(Flag(&Record(1)->Started));
  EXPECT_EQ(Tower(0).Configuration(), 1);
  EXPECT_EQ(EnabledInterfaces(*machine_, physical), 1u);
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

TEST_F(Lifecycle, AStartThatFailedItsConfigurationRunsWholeAgainNextTime) {
  ASSERT_TRUE(machine_->registry().CreateKey(kParameters));
  ASSERT_TRUE(machine_->registry().SetDword(kParameters, "HighPower", 1));
  auto refused = machine_->faults().Once(hk::fault::kSelectConfiguration,
                                         static_cast<uint32_t>(STATUS_UNSUCCESSFUL), "1");
  NTSTATUS status = STATUS_SUCCESS;
  hk::DeviceObject* physical = PlugTower(&status);
  ASSERT_NE(physical, nullptr);
  EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(refused->Hits(), 1u);
  const size_t before = machine_->UsbDeviceOf(physical)->Selections().size();
  // The next start begins at its first step: configuration 1, then the
  // high power the registry asks for.
  ASSERT_EQ(machine_->io().SendPnp(physical, 0x00), STATUS_SUCCESS);
  EXPECT_TRUE(Flag(&Record(1)->Started));
  const std::vector<uint8_t> asked = machine_->UsbDeviceOf(physical)->Selections();
  ASSERT_GT(asked.size(), before);
  EXPECT_EQ(asked[before], 1);
  EXPECT_EQ(Tower(0).Configuration(), 2);
  EXPECT_EQ(Record(1)->HighPower, 1);
  EXPECT_EQ(EnabledInterfaces(*machine_, physical), 1u);
}

TEST_F(Lifecycle, ADriverWhoseStateCannotBeAllocatedDoesNotLoad) {
  machine_->UnloadDriver(kService);
  // The driver's record, then the copy of its registry path.
  for (uint64_t skip : {0u, 1u}) {
    SCOPED_TRACE(skip);
    auto refused = machine_->faults().After(hk::fault::kExAllocatePoolWithTag, skip, 0,
                                            hk::TagName(tower::kPoolTag));
    EXPECT_EQ(machine_->LoadDriver(kService, DriverModule()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(refused->Hits(), 1u);
  }
  ASSERT_EQ(machine_->LoadDriver(kService, DriverModule()), STATUS_SUCCESS);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  ASSERT_NE(PlugTower(&status), nullptr);
  EXPECT_EQ(status, STATUS_SUCCESS);
}

// Each allocation of a start (the descriptor reads' blocks and packets, the
// descriptor set, the interface list, the selection's block and packet)
// that fails fails the start with STATUS_UNSUCCESSFUL and leaves the tower
// without a configuration; the next start works.
TEST_F(Lifecycle, EveryAllocationOfAStartThatFailsFailsItUnsuccessful) {
  hk::DeviceObject* physical = PlugTower();
  ASSERT_NE(physical, nullptr);
  const auto startWith = [&](const std::string& site, uint64_t skip) {
    SCOPED_TRACE(site + " " + std::to_string(skip));
    EXPECT_EQ(machine_->io().SendPnp(physical, 0x05), STATUS_SUCCESS);
    EXPECT_EQ(machine_->io().SendPnp(physical, 0x04), STATUS_SUCCESS);
    const std::string match =
        site == hk::fault::kIoAllocateIrp ? std::string() : hk::TagName(tower::kPoolTag);
    auto refused = machine_->faults().After(site, skip, 0, match);
    const NTSTATUS status = machine_->io().SendPnp(physical, 0x00);
    const bool hit = refused->Hits() == 1;
    machine_->faults().Clear(refused);
    if (!hit) {
      EXPECT_EQ(status, STATUS_SUCCESS) << "past the last allocation";
      return false;
    }
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(Flag(&Record(1)->Started));
    EXPECT_EQ(Tower(0).Configuration(), 0);
    // The same device starts again once memory is there.
    EXPECT_EQ(Restart(physical), STATUS_SUCCESS);
    EXPECT_EQ(Tower(0).Configuration(), 1);
    return true;
  };
  uint64_t points = 0;
  for (uint64_t skip = 0; skip < 20 && startWith(hk::fault::kExAllocatePoolWithTag, skip); ++skip)
    ++points;
  EXPECT_GE(points, 5u) << "two descriptor blocks, the set, the list and the selection's block";
  points = 0;
  for (uint64_t skip = 0; skip < 20 && startWith(hk::fault::kIoAllocateIrp, skip); ++skip) ++points;
  EXPECT_EQ(points, 3u) << "the two descriptor reads and the selection";
}

}  // namespace
}  // namespace towertest
