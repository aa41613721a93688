// The host machine's fault facility (host/faults): its semantics, and every
// failure it provokes, each seen as the caller sees it on Windows and
// counted as a hit. The machine configurations that go with them (no host
// controller, a controller's driver key and depth, a hub that says it is no
// hub) are here too.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Tavrix.h"
#include "app_fixture.h"
#include "faults/faults.h"
#include "files/files.h"
#include "tower/ntstatus.h"

namespace towertest {
namespace {

namespace fault = hk::fault;

// ---- the facility itself ------------------------------------------------------

TEST(FaultFacility, OnceFailsTheNextCallOnly) {
  hk::Faults faults;
  EXPECT_FALSE(faults.AnyArmed());
  auto entry = faults.Once("Call", 5);
  EXPECT_TRUE(faults.AnyArmed());
  EXPECT_EQ(faults.Check("Other"), std::nullopt);
  EXPECT_EQ(faults.Check("Call"), 5u);
  EXPECT_EQ(faults.Check("Call"), std::nullopt);
  EXPECT_EQ(entry->Hits(), 1u);
  EXPECT_TRUE(entry->Spent());
  EXPECT_FALSE(faults.AnyArmed());
  EXPECT_EQ(faults.Hits("Call"), 1u);
  EXPECT_EQ(faults.Hits("Other"), 0u);
}

TEST(FaultFacility, TimesFailsNCallsThenLetsThemThrough) {
  hk::Faults faults;
  auto entry = faults.Times("Call", 3, 8);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(faults.Check("Call"), 8u) << i;
  EXPECT_EQ(faults.Check("Call"), std::nullopt);
  EXPECT_EQ(entry->Hits(), 3u);
  EXPECT_EQ(entry->Seen(), 3u);
  EXPECT_EQ(faults.Hits("Call"), 3u);
}

TEST(FaultFacility, AlwaysFailsUntilCleared) {
  hk::Faults faults;
  auto entry = faults.Always("Call", 31);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(faults.Check("Call"), 31u);
  EXPECT_FALSE(entry->Spent());
  faults.Clear(entry);
  EXPECT_TRUE(entry->Spent());
  EXPECT_EQ(faults.Check("Call"), std::nullopt);
  EXPECT_EQ(entry->Hits(), 10u);
  // Clearing by site and clearing all disarm as well; hits stay counted.
  faults.Always("Call", 1);
  faults.Always("Else", 2);
  faults.Clear(std::string("Call"));
  EXPECT_EQ(faults.Check("Call"), std::nullopt);
  EXPECT_EQ(faults.Check("Else"), 2u);
  faults.ClearAll();
  EXPECT_EQ(faults.Check("Else"), std::nullopt);
  EXPECT_FALSE(faults.AnyArmed());
  EXPECT_EQ(faults.Hits("Call"), 10u);
  EXPECT_EQ(faults.TotalHits(), 11u);
}

TEST(FaultFacility, AMatchNamesTrailingPartsOfTheSubject) {
  EXPECT_TRUE(hk::Faults::Matches("", "anything"));
  EXPECT_TRUE(hk::Faults::Matches("Parameters", "Machine\\Services\\Tower\\PARAMETERS"));
  EXPECT_TRUE(hk::Faults::Matches("tower\\parameters", "Machine\\Services\\Tower\\Parameters"));
  EXPECT_TRUE(hk::Faults::Matches("Machine\\Services\\Tower", "machine\\services\\tower"));
  EXPECT_FALSE(hk::Faults::Matches("meters", "Machine\\Services\\Tower\\Parameters"));
  EXPECT_FALSE(hk::Faults::Matches("Tower", "Machine\\Services\\Tower\\Parameters"));
  EXPECT_FALSE(hk::Faults::Matches("Parameters", ""));

  hk::Faults faults;
  auto entry = faults.Always("RegSetValueExA", 5, "Parameters\\IRRange");
  EXPECT_EQ(faults.Check("RegSetValueExA", "Machine\\X\\Parameters\\LinkMode"), std::nullopt);
  EXPECT_EQ(faults.Check("RegSetValueExA", "Machine\\X\\Parameters\\irrange"), 5u);
  EXPECT_EQ(faults.Check("RegSetValueExA", "Machine\\X\\Other\\IRRange"), std::nullopt);
  EXPECT_EQ(entry->Hits(), 1u);
  EXPECT_EQ(entry->Seen(), 1u) << "calls of other subjects are not seen";
}

TEST(FaultFacility, SkipLetsTheFirstMatchingCallsThrough) {
  hk::Faults faults;
  auto entry = faults.After("Call", 2, 7, "B");
  EXPECT_EQ(faults.Check("Call", "A"), std::nullopt);
  EXPECT_EQ(faults.Check("Call", "B"), std::nullopt);
  EXPECT_EQ(faults.Check("Call", "A"), std::nullopt);
  EXPECT_EQ(faults.Check("Call", "B"), std::nullopt);
  EXPECT_EQ(faults.Check("Call", "B"), 7u) << "the third matching call";
  EXPECT_EQ(faults.Check("Call", "B"), std::nullopt);
  EXPECT_EQ(entry->Seen(), 3u);
  EXPECT_EQ(entry->Hits(), 1u);

  // Skip and times together: two through, then three failures.
  auto both = faults.Arm("Call", {.code = 9, .times = 3, .skip = 2, .match = {}});
  std::vector<bool> failed;
  failed.reserve(6);
  for (int i = 0; i < 6; ++i) failed.push_back(faults.Check("Call").has_value());
  EXPECT_EQ(failed, (std::vector<bool>{false, false, true, true, true, false}));
  EXPECT_EQ(both->Hits(), 3u);
}

TEST(FaultFacility, TheFirstEntryArmedThatMatchesDecides) {
  hk::Faults faults;
  auto narrow = faults.Once("Call", 1, "Key");
  auto wide = faults.Always("Call", 2);
  EXPECT_EQ(faults.Check("Call", "Other"), 2u);
  EXPECT_EQ(faults.Check("Call", "Path\\Key"), 1u);
  EXPECT_EQ(faults.Check("Call", "Path\\Key"), 2u) << "the narrow entry is spent";
  EXPECT_EQ(narrow->Hits(), 1u);
  EXPECT_EQ(wide->Hits(), 2u);
  EXPECT_EQ(faults.Hits("Call"), 3u);
}

TEST(FaultFacility, CallsFromManyThreadsFailExactlyAsOftenAsArmed) {
  hk::Faults faults;
  auto entry = faults.Times("Call", 1000, 1);
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  threads.reserve(8);
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 500; ++i)
        if (faults.Check("Call", "subject")) failed.fetch_add(1);
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failed.load(), 1000);
  EXPECT_EQ(entry->Hits(), 1000u);
  EXPECT_EQ(faults.Hits("Call"), 1000u);
  EXPECT_TRUE(entry->Spent());
}

// ---- on the machine ---------------------------------------------------------------

constexpr char kParametersSubKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\QIROUSBTower\\Parameters";
constexpr char kHelpControlSubKey[] =
    "CLSID\\{ADB880A6-D8FF-11CF-9377-00AA003B7A11}\\InprocServer32";

class Faults : public AppTest {
 protected:
  hk::Faults& faults() { return machine_->faults(); }
  static LONG SetDword(HKEY key, const char* name, DWORD value) {
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof(value));
  }
  hk::DevNode* RootHub(size_t controller = 0) {
    std::lock_guard<std::recursive_mutex> lock(machine_->tree().mutex());
    size_t n = controller;
    for (hk::DevNode* node : machine_->tree().Nodes())
      if (node->kind == hk::NodeKind::RootHub && n-- == 0) return node;
    return nullptr;
  }
  hk::DeviceObject* PlugTowerAt(hk::DevNode* hub, uint8_t port) {
    auto tower = std::make_shared<sim::TowerModel>(Instant());
    towers_.push_back(tower);
    return machine_->PlugUsbAt(hub, port, tower);
  }
  std::string InstanceOf(hk::DeviceObject* physical) {
    std::lock_guard<std::recursive_mutex> lock(machine_->tree().mutex());
    return machine_->NodeOf(physical)->instanceId;
  }
  // The device path of a hub's interface.
  static std::string HubPath(const hk::DevNode* hub) {
    const GUID hubs = {
        0xF18A0E88u, 0xC30C, 0x11D0, {0x88, 0x15, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0xD8}};
    HDEVINFO set =
        SetupDiGetClassDevsA(&hubs, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    std::string path;
    SP_DEVINFO_DATA element{};
    element.cbSize = sizeof(element);
    for (DWORD i = 0; path.empty() && SetupDiEnumDeviceInfo(set, i, &element); ++i) {
      if (element.DevInst != hub->handle) continue;
      SP_DEVICE_INTERFACE_DATA data{};
      data.cbSize = sizeof(data);
      char buffer[sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) + MAX_PATH] = {};
      auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer);
      detail->cbSize = sizeof(*detail);
      if (SetupDiEnumDeviceInterfaces(set, &element, &hubs, 0, &data) &&
          SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof(buffer), nullptr, nullptr))
        path = detail->DevicePath;
    }
    SetupDiDestroyDeviceInfoList(set);
    return path;
  }
  // The driver key name \\.\HCDn gives by the two-call protocol: the length
  // first, then the whole record. Empty when a call fails.
  static std::u16string DriverKeyName(uint32_t controller, DWORD* error = nullptr,
                                      uint32_t* actual = nullptr) {
    const std::string path = "\\\\.\\HCD" + std::to_string(controller);
    HANDLE hcd = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             0, nullptr);
    if (hcd == INVALID_HANDLE_VALUE) {
      if (error != nullptr) *error = GetLastError();
      return u"";
    }
    std::u16string name;
    uint8_t probe[6] = {};
    DWORD bytes = 0;
    if (!DeviceIoControl(hcd, 0x00220424u, probe, sizeof(probe), probe, sizeof(probe), &bytes,
                         nullptr)) {
      if (error != nullptr) *error = GetLastError();
    } else {
      uint32_t length = 0;
      std::memcpy(&length, probe, 4);
      if (actual != nullptr) *actual = length;
      std::vector<uint8_t> record(length);
      if (!DeviceIoControl(hcd, 0x00220424u, record.data(), length, record.data(), length, &bytes,
                           nullptr)) {
        if (error != nullptr) *error = GetLastError();
      } else {
        EXPECT_EQ(bytes, length);
        name.resize((length - 4) / 2 - 1);
        std::memcpy(name.data(), record.data() + 4, 2 * name.size());
        uint16_t terminator = 0xFFFF;
        std::memcpy(&terminator, record.data() + length - 2, 2);
        EXPECT_EQ(terminator, 0u);
      }
    }
    CloseHandle(hcd);
    return name;
  }
};

// ---- registry, user mode

TEST_F(Faults, RegCreateKeyARefusesOneKeyWhileTheRestOfTheRegistryWorks) {
  auto entry =
      faults().Always(fault::kRegCreateKeyA, ERROR_ACCESS_DENIED, "QIROUSBTower\\Parameters");
  HKEY key = reinterpret_cast<HKEY>(0x1234);
  EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, kParametersSubKey, &key), ERROR_ACCESS_DENIED);
  EXPECT_EQ(key, nullptr);
  EXPECT_FALSE(machine_->registry().KeyExists(kParameters));
  // Another key, even the service key above it, is created as ever.
  ASSERT_EQ(
      RegCreateKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\QIROUSBTower", &key),
      ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tower", &key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(entry->Hits(), 1u);
  EXPECT_EQ(faults().Hits("RegCreateKeyA"), 1u);

  // Through the access library: the defaults cannot be read or stored.
  QIROTOWER_CONFIG config{};
  config.Size = sizeof(config);
  SetLastError(0);
  EXPECT_FALSE(QIROTowerGetDefaultConfig(&config));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANTOPEN));
  EXPECT_FALSE(QIROTowerSetDefaultConfig(&config));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANTOPEN));
  EXPECT_EQ(entry->Hits(), 3u);

  faults().Clear(entry);
  EXPECT_TRUE(QIROTowerGetDefaultConfig(&config));
  EXPECT_EQ(entry->Hits(), 3u);
}

TEST_F(Faults, RegOpenKeyExARefusesOneKey) {
  auto entry = faults().Once(fault::kRegOpenKeyExA, ERROR_ACCESS_DENIED, "InprocServer32");
  HKEY key = nullptr;
  EXPECT_EQ(
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services", 0, KEY_READ, &key),
      ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, kHelpControlSubKey, 0, KEY_READ, &key),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(entry->Hits(), 1u);
  // Once: the next open finds the key.
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, kHelpControlSubKey, 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(faults().Hits(fault::kRegOpenKeyExA), 1u);
}

TEST_F(Faults, RegSetValueExARefusesOneNamedValue) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, kParametersSubKey, &key), ERROR_SUCCESS);
  auto entry = faults().Always(fault::kRegSetValueExA, ERROR_ACCESS_DENIED, "IRRange");
  EXPECT_EQ(SetDword(key, "LinkMode", 4), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(key, "IRRange", 1), ERROR_ACCESS_DENIED);
  EXPECT_EQ(SetDword(key, "irrange", 1), ERROR_ACCESS_DENIED);
  EXPECT_EQ(SetDword(key, "BufferSize", 64), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_FALSE(machine_->registry().GetValue(kParameters, "IRRange").has_value());
  EXPECT_TRUE(machine_->registry().GetValue(kParameters, "LinkMode").has_value());
  EXPECT_EQ(entry->Hits(), 2u);
}

TEST_F(Faults, RegQueryValueExAAndRegDeleteKeyAFailOnDemand) {
  ASSERT_TRUE(machine_->registry().CreateKey(kParameters));
  ASSERT_TRUE(machine_->registry().SetDword(kParameters, "IRRange", 1));
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kParametersSubKey, 0, KEY_READ, &key), ERROR_SUCCESS);
  auto read = faults().Once(fault::kRegQueryValueExA, ERROR_CANTREAD, "Parameters\\IRRange");
  DWORD value = 0;
  DWORD size = sizeof(value);
  EXPECT_EQ(
      RegQueryValueExA(key, "IRRange", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
      ERROR_CANTREAD);
  EXPECT_EQ(
      RegQueryValueExA(key, "IRRange", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
      ERROR_SUCCESS);
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(read->Hits(), 1u);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  auto removal = faults().Once(fault::kRegDeleteKeyA, ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, kParametersSubKey), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(machine_->registry().KeyExists(kParameters));
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, kParametersSubKey), ERROR_SUCCESS);
  EXPECT_EQ(removal->Hits(), 1u);
}

// ---- registry, the driver's side

TEST_F(Faults, TheDriversParametersKeyThatCannotBeCreatedFailsTheOpen) {
  ASSERT_NE(PlugTower(), nullptr);
  auto entry = faults().Once(fault::kZwCreateKey, static_cast<uint32_t>(STATUS_ACCESS_DENIED),
                             "QIROUSBTower\\Parameters");
  EXPECT_EQ(Open("\\\\.\\QIROTOWER1"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(entry->Hits(), 1u);
  // The next open creates it and works.
  EXPECT_NE(Open("\\\\.\\QIROTOWER1"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(faults().Hits(fault::kZwCreateKey), 1u);
}

TEST_F(Faults, AParametersKeyTheStartCannotReadLeavesHighPowerOff) {
  ASSERT_TRUE(machine_->registry().CreateKey(kParameters));
  ASSERT_TRUE(machine_->registry().SetDword(kParameters, "HighPower", 1));
  // The start opens the key through another spelling: the match ignores case.
  auto key = faults().Once(fault::kZwCreateKey,
                           static_cast<uint32_t>(STATUS_INSUFFICIENT_RESOURCES), "parameters");
  ASSERT_NE(PlugTower(), nullptr);
  EXPECT_EQ(Tower(0).Configuration(), 1);
  EXPECT_EQ(key->Hits(), 1u);
  // The value itself unreadable: the same.
  auto value = faults().Once(fault::kZwQueryValueKey,
                             static_cast<uint32_t>(STATUS_INSUFFICIENT_RESOURCES), "HighPower");
  ASSERT_NE(PlugTower(), nullptr);
  EXPECT_EQ(Tower(1).Configuration(), 1);
  EXPECT_EQ(value->Hits(), 1u);
  // And without a fault the tower gets its high-power configuration.
  ASSERT_NE(PlugTower(), nullptr);
  EXPECT_EQ(Tower(2).Configuration(), 2);
}

TEST_F(Faults, TheKernelsOpenOfAnExistingKeyFailsOnDemand) {
  const std::string control = "Machine\\System\\CurrentControlSet\\Control\\Class";
  EXPECT_EQ(machine_->kernel().OpenKey(control, false), STATUS_SUCCESS);
  auto entry = faults().Once(fault::kZwOpenKey, static_cast<uint32_t>(STATUS_ACCESS_DENIED),
                             "Control\\Class");
  EXPECT_EQ(machine_->kernel().OpenKey(control, false), STATUS_ACCESS_DENIED);
  EXPECT_EQ(machine_->kernel().OpenKey(control, false), STATUS_SUCCESS);
  EXPECT_EQ(entry->Hits(), 1u);
}

// ---- USB

TEST_F(Faults, OneTowersPortCycleIsRefusedByTheStackBelow) {
  hk::DeviceObject* first = PlugTower();
  hk::DeviceObject* second = PlugTower();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  auto entry = faults().Always(fault::kCyclePort, static_cast<uint32_t>(STATUS_UNSUCCESSFUL),
                               InstanceOf(first));
  HANDLE one = Open("\\\\.\\QIROTOWER1");
  ASSERT_NE(one, INVALID_HANDLE_VALUE);
  SetLastError(0);
  EXPECT_FALSE(QIROTowerRestart(one));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
  EXPECT_EQ(entry->Hits(), 1u);
  // The handle is still the caller's.
  Close(one);
  // The other tower restarts.
  HANDLE two = Open("\\\\.\\QIROTOWER2");
  ASSERT_NE(two, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(QIROTowerRestart(two));
  handles_.erase(std::find(handles_.begin(), handles_.end(), two));
  machine_->SettlePnp();
  EXPECT_EQ(entry->Hits(), 1u);
  EXPECT_EQ(faults().Hits(fault::kCyclePort), 1u);
}

TEST_F(Faults, SelectingConfiguration1FailsAtStart) {
  auto entry =
      faults().Once(fault::kSelectConfiguration, static_cast<uint32_t>(STATUS_UNSUCCESSFUL), "1");
  NTSTATUS status = STATUS_SUCCESS;
  hk::DeviceObject* physical = PlugTower(&status);
  ASSERT_NE(physical, nullptr);
  EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(entry->Hits(), 1u);
  EXPECT_EQ(Tower(0).Configuration(), 0);
  const std::vector<uint8_t> asked = machine_->UsbDeviceOf(physical)->Selections();
  ASSERT_FALSE(asked.empty());
  EXPECT_EQ(asked.front(), 1);
  ULONG devStatus = 0;
  ULONG problem = 0;
  EXPECT_EQ(CM_Get_DevNode_Status(&devStatus, &problem, machine_->NodeOf(physical)->handle, 0),
            CR_SUCCESS);
  EXPECT_NE(devStatus & hk::DN_HAS_PROBLEM, 0u);
  EXPECT_EQ(problem, hk::CM_PROB_FAILED_START);
  // A tower that never started cannot be opened.
  EXPECT_EQ(Open("\\\\.\\QIROTOWER1"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
}

TEST_F(Faults, TheStackBelowRefusesAStartAndACapabilitiesQuery) {
  auto start = faults().Once(fault::kStartDevice, static_cast<uint32_t>(STATUS_DEVICE_NOT_READY));
  NTSTATUS status = STATUS_SUCCESS;
  hk::DeviceObject* physical = PlugTower(&status);
  ASSERT_NE(physical, nullptr);
  EXPECT_EQ(status, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(start->Hits(), 1u);
  EXPECT_TRUE(machine_->UsbDeviceOf(physical)->Selections().empty()) << "nothing selected";
  EXPECT_EQ(machine_->NodeOf(physical)->problem, hk::CM_PROB_FAILED_START);

  hk::DeviceObject* other = PlugTower(&status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  auto caps = faults().Always(fault::kQueryCapabilities,
                              static_cast<uint32_t>(STATUS_NOT_SUPPORTED), InstanceOf(physical));
  uint32_t flags = 0;
  EXPECT_EQ(machine_->io().QueryCapabilities(physical, 1, &flags), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(flags, 0u);
  EXPECT_EQ(machine_->io().QueryCapabilities(other, 1, &flags), STATUS_SUCCESS);
  EXPECT_NE(flags, 0u);
  EXPECT_EQ(caps->Hits(), 1u);
}

TEST_F(Faults, IoRegisterDeviceInterfaceIsRefused) {
  auto entry = faults().Once(fault::kIoRegisterDeviceInterface,
                             static_cast<uint32_t>(STATUS_INSUFFICIENT_RESOURCES));
  NTSTATUS status = STATUS_SUCCESS;
  PlugTower(&status);
  EXPECT_FALSE(NtSuccess(status));
  EXPECT_EQ(entry->Hits(), 1u);
  EXPECT_TRUE(InterfacePaths(DIGCF_DEVICEINTERFACE).empty());
  ASSERT_NE(PlugTower(&status), nullptr);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(InterfacePaths(DIGCF_DEVICEINTERFACE | DIGCF_PRESENT).size(), 1u);
  EXPECT_EQ(faults().Hits(fault::kIoRegisterDeviceInterface), 1u);
}

// ---- the configuration manager

TEST_F(Faults, CmReenumerateDevNodeFailsWithAChosenCode) {
  auto entry = faults().Once(fault::kCmReenumerateDevNode, CR_OUT_OF_MEMORY, "HTREE\\ROOT\\0");
  DEVINST root = 0;
  ASSERT_EQ(CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL), CR_SUCCESS);
  EXPECT_EQ(CM_Reenumerate_DevNode(root, CM_REENUMERATE_SYNCHRONOUS), CR_OUT_OF_MEMORY);
  EXPECT_EQ(CM_Reenumerate_DevNode(root, CM_REENUMERATE_SYNCHRONOUS), CR_SUCCESS);
  faults().Once(fault::kCmReenumerateDevNode, CR_FAILURE);
  EXPECT_FALSE(QIROTowerReenumerateAll());
  EXPECT_EQ(entry->Hits(), 1u);
  EXPECT_EQ(faults().Hits(fault::kCmReenumerateDevNode), 2u);
}

TEST_F(Faults, CmLocateAndRegistryPropertyFailForTheirNode) {
  hk::DeviceObject* physical = PlugTower();
  ASSERT_NE(physical, nullptr);
  const std::string instance = InstanceOf(physical);
  auto root = faults().Once(fault::kCmLocateDevNodeA, CR_OUT_OF_MEMORY, "HTREE\\ROOT\\0");
  DEVINST node = 99;
  EXPECT_EQ(CM_Locate_DevNodeA(&node, nullptr, CM_LOCATE_DEVNODE_NORMAL), CR_OUT_OF_MEMORY);
  EXPECT_EQ(node, 0u);
  EXPECT_EQ(root->Hits(), 1u);
  auto tower = faults().Once(fault::kCmLocateDevNodeA, CR_FAILURE, instance);
  EXPECT_EQ(CM_Locate_DevNodeA(&node, nullptr, CM_LOCATE_DEVNODE_NORMAL), CR_SUCCESS);
  EXPECT_EQ(CM_Locate_DevNodeA(&node, instance.c_str(), CM_LOCATE_DEVNODE_NORMAL), CR_FAILURE);
  EXPECT_EQ(tower->Hits(), 1u);
  ASSERT_EQ(CM_Locate_DevNodeA(&node, instance.c_str(), CM_LOCATE_DEVNODE_NORMAL), CR_SUCCESS);

  auto property = faults().Once(fault::kCmGetDevNodeRegistryPropertyA, CR_NO_SUCH_VALUE, instance);
  char text[256] = "untouched";
  ULONG length = sizeof(text);
  EXPECT_EQ(CM_Get_DevNode_Registry_PropertyA(node, CM_DRP_DEVICEDESC, nullptr, text, &length, 0),
            CR_NO_SUCH_VALUE);
  EXPECT_STREQ(text, "untouched");
  length = sizeof(text);
  EXPECT_EQ(CM_Get_DevNode_Registry_PropertyA(node, CM_DRP_DEVICEDESC, nullptr, text, &length, 0),
            CR_SUCCESS);
  EXPECT_EQ(property->Hits(), 1u);
}

// ---- the USB topology

TEST_F(Faults, AMachineWithoutAHostController) {
  hk::Machine::Options options{stateDir_};
  options.hostControllers = 0;
  Start(options);
  EXPECT_EQ(RootHub(), nullptr);
  EXPECT_FALSE(QIROTowerIsUSBEnabled());
  QIROTOWER_HCINFO info;
  std::memset(&info, 0x5A, sizeof(info));
  EXPECT_FALSE(QIROTowerGetHostControllerInfo(0, &info));
  EXPECT_EQ(info.OpenError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_STREQ(info.DriverKeyName, "");
}

TEST_F(Faults, AHostControllerWithAChosenDriverKeyDeepInTheTree) {
  hk::HostControllerOptions options;
  options.driverKey = "{36FC9E60-C465-11CF-8056-444553540000}\\0042";
  options.depth = 4;
  hk::DevNode* rootHub = machine_->AddHostController(options);
  ASSERT_NE(rootHub, nullptr);
  // Root -> three bridges -> the controller -> its root hub.
  int depth = 0;
  {
    std::lock_guard<std::recursive_mutex> lock(machine_->tree().mutex());
    for (const hk::DevNode* node = rootHub->parent; node->parent != nullptr; node = node->parent)
      ++depth;
    EXPECT_EQ(rootHub->parent->kind, hk::NodeKind::HostController);
    EXPECT_EQ(rootHub->parent->parent->kind, hk::NodeKind::Bridge);
  }
  EXPECT_EQ(depth, 4);
  // Another controller after it, nearer the root: the walk climbs back.
  machine_->AddHostController();
  EXPECT_EQ(DriverKeyName(1), u"{36FC9E60-C465-11CF-8056-444553540000}\\0042");
  QIROTOWER_HCINFO info;
  ASSERT_TRUE(QIROTowerGetHostControllerInfo(1, &info));
  EXPECT_STREQ(info.DriverKeyName, "{36FC9E60-C465-11CF-8056-444553540000}\\0042");
  EXPECT_STREQ(info.HostControllerDesc, "Host USB Universal Host Controller");
  ASSERT_TRUE(QIROTowerGetHostControllerInfo(2, &info));
  EXPECT_STREQ(info.HostControllerDesc, "Host USB Universal Host Controller");
}

TEST_F(Faults, AHostControllerRefusesItsDriverKeyName) {
  auto first = faults().Once(fault::kGetHcdDriverKeyName,
                             static_cast<uint32_t>(STATUS_INVALID_DEVICE_REQUEST), "HCD0");
  DWORD error = 0;
  EXPECT_EQ(DriverKeyName(0, &error), u"");
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  EXPECT_EQ(first->Hits(), 1u);
  // Only the second call (the whole record) refused.
  auto second = faults().After(fault::kGetHcdDriverKeyName, 1,
                               static_cast<uint32_t>(STATUS_INSUFFICIENT_RESOURCES), "HCD0");
  uint32_t actual = 0;
  EXPECT_EQ(DriverKeyName(0, &error, &actual), u"");
  EXPECT_GT(actual, 6u);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES));
  EXPECT_EQ(second->Hits(), 1u);
  // Through the access library: the controller opens, its name stays empty.
  faults().Always(fault::kGetHcdDriverKeyName, static_cast<uint32_t>(STATUS_UNSUCCESSFUL));
  QIROTOWER_HCINFO info;
  EXPECT_TRUE(QIROTowerGetHostControllerInfo(0, &info));
  EXPECT_EQ(info.OpenError, 0u);
  EXPECT_STREQ(info.DriverKeyName, "");
  EXPECT_STREQ(info.HostControllerDesc, "");
  EXPECT_EQ(faults().Hits(fault::kGetHcdDriverKeyName), 3u);
}

TEST_F(Faults, DriverKeyNamesFromSixBytesUpTo64KiBAreServed) {
  // Record lengths: 4 bytes of length, the UTF-16 name and its terminator.
  const std::vector<uint32_t> records = {6, 8, 260, 4096, 0x10000};
  for (uint32_t record : records) {
    std::string key;
    for (uint32_t i = 0; i < (record - 4) / 2 - 1; ++i) key += static_cast<char>('A' + i % 26);
    hk::HostControllerOptions options;
    options.driverKey = key;
    machine_->AddHostController(options);
  }
  for (size_t i = 0; i < records.size(); ++i) {
    uint32_t actual = 0;
    DWORD error = 0;
    const std::u16string name = DriverKeyName(static_cast<uint32_t>(i + 1), &error, &actual);
    EXPECT_EQ(actual, records[i]);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(name.size(), (records[i] - 4) / 2 - 1);
    if (!name.empty()) {
      EXPECT_EQ(name.front(), u'A');
      EXPECT_EQ(name.back(), static_cast<char16_t>('A' + (name.size() - 1) % 26));
    }
  }
}

TEST_F(Faults, AHubWhoseNodeInformationFailsOrSaysItIsNoHub) {
  hk::DevNode* hub = machine_->AddHub(RootHub(), 1, false);
  ASSERT_NE(hub, nullptr);
  ASSERT_NE(PlugTowerAt(hub, 1), nullptr);
  QIROTOWER_DEVICEINFO info;
  ASSERT_TRUE(QIROTowerGetDeviceInfoByNumber(0, QIROTOWER_FIND_PRESENT, &info));
  EXPECT_EQ(info.HubBusPowered, 1u);

  std::string subject;
  {
    std::lock_guard<std::recursive_mutex> lock(machine_->tree().mutex());
    subject = hub->instanceId;
  }
  auto entry = faults().Always(fault::kGetNodeInformation,
                               static_cast<uint32_t>(STATUS_DEVICE_NOT_READY), subject);
  HANDLE handle = CreateFileA(HubPath(hub).c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  uint8_t node[76] = {};
  DWORD bytes = 0;
  EXPECT_FALSE(DeviceIoControl(handle, 0x00220408u, node, sizeof(node), node, sizeof(node), &bytes,
                               nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
  // The root hub answers as ever.
  HANDLE root = CreateFileA(HubPath(RootHub()).c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(root, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(
      DeviceIoControl(root, 0x00220408u, node, sizeof(node), node, sizeof(node), &bytes, nullptr));
  EXPECT_EQ(CloseHandle(root), TRUE);
  ASSERT_TRUE(QIROTowerGetDeviceInfoByNumber(0, QIROTOWER_FIND_PRESENT, &info));
  EXPECT_EQ(info.HubBusPowered, 0u) << "a hub that cannot be asked is not taken as bus-powered";
  EXPECT_EQ(entry->Hits(), 2u);
  faults().Clear(entry);

  // A hub that says it is no hub.
  ASSERT_TRUE(machine_->SetHubNodeType(hub, 1));
  EXPECT_TRUE(DeviceIoControl(handle, 0x00220408u, node, sizeof(node), node, sizeof(node), &bytes,
                              nullptr));
  uint32_t type = 0;
  std::memcpy(&type, node, 4);
  EXPECT_EQ(type, 1u);
  EXPECT_EQ(CloseHandle(handle), TRUE);
  SetLastError(0);
  ASSERT_TRUE(QIROTowerGetDeviceInfoByNumber(0, QIROTOWER_FIND_PRESENT, &info));
  EXPECT_EQ(info.HubBusPowered, 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_UNIT));
  EXPECT_FALSE(machine_->SetHubNodeType(machine_->tree().Root(), 1));
}

// ---- kernel32 and setupapi

TEST_F(Faults, GetVersionExAFailsWithTheChosenError) {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof(version);
  auto entry = faults().Once(fault::kGetVersionExA, ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(GetVersionExA(&version));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(version.dwMajorVersion, 0u);
  EXPECT_TRUE(GetVersionExA(&version));
  EXPECT_EQ(version.dwMajorVersion, 5u);
  EXPECT_EQ(entry->Hits(), 1u);
}

TEST_F(Faults, GetShortPathNameAFailsForAPathThatExists) {
  char shortPath[MAX_PATH] = {};
  ASSERT_GT(GetShortPathNameA("C:\\WINDOWS", shortPath, sizeof(shortPath)), 0u);
  auto entry = faults().Always(fault::kGetShortPathNameA, ERROR_ACCESS_DENIED, "WINDOWS");
  shortPath[0] = '\0';
  EXPECT_EQ(GetShortPathNameA("C:\\windows", shortPath, sizeof(shortPath)), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_STREQ(shortPath, "");
  EXPECT_GT(GetShortPathNameA("C:\\", shortPath, sizeof(shortPath)), 0u) << "another path";
  EXPECT_EQ(entry->Hits(), 1u);
}

TEST_F(Faults, MoveFileExAUntilRebootIsRefused) {
  const auto host = machine_->files().DriveRoot() / "Old.txt";
  std::ofstream(host) << "old";
  auto entry = faults().Once(fault::kMoveFileExA, ERROR_ACCESS_DENIED, "Old.txt");
  EXPECT_FALSE(MoveFileExA("C:\\Old.txt", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(
      machine_->registry().GetValue(hk::kPendingRenamesKey, hk::kPendingRenamesValue).has_value());
  EXPECT_EQ(entry->Hits(), 1u);
  EXPECT_TRUE(MoveFileExA("C:\\Old.txt", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_TRUE(
      machine_->registry().GetValue(hk::kPendingRenamesKey, hk::kPendingRenamesValue).has_value());
}

TEST_F(Faults, SetupDiRemoveDeviceFailsForAnEntryThatExists) {
  hk::DeviceObject* physical = PlugTower();
  ASSERT_NE(physical, nullptr);
  auto entry =
      faults().Once(fault::kSetupDiRemoveDevice, ERROR_ACCESS_DENIED, InstanceOf(physical));
  const GUID guid = TowerInterfaceClass();
  HDEVINFO set =
      SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  SP_DEVINFO_DATA element{};
  element.cbSize = sizeof(element);
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &element));
  EXPECT_FALSE(SetupDiRemoveDevice(set, &element));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  {
    std::lock_guard<std::recursive_mutex> lock(machine_->tree().mutex());
    EXPECT_TRUE(machine_->NodeOf(physical)->present);
    EXPECT_FALSE(machine_->NodeOf(physical)->removed);
  }
  EXPECT_EQ(entry->Hits(), 1u);
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(Faults, SetupDiSetsKeysAndPropertiesFailOnDemand) {
  hk::DeviceObject* physical = PlugTower();
  ASSERT_NE(physical, nullptr);
  const GUID guid = TowerInterfaceClass();
  auto classes = faults().Once(fault::kSetupDiGetClassDevsA, ERROR_NOT_ENOUGH_MEMORY,
                               "{DA12761A-0BCD-4BB5-BA81-4BBAA660AF4E}");
  EXPECT_EQ(SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(classes->Hits(), 1u);
  HDEVINFO set =
      SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  SP_DEVINFO_DATA element{};
  element.cbSize = sizeof(element);
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &element));

  auto key = faults().Once(fault::kSetupDiOpenDevRegKey, ERROR_ACCESS_DENIED, InstanceOf(physical));
  EXPECT_EQ(SetupDiOpenDevRegKey(set, &element, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ),
            static_cast<HKEY>(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  HKEY opened = SetupDiOpenDevRegKey(set, &element, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
  ASSERT_NE(opened, static_cast<HKEY>(INVALID_HANDLE_VALUE));
  EXPECT_EQ(RegCloseKey(opened), ERROR_SUCCESS);
  EXPECT_EQ(key->Hits(), 1u);

  // The second read of the hardware ids refused, as after a reallocation.
  auto ids = faults().After(fault::kSetupDiGetDeviceRegistryPropertyA, 1, ERROR_INVALID_DATA,
                            InstanceOf(physical));
  DWORD required = 0;
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &element, SPDRP_HARDWAREID, nullptr, nullptr,
                                                 0, &required));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_GT(required, 0u);
  std::vector<BYTE> buffer(required, 0xEE);
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &element, SPDRP_HARDWAREID, nullptr,
                                                 buffer.data(), required, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_EQ(buffer[0], 0xEE);
  EXPECT_EQ(ids->Hits(), 1u);
  EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &element, SPDRP_HARDWAREID, nullptr,
                                                buffer.data(), required, nullptr));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(Faults, SetupOpenInfFileARefusesAnInfThatExists) {
  std::ofstream(machine_->files().DriveRoot() / "Test.inf")
      << "[Version]\nSignature=\"$Windows NT$\"\n";
  auto entry = faults().Once(fault::kSetupOpenInfFileA, ERROR_ACCESS_DENIED, "Test.inf");
  EXPECT_EQ(SetupOpenInfFileA("C:\\Test.inf", nullptr, INF_STYLE_WIN4, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  HINF inf = SetupOpenInfFileA("C:\\Test.inf", nullptr, INF_STYLE_WIN4, nullptr);
  ASSERT_NE(inf, INVALID_HANDLE_VALUE);
  SetupCloseInfFile(inf);
  EXPECT_EQ(entry->Hits(), 1u);
}

TEST_F(Faults, TheWindowsDirectoryAFileDeletionAndARenameAreRefused) {
  char windows[MAX_PATH] = {};
  auto directory = faults().Once(fault::kGetWindowsDirectoryA, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(GetWindowsDirectoryA(windows, sizeof(windows)), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_STREQ(windows, "");
  EXPECT_GT(GetWindowsDirectoryA(windows, sizeof(windows)), 0u);
  EXPECT_EQ(directory->Hits(), 1u);

  const auto host = machine_->files().DriveRoot() / "Old.txt";
  std::ofstream(host) << "old";
  auto deletion = faults().Once(fault::kDeleteFileA, ERROR_SHARING_VIOLATION, "Old.txt");
  EXPECT_FALSE(DeleteFileA("C:\\Old.txt"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(std::filesystem::exists(host));
  EXPECT_EQ(deletion->Hits(), 1u);

  auto rename = faults().Once(fault::kMoveFileA, ERROR_ACCESS_DENIED, "Old.txt");
  EXPECT_FALSE(MoveFileA("C:\\Old.txt", "C:\\New.txt"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(std::filesystem::exists(host));
  EXPECT_EQ(rename->Hits(), 1u);
  // MoveFileExA's site covers its rename at once too.
  auto now = faults().Once(fault::kMoveFileExA, ERROR_ACCESS_DENIED, "Old.txt");
  EXPECT_FALSE(MoveFileExA("C:\\Old.txt", "C:\\New.txt", 0));
  EXPECT_TRUE(std::filesystem::exists(host));
  EXPECT_EQ(now->Hits(), 1u);
  EXPECT_TRUE(MoveFileA("C:\\Old.txt", "C:\\New.txt"));
  EXPECT_TRUE(DeleteFileA("C:\\New.txt"));
}

TEST_F(Faults, LoadStringAMissesOneStringOfOneModule) {
  HMODULE tavrix = GetModuleHandleA("Tavrix.dll");
  ASSERT_NE(tavrix, nullptr);
  char text[128] = "x";
  ASSERT_GT(LoadStringA(tavrix, 4200, text, sizeof(text)), 0);
  auto entry =
      faults().Always(fault::kLoadStringA, ERROR_RESOURCE_NAME_NOT_FOUND, "Tavrix.dll\\4200");
  SetLastError(0);
  EXPECT_EQ(LoadStringA(tavrix, 4200, text, sizeof(text)), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_STREQ(text, "");
  EXPECT_GT(LoadStringA(tavrix, 4096, text, sizeof(text)), 0) << "another string";
  EXPECT_EQ(entry->Hits(), 1u);
}

DWORD WINAPI ReturnSeven(LPVOID) { return 7; }

TEST_F(Faults, CreateThreadFailsForTheModuleNamed) {
  // The test program's own threads; Celvane's would be "Celvane.dll".
  auto other = faults().Always(fault::kCreateThread, ERROR_NOT_ENOUGH_MEMORY, "Celvane.dll");
  DWORD id = 1;
  HANDLE thread = CreateThread(nullptr, 0, ReturnSeven, nullptr, 0, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(thread));
  EXPECT_EQ(other->Hits(), 0u);

  auto mine = faults().Once(fault::kCreateThread, ERROR_NOT_ENOUGH_MEMORY);
  id = 1;
  EXPECT_EQ(CreateThread(nullptr, 0, ReturnSeven, nullptr, 0, &id), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(mine->Hits(), 1u);
}

TEST_F(Faults, ThreadMessagesAndEventsFailOnDemand) {
  MSG message{};
  PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);  // this thread's queue
  auto post =
      faults().Once(fault::kPostThreadMessageA, ERROR_NOT_ENOUGH_QUOTA, std::to_string(WM_APP + 1));
  EXPECT_FALSE(PostThreadMessageA(GetCurrentThreadId(), WM_APP + 1, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA));
  EXPECT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_APP + 2, 0, 0)) << "another message";
  EXPECT_TRUE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(message.message, static_cast<UINT>(WM_APP + 2));
  EXPECT_FALSE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(post->Hits(), 1u);

  // Events: only the module named fails; the test program is not Celvane.
  auto other = faults().Always(fault::kCreateEventA, ERROR_NOT_ENOUGH_MEMORY, "Celvane.dll");
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(other->Hits(), 0u);
  auto create = faults().Once(fault::kCreateEventA, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(create->Hits(), 1u);

  auto set = faults().Once(fault::kSetEvent, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(SetEvent(event));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(SetEvent(event));
  auto reset = faults().Once(fault::kResetEvent, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(ResetEvent(event));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_OBJECT_0)) << "still set";
  EXPECT_TRUE(ResetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(set->Hits(), 1u);
  EXPECT_EQ(reset->Hits(), 1u);
  EXPECT_TRUE(CloseHandle(event));
}

TEST_F(Faults, ADeliverablesOwnAllocationsFail) {
  ASSERT_NE(PlugTower(), nullptr);
  // Tavrix's search context (new), the host controller's record (calloc)
  // and its name's conversion (malloc); the test program's own allocations
  // are not the module's.
  auto context = faults().Once(fault::kNew, 0, "Tavrix.dll");
  SetLastError(0);
  EXPECT_EQ(QIROTowerFindFirst(QIROTOWER_FIND_PRESENT), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(context->Hits(), 1u);
  std::vector<char> mine(100);  // not Tavrix's
  EXPECT_EQ(faults().Hits(fault::kNew), 1u);

  auto record = faults().Once(fault::kCalloc, 0, "Tavrix.dll");
  QIROTOWER_HCINFO info;
  SetLastError(0);
  EXPECT_TRUE(QIROTowerGetHostControllerInfo(0, &info));
  EXPECT_STREQ(info.DriverKeyName, "");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(record->Hits(), 1u);

  auto conversion = faults().Once(fault::kMalloc, 0, "Tavrix.dll");
  SetLastError(0);
  EXPECT_TRUE(QIROTowerGetHostControllerInfo(0, &info));
  EXPECT_STREQ(info.DriverKeyName, "");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(conversion->Hits(), 1u);

  EXPECT_TRUE(QIROTowerGetHostControllerInfo(0, &info));
  EXPECT_STRNE(info.DriverKeyName, "");
}

// ---- the old knobs, now entries of the facility

TEST_F(Faults, FailNextAttachIsOneFailureOfTheFacility) {
  machine_->kernel().FailNextAttach();
  NTSTATUS status = STATUS_SUCCESS;
  hk::DeviceObject* physical = PlugTower(&status);
  ASSERT_NE(physical, nullptr);
  EXPECT_FALSE(NtSuccess(status));
  EXPECT_EQ(faults().Hits(fault::kIoAttachDeviceToDeviceStack), 1u);
  EXPECT_EQ(machine_->NodeOf(physical)->problem, hk::CM_PROB_FAILED_ADD);
}

TEST_F(Faults, PoolAllocationsOfOneTagFail) {
  ASSERT_NE(PlugTower(), nullptr);
  const uint64_t before = machine_->kernel().InjectedFailures();
  auto entry = faults().Always(fault::kExAllocatePoolWithTag, 0, hk::TagName(tower::kPoolTag));
  hk::FileObject* file = nullptr;
  EXPECT_FALSE(NtSuccess(OpenUnit(1, &file)));
  EXPECT_GT(entry->Hits(), 0u);
  EXPECT_EQ(machine_->kernel().InjectedFailures() - before, entry->Hits());
  faults().Clear(entry);
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  machine_->io().Close(file);
}

}  // namespace
}  // namespace towertest
