// The Win32 subset as an application uses it: the last error, status
// translation, handles on devices, device-interface sets and device nodes.
#include <cstring>
#include <thread>

#include "app_fixture.h"
#include "tower/values.h"

namespace towertest {
namespace {

TEST(Win32, EveryStatusATowerRequestEndsWithTranslatesAsWindowsDoes) {
  // The values Windows documents for RtlNtStatusToDosError.
  const struct {
    NTSTATUS status;
    ULONG error;
  } expected[] = {
      {STATUS_SUCCESS, 0},
      {STATUS_TIMEOUT, 1460},                   // ERROR_TIMEOUT
      {STATUS_PENDING, 997},                    // ERROR_IO_PENDING
      {STATUS_BUFFER_OVERFLOW, 234},            // ERROR_MORE_DATA
      {STATUS_DEVICE_BUSY, 170},                // ERROR_BUSY
      {STATUS_UNSUCCESSFUL, 31},                // ERROR_GEN_FAILURE
      {STATUS_INVALID_PARAMETER, 87},           // ERROR_INVALID_PARAMETER
      {STATUS_NO_SUCH_DEVICE, 2},               // ERROR_FILE_NOT_FOUND
      {STATUS_INVALID_DEVICE_REQUEST, 1},       // ERROR_INVALID_FUNCTION
      {STATUS_MORE_PROCESSING_REQUIRED, 234},   // ERROR_MORE_DATA
      {STATUS_NO_MEMORY, 8},                    // ERROR_NOT_ENOUGH_MEMORY
      {STATUS_ACCESS_DENIED, 5},                // ERROR_ACCESS_DENIED
      {STATUS_BUFFER_TOO_SMALL, 122},           // ERROR_INSUFFICIENT_BUFFER
      {STATUS_OBJECT_NAME_NOT_FOUND, 2},        // ERROR_FILE_NOT_FOUND
      {STATUS_OBJECT_NAME_COLLISION, 183},      // ERROR_ALREADY_EXISTS
      {STATUS_SHARING_VIOLATION, 32},           // ERROR_SHARING_VIOLATION
      {STATUS_DELETE_PENDING, 5},               // ERROR_ACCESS_DENIED
      {STATUS_INSUFFICIENT_RESOURCES, 1450},    // ERROR_NO_SYSTEM_RESOURCES
      {STATUS_DEVICE_DATA_ERROR, 23},           // ERROR_CRC
      {STATUS_DEVICE_NOT_CONNECTED, 1167},      // ERROR_DEVICE_NOT_CONNECTED
      {STATUS_DEVICE_NOT_READY, 21},            // ERROR_NOT_READY
      {STATUS_IO_TIMEOUT, 121},                 // ERROR_SEM_TIMEOUT
      {STATUS_NOT_SUPPORTED, 50},               // ERROR_NOT_SUPPORTED
      {STATUS_CANCELLED, 995},                  // ERROR_OPERATION_ABORTED
      {static_cast<NTSTATUS>(0xC0000008u), 6},  // STATUS_INVALID_HANDLE
  };
  for (const auto& e : expected)
    EXPECT_EQ(RtlNtStatusToDosError(e.status), e.error)
        << std::hex << static_cast<uint32_t>(e.status);
  // A status without a translation gives ERROR_MR_MID_NOT_FOUND.
  EXPECT_EQ(RtlNtStatusToDosError(static_cast<NTSTATUS>(0xC0FFEE00u)), 317u);
}

TEST(Win32, TheLastErrorBelongsToEachThread) {
  SetLastError(1234);
  DWORD other = 0;
  std::thread([&] {
    SetLastError(5);
    other = GetLastError();
  }).join();
  EXPECT_EQ(other, 5u);
  EXPECT_EQ(GetLastError(), 1234u);
}

TEST(Win32, LstrcpynCutsAndAlwaysTerminates) {
  char buffer[8];
  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(lstrcpynA(buffer, "abcdef", 4), buffer);
  EXPECT_STREQ(buffer, "abc");
  EXPECT_EQ(buffer[4], 'x');
  lstrcpynA(buffer, "ab", 8);
  EXPECT_STREQ(buffer, "ab");
  std::memset(buffer, 'x', sizeof(buffer));
  lstrcpynA(buffer, "ab", 0);  // nothing written at all
  EXPECT_EQ(buffer[0], 'x');
  lstrcpynA(buffer, "ab", 1);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(lstrcpynA(nullptr, "ab", 3), nullptr);
}

class DeviceFiles : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    physical_ = PlugTower();
    ASSERT_NE(physical_, nullptr);
  }
  hk::DeviceObject* physical_ = nullptr;
};

TEST_F(DeviceFiles, OpenReadWriteControlAndClose) {
  HANDLE tower = Open("\\\\.\\QIROTOWER1");
  ASSERT_NE(tower, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);

  // The tower's device is exclusive: a second open is refused as Windows does.
  EXPECT_EQ(Open("\\\\.\\qirotower1"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 5u);  // ERROR_ACCESS_DENIED
  EXPECT_EQ(Open("\\\\.\\QIROTOWER9"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 2u);  // ERROR_FILE_NOT_FOUND
  EXPECT_EQ(Open("C:\\tower.txt"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 2u);  // ERROR_FILE_NOT_FOUND: a file, not there
  EXPECT_EQ(Open("D:\\tower.txt"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 3u);  // ERROR_PATH_NOT_FOUND: the machine has no D: drive
  EXPECT_EQ(CreateFileA("\\\\.\\QIROTOWER1", GENERIC_READ, 0, nullptr, 0, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 87u);

  // The loopback tower hears what it sends; the byte counts come back.
  DWORD written = 99;
  ASSERT_TRUE(WriteFile(tower, "ping", 4, &written, nullptr));
  EXPECT_EQ(written, 4u);
  char echo[8] = {};
  DWORD read = 99;
  ASSERT_TRUE(ReadFile(tower, echo, 4, &read, nullptr));
  EXPECT_EQ(read, 4u);
  EXPECT_STREQ(echo, "ping");

  // Buffered control: the output and its byte count come back.
  QIROTOWER_STATEREC state;
  std::memset(&state, 0xEE, sizeof(state));
  DWORD returned = 0;
  ASSERT_TRUE(DeviceIoControl(tower, IOCTL_TOWER_GET_STATE, nullptr, 0, &state, sizeof(state),
                              &returned, nullptr));
  EXPECT_EQ(returned, 8u);
  EXPECT_EQ(state.State, TOWER_STATE_WORKING);
  // A refused request: the output is untouched and the status translated.
  QIROTOWER_CTLREC rec;
  std::memset(&rec, 0xEE, sizeof(rec));
  returned = 99;
  EXPECT_FALSE(DeviceIoControl(tower, TOWER_CTL_CODE(0x809), nullptr, 0, &rec, sizeof(rec),
                               &returned, nullptr));
  EXPECT_EQ(GetLastError(), 87u);  // STATUS_INVALID_PARAMETER
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(rec.Size, 0xEEEEEEEEu);
  // A handle opened without FILE_FLAG_OVERLAPPED runs a request given an
  // OVERLAPPED at once all the same; the OVERLAPPED receives the results.
  OVERLAPPED overlapped{};
  returned = 0;
  EXPECT_TRUE(DeviceIoControl(tower, IOCTL_TOWER_GET_STATE, nullptr, 0, &state, sizeof(state),
                              &returned, &overlapped));
  EXPECT_EQ(returned, 8u);
  EXPECT_EQ(overlapped.Internal, 0u);  // STATUS_SUCCESS
  EXPECT_EQ(overlapped.InternalHigh, 8u);

  // Closed, the handle names nothing; the device opens again.
  Close(tower);
  EXPECT_FALSE(WriteFile(tower, "x", 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), 6u);
  EXPECT_FALSE(DeviceIoControl(tower, IOCTL_TOWER_GET_STATE, nullptr, 0, &state, sizeof(state),
                               &returned, nullptr));
  EXPECT_EQ(GetLastError(), 6u);
  EXPECT_FALSE(CloseHandle(tower));
  EXPECT_EQ(GetLastError(), 6u);
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_FALSE(ReadFile(nullptr, echo, 1, &read, nullptr));
  EXPECT_EQ(GetLastError(), 6u);
  EXPECT_NE(Open("\\\\.\\QIROTOWER1"), INVALID_HANDLE_VALUE);
}

TEST_F(DeviceFiles, AnUnpluggedTowerFailsItsHandleAndCannotBeOpened) {
  const std::vector<std::string> paths = InterfacePaths(DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
  ASSERT_EQ(paths.size(), 1u);
  HANDLE tower = Open(paths[0]);
  ASSERT_NE(tower, INVALID_HANDLE_VALUE);
  machine_->Unplug(physical_);
  machine_->SettlePnp();
  QIROTOWER_CTLREC rec{};
  DWORD returned = 0;
  EXPECT_FALSE(DeviceIoControl(tower, IOCTL_TOWER_GET_RANGE, nullptr, 0, &rec, sizeof(rec),
                               &returned, nullptr));
  // The driver refuses requests after the surprise removal with
  // STATUS_DELETE_PENDING, which Windows reports as ERROR_ACCESS_DENIED.
  EXPECT_EQ(GetLastError(), 5u);
  Close(tower);
  EXPECT_EQ(Open(paths[0]), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 2u);
  EXPECT_EQ(Open("\\\\.\\QIROTOWER1"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 2u);
}

class InterfaceSets : public AppTest {
 protected:
  HDEVINFO Build(DWORD flags) {
    const GUID guid = TowerInterfaceClass();
    HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, flags);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    return set;
  }
  static SP_DEVINFO_DATA Element() {
    SP_DEVINFO_DATA e{};
    e.cbSize = sizeof(e);
    return e;
  }
  static SP_DEVICE_INTERFACE_DATA Interface() {
    SP_DEVICE_INTERFACE_DATA i{};
    i.cbSize = sizeof(i);
    return i;
  }
};

TEST_F(InterfaceSets, PathsLookLikeWindowsAndTheOrderIsStable) {
  EXPECT_TRUE(InterfacePaths(DIGCF_DEVICEINTERFACE | DIGCF_PRESENT).empty());
  for (int i = 0; i < 3; ++i) ASSERT_NE(PlugTower(), nullptr);
  const auto paths = InterfacePaths(DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
  ASSERT_EQ(paths.size(), 3u);
  EXPECT_EQ(InterfacePaths(DIGCF_DEVICEINTERFACE | DIGCF_PRESENT), paths);
  for (const auto& path : paths) {
    EXPECT_EQ(path.rfind("\\\\?\\usb#vid_0f5c&pid_0001#", 0), 0u) << path;
    const std::string tail = "#{da12761a-0bcd-4bb5-ba81-4bbaa660af4e}";
    EXPECT_EQ(path.substr(path.size() - tail.size()), tail) << path;
    HANDLE tower = Open(path);
    EXPECT_NE(tower, INVALID_HANDLE_VALUE) << path;
  }
  EXPECT_NE(paths[0], paths[1]);
  EXPECT_NE(paths[1], paths[2]);

  // Elements: one per tower, each with a device node; interfaces are active.
  HDEVINFO set = Build(DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
  SP_DEVINFO_DATA e = Element();
  for (DWORD i = 0; i < 3; ++i) {
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, i, &e));
    EXPECT_NE(e.DevInst, 0u);
    SP_DEVICE_INTERFACE_DATA d = Interface();
    const GUID guid = TowerInterfaceClass();
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, &e, &guid, 0, &d));
    EXPECT_EQ(d.Flags & SPINT_ACTIVE, SPINT_ACTIVE);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, &e, &guid, 1, &d));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  }
  EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 3, &e));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  // Deleting an element moves the next one up.
  SP_DEVINFO_DATA first = Element();
  SP_DEVINFO_DATA second = Element();
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &first));
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 1, &second));
  ASSERT_TRUE(SetupDiDeleteDeviceInfo(set, &first));
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &e));
  EXPECT_EQ(e.DevInst, second.DevInst);
  EXPECT_FALSE(SetupDiDeleteDeviceInfo(set, &first));
  EXPECT_EQ(GetLastError(), 87u);
  // A set is not a file handle.
  EXPECT_FALSE(CloseHandle(set));
  EXPECT_EQ(GetLastError(), 6u);
  ASSERT_TRUE(SetupDiDestroyDeviceInfoList(set));
  EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &e));
  EXPECT_EQ(GetLastError(), 6u);
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(InterfaceSets, DetailAndRecordSizesFollowWindowsRules) {
  ASSERT_NE(PlugTower(), nullptr);
  const std::string path = InterfacePaths(DIGCF_DEVICEINTERFACE | DIGCF_PRESENT).at(0);
  HDEVINFO set = Build(DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
  const GUID guid = TowerInterfaceClass();
  SP_DEVICE_INTERFACE_DATA d = Interface();
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &d));

  // Asking for the size: the fixed part (4 bytes) plus the path and its terminator.
  DWORD required = 0;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &d, nullptr, 0, &required, nullptr));
  EXPECT_EQ(GetLastError(), 122u);
  EXPECT_EQ(required, 4 + path.size() + 1);

  std::vector<char> buffer(required);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
  detail->cbSize = 8;  // what a 64-bit program would write
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &d, detail, required, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), 1784u);  // ERROR_INVALID_USER_BUFFER
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  EXPECT_EQ(detail->cbSize, 5u);
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &d, detail, 4, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), 1784u);
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &d, nullptr, 8, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), 1784u);
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &d, detail, required - 1, &required, nullptr));
  EXPECT_EQ(GetLastError(), 122u);
  SP_DEVINFO_DATA e = Element();
  ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &d, detail, required, nullptr, &e));
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(std::string(detail->DevicePath), path);
  EXPECT_NE(e.DevInst, 0u);

  // Records whose size field is wrong are refused; so is a missing class.
  SP_DEVINFO_DATA wrong = Element();
  wrong.cbSize = 32;
  EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &wrong));
  EXPECT_EQ(GetLastError(), 1784u);
  SP_DEVICE_INTERFACE_DATA wrongInterface = Interface();
  wrongInterface.cbSize = 32;
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &guid, 0, &wrongInterface));
  EXPECT_EQ(GetLastError(), 1784u);
  EXPECT_EQ(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_DEVICEINTERFACE),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 87u);
  EXPECT_EQ(SetupDiGetClassDevsA(&guid, nullptr, nullptr, 0x100), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
  SetupDiDestroyDeviceInfoList(set);
}

TEST_F(InterfaceSets, AnAbsentTowerStaysInstalledWithoutALiveNode) {
  hk::DeviceObject* gone = PlugTower();
  ASSERT_NE(PlugTower(), nullptr);
  const auto before = InterfacePaths(DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
  ASSERT_EQ(before.size(), 2u);
  // A set is a snapshot: it keeps the tower unplugged after it was built.
  HDEVINFO snapshot = Build(DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
  machine_->Unplug(gone);
  machine_->SettlePnp();

  EXPECT_EQ(InterfacePaths(DIGCF_DEVICEINTERFACE | DIGCF_PRESENT),
            std::vector<std::string>{before[1]});
  EXPECT_EQ(InterfacePaths(DIGCF_DEVICEINTERFACE), before);

  HDEVINFO all = Build(DIGCF_DEVICEINTERFACE);
  SP_DEVINFO_DATA e = Element();
  ULONG status = 0;
  ULONG problem = 0;
  ASSERT_TRUE(SetupDiEnumDeviceInfo(all, 0, &e));
  EXPECT_EQ(CM_Get_DevNode_Status(&status, &problem, e.DevInst, 0), CR_NO_SUCH_DEVINST);
  SP_DEVICE_INTERFACE_DATA d = Interface();
  const GUID guid = TowerInterfaceClass();
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(all, &e, &guid, 0, &d));
  EXPECT_EQ(d.Flags & SPINT_ACTIVE, 0u);
  ASSERT_TRUE(SetupDiEnumDeviceInfo(all, 1, &e));
  ASSERT_EQ(CM_Get_DevNode_Status(&status, &problem, e.DevInst, 0), CR_SUCCESS);
  EXPECT_EQ(status & hk::DN_STARTED, hk::DN_STARTED);
  EXPECT_EQ(problem, 0u);
  EXPECT_EQ(CM_Get_DevNode_Status(nullptr, &problem, e.DevInst, 0), CR_INVALID_POINTER);
  EXPECT_EQ(CM_Get_DevNode_Status(&status, &problem, e.DevInst, 1), CR_INVALID_FLAG);
  EXPECT_EQ(CM_Get_DevNode_Status(&status, &problem, 0, 0), CR_INVALID_DEVNODE);
  SetupDiDestroyDeviceInfoList(all);

  ASSERT_TRUE(SetupDiEnumDeviceInfo(snapshot, 1, &e));
  SetupDiDestroyDeviceInfoList(snapshot);
}

}  // namespace
}  // namespace towertest
