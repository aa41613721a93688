// The stored defaults, restart and re-enumeration through the library's
// exports: the one registry store the driver reads, new values reaching a
// tower only when it is started and opened again, and restarting all towers.
#include <chrono>
#include <cstring>
#include <thread>

#include "Tavrix.h"
#include "app_fixture.h"
#include "faults/faults.h"
#include "tower/values.h"

namespace towertest {
namespace {

class Config : public AppTest {
 protected:
  static QIROTOWER_CONFIG Record(uint32_t size = sizeof(QIROTOWER_CONFIG)) {
    QIROTOWER_CONFIG config;
    std::memset(&config, 0xA5, sizeof(config));
    config.Size = size;
    return config;
  }
  std::optional<uint32_t> Stored(const char* name) {
    auto value = machine_->registry().GetValue(kParameters, name);
    if (!value || value->type != REG_DWORD || value->data.size() != 4) return std::nullopt;
    uint32_t v = 0;
    std::memcpy(&v, value->data.data(), 4);
    return v;
  }
  // Waits until n towers are present again after restarts (Plug and Play
  // runs on its own thread); generous, so a loaded machine cannot fail it.
  bool WaitForTowers(size_t n) {
    for (int i = 0; i < 500; ++i) {
      machine_->SettlePnp();
      if (InterfacePaths(DIGCF_DEVICEINTERFACE | DIGCF_PRESENT).size() == n) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  // Takes a handle out of the fixture's list: the library consumed it.
  void Forget(HANDLE handle) { std::erase(handles_, handle); }
};

void ExpectFactory(const QIROTOWER_CONFIG& c) {
  EXPECT_EQ(c.IRRange, 2u);
  EXPECT_EQ(c.LinkMode, 2u);
  EXPECT_EQ(c.HighPower, 0u);
  EXPECT_EQ(c.Timeout_Read_1st, 200u);
  EXPECT_EQ(c.Timeout_Read_ic, 100u);
  EXPECT_EQ(c.Timeout_Write, 200u);
  EXPECT_EQ(c.BufferSize, 1024u);
}

TEST_F(Config, AFreshSystemGetsTheKeyCreatedAndReadsFactoryValues) {
  ASSERT_FALSE(machine_->registry().KeyExists(kParameters));
  QIROTOWER_CONFIG config = Record(40);
  ASSERT_TRUE(QIROTowerGetDefaultConfig(&config));
  EXPECT_TRUE(machine_->registry().KeyExists(kParameters));
  EXPECT_EQ(config.Size, 40u) << "the caller's size stays";
  ExpectFactory(config);

  QIROTOWER_CONFIG factory = Record(40);
  ASSERT_TRUE(QIROTowerGetFactoryConfig(&factory));
  EXPECT_EQ(factory.Size, 40u);
  ExpectFactory(factory);
}

TEST_F(Config, ShortAndMissingRecordsFailEachWithItsOwnError) {
  QIROTOWER_CONFIG config = Record(31);
  EXPECT_FALSE(QIROTowerSetDefaultConfig(&config));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(QIROTowerGetFactoryConfig(&config));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_FALSE(QIROTowerGetDefaultConfig(&config));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(config.IRRange, 0xA5A5A5A5u) << "nothing written";
  EXPECT_FALSE(machine_->registry().KeyExists(kParameters)) << "nothing stored";
  for (auto* call : {&QIROTowerGetFactoryConfig, &QIROTowerGetDefaultConfig}) {
    EXPECT_FALSE(call(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  EXPECT_FALSE(QIROTowerSetDefaultConfig(nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(Config, StoredValuesAreDwordsReadBackWhateverTheirType) {
  QIROTOWER_CONFIG config = Record();
  config.IRRange = 3;
  config.LinkMode = 4;
  config.HighPower = 1;
  config.Timeout_Read_1st = 250;
  config.Timeout_Read_ic = 40;
  config.Timeout_Write = 7;
  config.BufferSize = 99999;  // not range-checked
  ASSERT_TRUE(QIROTowerSetDefaultConfig(&config));
  EXPECT_EQ(Stored("IRRange"), 3u);
  EXPECT_EQ(Stored("LinkMode"), 4u);
  EXPECT_EQ(Stored("HighPower"), 1u);
  EXPECT_EQ(Stored("Timeout_Read_1st"), 250u);
  EXPECT_EQ(Stored("Timeout_Read_ic"), 40u);
  EXPECT_EQ(Stored("Timeout_Write"), 7u);
  EXPECT_EQ(Stored("BufferSize"), 99999u);

  // A value of another type that fits four bytes is read as it is; one that
  // does not fit, or is missing, leaves the factory value.
  const uint8_t text[4] = {'a', 'b', 'c', 0};
  machine_->registry().SetValue(kParameters, "LinkMode", REG_SZ, text);
  const uint8_t longer[8] = {1, 0, 0, 0, 0, 0, 0, 0};
  machine_->registry().SetValue(kParameters, "HighPower", REG_BINARY, longer);
  machine_->registry().DeleteValue(kParameters, "BufferSize");
  QIROTOWER_CONFIG back = Record();
  ASSERT_TRUE(QIROTowerGetDefaultConfig(&back));
  EXPECT_EQ(back.IRRange, 3u);
  uint32_t textValue = 0;
  std::memcpy(&textValue, text, 4);
  EXPECT_EQ(back.LinkMode, textValue);
  EXPECT_EQ(back.HighPower, 0u);
  EXPECT_EQ(back.BufferSize, 1024u);
  EXPECT_EQ(back.Timeout_Write, 7u);
}

TEST_F(Config, NewDefaultsReachATowerOnlyAfterItsRestart) {
  ASSERT_NE(PlugTower(), nullptr);
  auto paths = InterfacePaths(DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
  ASSERT_EQ(paths.size(), 1u);
  HANDLE tower = Open(paths[0]);
  ASSERT_NE(tower, INVALID_HANDLE_VALUE);
  // No stored value: the driver's own defaults, long range and IR.
  EXPECT_EQ(Tower().Parameter(TOWER_PARM_RANGE), TOWER_RANGE_LONG);
  EXPECT_EQ(Tower().Parameter(TOWER_PARM_LINK_MODE), TOWER_LINK_IR);

  QIROTOWER_CONFIG config = Record();
  ASSERT_TRUE(QIROTowerGetFactoryConfig(&config));
  config.IRRange = TOWER_RANGE_SHORT;
  config.LinkMode = TOWER_LINK_VLL;
  ASSERT_TRUE(QIROTowerSetDefaultConfig(&config));
  EXPECT_EQ(Tower().Parameter(TOWER_PARM_RANGE), TOWER_RANGE_LONG) << "the running tower keeps its";

  Tower().ClearSetupLog();
  ASSERT_TRUE(QIROTowerRestart(tower));
  Forget(tower);
  // The handle went with the restart.
  EXPECT_FALSE(CloseHandle(tower));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  ASSERT_TRUE(WaitForTowers(1));

  paths = InterfacePaths(DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
  ASSERT_NE(Open(paths[0]), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Tower().Parameter(TOWER_PARM_RANGE), TOWER_RANGE_SHORT);
  EXPECT_EQ(Tower().Parameter(TOWER_PARM_LINK_MODE), TOWER_LINK_VLL);
  // Seen on the wire: the open set both parameters.
  bool rangeSent = false;
  bool linkSent = false;
  for (const auto& setup : Tower().SetupLog()) {
    rangeSent |= setup.wValue == (TOWER_RANGE_SHORT << 8 | TOWER_PARM_RANGE);
    linkSent |= setup.wValue == (TOWER_LINK_VLL << 8 | TOWER_PARM_LINK_MODE);
  }
  EXPECT_TRUE(rangeSent);
  EXPECT_TRUE(linkSent);
}

TEST_F(Config, RestartAllSkipsATowerHeldOpenElsewhere) {
  hk::DeviceObject* held = PlugTower();
  hk::DeviceObject* free = PlugTower();
  ASSERT_NE(held, nullptr);
  ASSERT_NE(free, nullptr);
  const auto paths = InterfacePaths(DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
  ASSERT_EQ(paths.size(), 2u);
  HANDLE mine = Open(paths[0]);
  ASSERT_NE(mine, INVALID_HANDLE_VALUE);

  EXPECT_TRUE(QIROTowerRestartAll());
  ASSERT_TRUE(WaitForTowers(2));
  EXPECT_FALSE(held->deleted) << "the held tower was not restarted";
  EXPECT_TRUE(free->deleted) << "the other left the bus and came back as a new device";
  WORD range = 0;
  EXPECT_TRUE(QIROTowerGetRange(mine, &range)) << "the holder's handle still works";

  // With every tower held, nothing can be restarted; the opens refused on
  // the way leave the caller's last error as it was.
  HANDLE second = Open(InterfacePaths(DIGCF_DEVICEINTERFACE | DIGCF_PRESENT)[1]);
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  SetLastError(1234);
  EXPECT_FALSE(QIROTowerRestartAll());
  EXPECT_EQ(GetLastError(), 1234u);
}

TEST_F(Config, ARefusedRestartLeavesTheHandleWithItsCaller) {
  hk::DeviceObject* physical = PlugTower();
  ASSERT_NE(physical, nullptr);
  HANDLE tower = Open(InterfacePaths(DIGCF_DEVICEINTERFACE | DIGCF_PRESENT).at(0));
  ASSERT_NE(tower, INVALID_HANDLE_VALUE);
  // The driver cannot ask for the port cycle: no request to ask with.
  machine_->kernel().FailNthDriverIrp(1);
  EXPECT_FALSE(QIROTowerRestart(tower));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES));
  machine_->kernel().FailNthDriverIrp(0);
  machine_->SettlePnp();
  EXPECT_FALSE(physical->deleted);
  WORD state = 0;
  EXPECT_TRUE(QIROTowerGetState(tower, &state)) << "the handle is still the caller's";
}

TEST_F(Config, RestartNeedsATowerAndAValidHandle) {
  SetLastError(1234);
  EXPECT_FALSE(QIROTowerRestartAll());
  EXPECT_EQ(GetLastError(), 1234u);
  EXPECT_FALSE(QIROTowerRestart(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(QIROTowerRestart(reinterpret_cast<HANDLE>(0x1000)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Config, ReenumerationBindsATowerThatHadNoDriverAndUsbIsThere) {
  EXPECT_TRUE(QIROTowerIsUSBEnabled());
  // Plugged while no driver was bound: it waits with a problem.
  machine_->BindHardwareId(kTowerHardwareId, "NoSuchService");
  ASSERT_NE(PlugTower(), nullptr);
  EXPECT_TRUE(InterfacePaths(DIGCF_DEVICEINTERFACE | DIGCF_PRESENT).empty());
  machine_->BindHardwareId(kTowerHardwareId, kService);
  EXPECT_TRUE(QIROTowerReenumerateAll());
  EXPECT_EQ(InterfacePaths(DIGCF_DEVICEINTERFACE | DIGCF_PRESENT).size(), 1u);
}

// ---- failures of the platform, provoked through the machine's fault facility

TEST_F(Config, DefaultsWhoseKeyCannotBeOpenedOrCreatedFailWithCantOpen) {
  auto refused = machine_->faults().Always(hk::fault::kRegCreateKeyA, ERROR_ACCESS_DENIED,
                                           "QIROUSBTower\\Parameters");
  QIROTOWER_CONFIG config = Record();
  SetLastError(0);
  EXPECT_FALSE(QIROTowerGetDefaultConfig(&config));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANTOPEN));
  ExpectFactory(config);  // the record keeps the factory values
  config.IRRange = 1;
  SetLastError(0);
  EXPECT_FALSE(QIROTowerSetDefaultConfig(&config));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANTOPEN));
  EXPECT_FALSE(machine_->registry().KeyExists(kParameters));
  EXPECT_EQ(refused->Hits(), 2u);
}

TEST_F(Config, OnlyTheWritesWhoseResultIsExaminedDecideTheSetsResult) {
  QIROTOWER_CONFIG config = Record();
  config.IRRange = 1;
  config.LinkMode = 4;
  config.HighPower = 1;
  config.Timeout_Write = 11;
  config.Timeout_Read_1st = 12;
  config.Timeout_Read_ic = 13;
  config.BufferSize = 14;
  hk::Faults& faults = machine_->faults();
  auto fresh = [&] { machine_->registry().DeleteTree(kParameters); };

  // The range refused: nothing after it is written.
  auto range = faults.Once(hk::fault::kRegSetValueExA, ERROR_ACCESS_DENIED, "IRRange");
  SetLastError(0);
  EXPECT_FALSE(QIROTowerSetDefaultConfig(&config));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANTWRITE));
  EXPECT_EQ(Stored("IRRange"), std::nullopt);
  EXPECT_EQ(Stored("LinkMode"), std::nullopt);
  EXPECT_EQ(Stored("BufferSize"), std::nullopt);
  EXPECT_EQ(range->Hits(), 1u);

  // The link mode refused: the range stays written, the rest is not.
  fresh();
  auto mode = faults.Once(hk::fault::kRegSetValueExA, ERROR_ACCESS_DENIED, "LinkMode");
  EXPECT_FALSE(QIROTowerSetDefaultConfig(&config));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANTWRITE));
  EXPECT_EQ(Stored("IRRange"), 1u);
  EXPECT_EQ(Stored("HighPower"), std::nullopt);
  EXPECT_EQ(mode->Hits(), 1u);

  // One of the middle four refused: not examined, the call succeeds.
  fresh();
  auto power = faults.Once(hk::fault::kRegSetValueExA, ERROR_ACCESS_DENIED, "HighPower");
  EXPECT_TRUE(QIROTowerSetDefaultConfig(&config));
  EXPECT_EQ(Stored("HighPower"), std::nullopt);
  EXPECT_EQ(Stored("Timeout_Write"), 11u);
  EXPECT_EQ(Stored("BufferSize"), 14u);
  EXPECT_EQ(power->Hits(), 1u);

  // The buffer size refused: the middle four are written, the call fails.
  fresh();
  auto buffer = faults.Once(hk::fault::kRegSetValueExA, ERROR_ACCESS_DENIED, "BufferSize");
  EXPECT_FALSE(QIROTowerSetDefaultConfig(&config));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANTWRITE));
  EXPECT_EQ(Stored("Timeout_Read_ic"), 13u);
  EXPECT_EQ(Stored("BufferSize"), std::nullopt);
  EXPECT_EQ(buffer->Hits(), 1u);
  EXPECT_EQ(faults.Hits(hk::fault::kRegSetValueExA), 4u);
}

TEST_F(Config, AValueThatCannotBeReadKeepsItsFactoryValue) {
  ASSERT_TRUE(machine_->registry().CreateKey(kParameters));
  ASSERT_TRUE(machine_->registry().SetDword(kParameters, "IRRange", 1));
  ASSERT_TRUE(machine_->registry().SetDword(kParameters, "LinkMode", 4));
  auto unreadable =
      machine_->faults().Once(hk::fault::kRegQueryValueExA, ERROR_CANTREAD, "Parameters\\IRRange");
  QIROTOWER_CONFIG config = Record();
  SetLastError(1234);
  ASSERT_TRUE(QIROTowerGetDefaultConfig(&config));
  EXPECT_EQ(config.IRRange, 2u) << "factory";
  EXPECT_EQ(config.LinkMode, 4u);
  EXPECT_EQ(unreadable->Hits(), 1u);
}

TEST_F(Config, ARestartTheUsbStackRefusesLeavesTheHandleWithItsCaller) {
  hk::DeviceObject* physical = PlugTower();
  ASSERT_NE(physical, nullptr);
  HANDLE tower = Open(InterfacePaths(DIGCF_DEVICEINTERFACE | DIGCF_PRESENT).at(0));
  ASSERT_NE(tower, INVALID_HANDLE_VALUE);
  auto refused = machine_->faults().Once(hk::fault::kCyclePort,
                                         static_cast<uint32_t>(STATUS_DEVICE_NOT_READY));
  SetLastError(0);
  EXPECT_FALSE(QIROTowerRestart(tower));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY)) << "the port cycle's status";
  EXPECT_EQ(refused->Hits(), 1u);
  machine_->SettlePnp();
  EXPECT_FALSE(physical->deleted);
  WORD state = 0;
  EXPECT_TRUE(QIROTowerGetState(tower, &state)) << "the handle is still the caller's";
  EXPECT_EQ(state & 2u, 0u) << "Started is 0 from the moment the restart began";
}

TEST_F(Config, RestartAllGivesTheLastRestartsResultAndLeavesNoHandleOpen) {
  // Towers 1 and 3 present, tower 3 refusing its restart.
  hk::DeviceObject* one = PlugTower();
  hk::DeviceObject* two = PlugTower();
  hk::DeviceObject* three = PlugTower();
  ASSERT_NE(three, nullptr);
  UnplugTower(two);
  machine_->SettlePnp();
  ASSERT_EQ(InterfacePaths(DIGCF_DEVICEINTERFACE | DIGCF_PRESENT).size(), 2u);
  std::string third;
  {
    std::lock_guard<std::recursive_mutex> lock(machine_->tree().mutex());
    third = machine_->NodeOf(three)->instanceId;
  }
  auto refused = machine_->faults().Always(hk::fault::kCyclePort,
                                           static_cast<uint32_t>(STATUS_UNSUCCESSFUL), third);
  SetLastError(1234);
  EXPECT_FALSE(QIROTowerRestartAll());
  EXPECT_EQ(GetLastError(), 1234u) << "no last error of its own";
  EXPECT_EQ(refused->Hits(), 1u);
  EXPECT_EQ(MachineTest::Record(3)->Open, 0) << "tower 3's handle was closed";
  machine_->SettlePnp();
  ASSERT_TRUE(WaitForTowers(2));
  EXPECT_TRUE(one->deleted) << "tower 1 was restarted";
  EXPECT_FALSE(three->deleted);
}

TEST_F(Config, AFailedReenumerationReturnsZeroAndSetsNoError) {
  auto refused = machine_->faults().Once(hk::fault::kCmReenumerateDevNode, CR_FAILURE);
  SetLastError(1234);
  EXPECT_FALSE(QIROTowerReenumerateAll());
  EXPECT_EQ(GetLastError(), 1234u);
  EXPECT_EQ(refused->Hits(), 1u);
  EXPECT_TRUE(QIROTowerReenumerateAll());
}

TEST_F(Config, ARootThatCannotBeLocatedIsNotReenumeratedAndSetsNoError) {
  auto refused = machine_->faults().Once(hk::fault::kCmLocateDevNodeA, CR_FAILURE);
  SetLastError(1234);
  EXPECT_FALSE(QIROTowerReenumerateAll());
  EXPECT_EQ(GetLastError(), 1234u);
  EXPECT_EQ(refused->Hits(), 1u);
  EXPECT_EQ(machine_->faults().Hits(hk::fault::kCmReenumerateDevNode), 0u);
  EXPECT_TRUE(QIROTowerReenumerateAll());
}

TEST_F(Config, AMachineWithoutUsbHasNoHostController) {
  hk::Machine::Options options{stateDir_};
  options.hostControllers = 0;
  Start(options);
  EXPECT_FALSE(QIROTowerIsUSBEnabled());
}

}  // namespace
}  // namespace towertest
