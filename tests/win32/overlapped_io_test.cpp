// Overlapped I/O on tower handles, and requests side by side: a handle
// opened with FILE_FLAG_OVERLAPPED lets a write pass a read blocked in the
// driver, and so does a synchronous handle on the legacy family (on the NT
// family a synchronous handle takes one request at a time: serial_io_test).
// Requests the driver holds while a stop query is pending come back pending,
// and complete, are cancelled or fail at the close as on Windows.
#include <chrono>
#include <thread>

#include "Tavrix.h"
#include "app_fixture.h"

namespace towertest {
namespace {

using namespace std::chrono;

constexpr uint8_t kQueryStop = 0x05;
constexpr uint8_t kCancelStop = 0x06;

class OverlappedIo : public AppTest {
 protected:
  // Opens a tower for overlapped I/O; closed at the end of the test unless
  // Close took it.
  HANDLE OpenOverlapped(const std::string& path) {
    HANDLE handle =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (handle != INVALID_HANDLE_VALUE) handles_.push_back(handle);
    return handle;
  }
  // A tower whose reads return at once (no first-byte wait), with a stop
  // query pending: the driver holds every data and control request until
  // the stop is cancelled. The query goes before the open, which it would
  // refuse with a handle open.
  hk::DeviceObject* PlugTowerWithAStopPending() {
    EXPECT_TRUE(machine_->registry().CreateKey(kParameters));
    EXPECT_TRUE(machine_->registry().SetDword(kParameters, "Timeout_Read_1st", 0));
    hk::DeviceObject* physical = PlugTower();
    EXPECT_NE(physical, nullptr);
    if (physical != nullptr) {
      EXPECT_EQ(machine_->io().SendPnp(physical, kQueryStop), 0);
    }
    return physical;
  }
  void CancelStop(hk::DeviceObject* physical) {
    EXPECT_EQ(machine_->io().SendPnp(physical, kCancelStop), 0);
  }
  // Keeps a byte buffer and an OVERLAPPED apart from the next request's.
  struct Slot {
    OVERLAPPED overlapped{};
    char buffer[8] = {};
  };
  static BOOL StartRead(HANDLE tower, Slot* slot) {
    DWORD read = 99;
    const BOOL ok = ReadFile(tower, slot->buffer, 4, &read, &slot->overlapped);
    return ok;
  }
};

// A read that waits in the driver for the first byte, and a write and a
// device control on the same overlapped handle meanwhile.
void ExpectAWritePassesABlockedRead(HANDLE tower, bool overlapped) {
  ASSERT_TRUE(QIROTowerSetTimeouts(tower, 800, 50, 200));
  BOOL readOk = FALSE;
  DWORD readError = 0;
  std::thread reader([&] {
    OVERLAPPED o{};
    char byte = 0;
    DWORD read = 0;
    // The driver waits in the caller's thread: done when the call returns.
    readOk = ReadFile(tower, &byte, 1, &read, overlapped ? &o : nullptr);
    readError = GetLastError();
  });
  // Long enough for the read to be in the driver even on a slow build.
  std::this_thread::sleep_for(milliseconds(200));
  const auto start = steady_clock::now();
  OVERLAPPED o{};
  const char data[2] = {'h', 'i'};
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(tower, data, sizeof(data), &written, overlapped ? &o : nullptr));
  EXPECT_EQ(written, 2u);
  WORD state = 0;
  EXPECT_TRUE(QIROTowerGetState(tower, &state));
  EXPECT_EQ(state, TOWER_STATE_WORKING);
  // Neither waited for the read, which is still blocked for another 400 ms.
  EXPECT_LT(steady_clock::now() - start, milliseconds(400));
  reader.join();
  EXPECT_TRUE(readOk) << readError;
}

TEST_F(OverlappedIo, AWriteAndAControlPassABlockedReadOnAnOverlappedHandle) {
  ASSERT_NE(PlugTower(), nullptr);
  HANDLE tower = OpenOverlapped("\\\\.\\QIROTOWER1");
  ASSERT_NE(tower, INVALID_HANDLE_VALUE);
  Tower().SetFarSide(sim::FarSide::Silence);
  ExpectAWritePassesABlockedRead(tower, true);
}

TEST_F(OverlappedIo, OnWindows98ASynchronousHandleLetsAWritePassABlockedRead) {
  InstallAfresh(hk::WindowsVersion::Win98SE);
  ASSERT_NE(PlugTower(), nullptr);
  HANDLE tower = Open("\\\\.\\QIROTOWER1");
  ASSERT_NE(tower, INVALID_HANDLE_VALUE);
  Tower().SetFarSide(sim::FarSide::Silence);
  ExpectAWritePassesABlockedRead(tower, false);
}

TEST_F(OverlappedIo, ARequestHeldDuringAStopQueryIsPendingUntilTheStopIsCancelled) {
  hk::DeviceObject* physical = PlugTowerWithAStopPending();
  ASSERT_NE(physical, nullptr);
  HANDLE tower = OpenOverlapped("\\\\.\\QIROTOWER1");
  ASSERT_NE(tower, INVALID_HANDLE_VALUE);

  Slot read;
  read.overlapped.hEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  ASSERT_NE(read.overlapped.hEvent, nullptr);
  EXPECT_FALSE(StartRead(tower, &read));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  // The call reset the event; nothing has completed.
  EXPECT_EQ(WaitForSingleObject(read.overlapped.hEvent, 50), WAIT_TIMEOUT);
  DWORD bytes = 99;
  EXPECT_FALSE(GetOverlappedResult(tower, &read.overlapped, &bytes, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

  // A held device control: its output reaches the caller's buffer only when
  // it completes.
  QIROTOWER_STATEREC state{};
  OVERLAPPED control{};
  control.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD returned = 99;
  EXPECT_FALSE(DeviceIoControl(tower, IOCTL_TOWER_GET_STATE, nullptr, 0, &state, sizeof(state),
                               &returned, &control));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(state.State, 0);

  CancelStop(physical);  // releases both, which complete in this thread
  EXPECT_EQ(WaitForSingleObject(read.overlapped.hEvent, 5000), WAIT_OBJECT_0);
  EXPECT_TRUE(GetOverlappedResult(tower, &read.overlapped, &bytes, FALSE));
  EXPECT_EQ(bytes, 0u);  // nothing arrived, and the read does not wait
  EXPECT_EQ(WaitForSingleObject(control.hEvent, 5000), WAIT_OBJECT_0);
  EXPECT_TRUE(GetOverlappedResult(tower, &control, &returned, FALSE));
  EXPECT_EQ(returned, sizeof(state));
  EXPECT_EQ(state.State, TOWER_STATE_WORKING);

  // Served at once now: done when the call returns, the event set as well.
  EXPECT_TRUE(StartRead(tower, &read));
  EXPECT_EQ(WaitForSingleObject(read.overlapped.hEvent, 0), WAIT_OBJECT_0);
  CloseHandle(read.overlapped.hEvent);
  CloseHandle(control.hEvent);
}

TEST_F(OverlappedIo, GetOverlappedResultWaitsAndTheHandleIsSignalledWithoutAnEvent) {
  hk::DeviceObject* physical = PlugTowerWithAStopPending();
  ASSERT_NE(physical, nullptr);
  HANDLE tower = OpenOverlapped("\\\\.\\QIROTOWER1");
  ASSERT_NE(tower, INVALID_HANDLE_VALUE);

  Slot read;  // no event: the handle itself tells of the completion
  EXPECT_FALSE(StartRead(tower, &read));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_EQ(WaitForSingleObject(tower, 50), WAIT_TIMEOUT);
  std::thread releaser([&] {
    std::this_thread::sleep_for(milliseconds(200));
    CancelStop(physical);
  });
  const auto start = steady_clock::now();
  DWORD bytes = 99;
  EXPECT_TRUE(GetOverlappedResult(tower, &read.overlapped, &bytes, TRUE));
  EXPECT_GE(steady_clock::now() - start, milliseconds(150));
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(WaitForSingleObject(tower, 5000), WAIT_OBJECT_0);
  releaser.join();
  // Asked again, the OVERLAPPED still holds the result.
  EXPECT_TRUE(GetOverlappedResult(tower, &read.overlapped, &bytes, FALSE));
  // One that no request ever took is never complete.
  OVERLAPPED stray{};
  stray.Internal = 0x103;
  EXPECT_FALSE(GetOverlappedResult(tower, &stray, &bytes, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
}

TEST_F(OverlappedIo, CancelIoAndCancelIoExReachTheDriversCancelRoutine) {
  hk::DeviceObject* physical = PlugTowerWithAStopPending();
  ASSERT_NE(physical, nullptr);
  HANDLE tower = OpenOverlapped("\\\\.\\QIROTOWER1");
  ASSERT_NE(tower, INVALID_HANDLE_VALUE);
  DWORD bytes = 99;

  // CancelIo: the calling thread's requests, not another thread's.
  Slot mine;
  EXPECT_FALSE(StartRead(tower, &mine));
  std::thread other([&] { EXPECT_TRUE(CancelIo(tower)); });
  other.join();
  EXPECT_FALSE(GetOverlappedResult(tower, &mine.overlapped, &bytes, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
  EXPECT_TRUE(CancelIo(tower));
  EXPECT_FALSE(GetOverlappedResult(tower, &mine.overlapped, &bytes, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(bytes, 0u);

  // CancelIoEx with an OVERLAPPED: that request only, from any thread.
  Slot write;
  Slot read;
  EXPECT_FALSE(WriteFile(tower, "ab", 2, nullptr, &write.overlapped));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_FALSE(StartRead(tower, &read));
  std::thread canceller([&] { EXPECT_TRUE(CancelIoEx(tower, &write.overlapped)); });
  canceller.join();
  EXPECT_FALSE(GetOverlappedResult(tower, &write.overlapped, &bytes, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_FALSE(GetOverlappedResult(tower, &read.overlapped, &bytes, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
  // Nothing pending with it any more.
  EXPECT_FALSE(CancelIoEx(tower, &write.overlapped));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
  // Without: everything on the handle.
  EXPECT_TRUE(CancelIoEx(tower, nullptr));
  EXPECT_FALSE(GetOverlappedResult(tower, &read.overlapped, &bytes, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_FALSE(CancelIoEx(tower, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));

  // The device serves requests again once the stop is cancelled.
  CancelStop(physical);
  EXPECT_TRUE(StartRead(tower, &read));
  EXPECT_TRUE(GetOverlappedResult(tower, &read.overlapped, &bytes, FALSE));
}

TEST_F(OverlappedIo, ClosingAHandleCompletesItsHeldRequestsCancelled) {
  hk::DeviceObject* physical = PlugTowerWithAStopPending();
  ASSERT_NE(physical, nullptr);
  HANDLE tower = OpenOverlapped("\\\\.\\QIROTOWER1");
  ASSERT_NE(tower, INVALID_HANDLE_VALUE);
  Slot read;
  read.overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_FALSE(StartRead(tower, &read));
  Slot forgotten;  // never asked about: freed all the same
  EXPECT_FALSE(StartRead(tower, &forgotten));

  Close(tower);
  // The cleanup completed both, and the close waited for them.
  EXPECT_EQ(WaitForSingleObject(read.overlapped.hEvent, 0), WAIT_OBJECT_0);
  EXPECT_EQ(static_cast<uint32_t>(read.overlapped.Internal), 0xC0000120u);  // STATUS_CANCELLED
  EXPECT_EQ(static_cast<uint32_t>(forgotten.overlapped.Internal), 0xC0000120u);
  DWORD bytes = 0;
  EXPECT_FALSE(GetOverlappedResult(tower, &read.overlapped, &bytes, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  CloseHandle(read.overlapped.hEvent);
  // The device is free for the next open.
  EXPECT_NE(Open("\\\\.\\QIROTOWER1"), INVALID_HANDLE_VALUE);
  CancelStop(physical);
}

TEST_F(OverlappedIo, ClosingASynchronousHandleEndsAHeldReadInAnotherThread) {
  hk::DeviceObject* physical = PlugTowerWithAStopPending();
  ASSERT_NE(physical, nullptr);
  HANDLE tower = Open("\\\\.\\QIROTOWER1");
  ASSERT_NE(tower, INVALID_HANDLE_VALUE);
  BOOL readOk = TRUE;
  DWORD readError = 0;
  std::thread reader([&] {
    char byte = 0;
    DWORD read = 99;
    readOk = ReadFile(tower, &byte, 1, &read, nullptr);
    readError = GetLastError();
  });
  // Long enough for the read to be held even on a slow build.
  std::this_thread::sleep_for(milliseconds(200));
  Close(tower);
  reader.join();
  EXPECT_FALSE(readOk);
  EXPECT_EQ(readError, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  CancelStop(physical);
}

TEST_F(OverlappedIo, ASynchronousHandleGivenAnOverlappedStillRunsTheRequestAtOnce) {
  ASSERT_TRUE(machine_->registry().CreateKey(kParameters));
  ASSERT_TRUE(machine_->registry().SetDword(kParameters, "Timeout_Read_1st", 0));
  ASSERT_NE(PlugTower(), nullptr);
  HANDLE tower = Open("\\\\.\\QIROTOWER1");
  ASSERT_NE(tower, INVALID_HANDLE_VALUE);
  Slot read;
  const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  read.overlapped.hEvent = event;
  EXPECT_TRUE(StartRead(tower, &read));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  DWORD bytes = 99;
  EXPECT_TRUE(GetOverlappedResult(tower, &read.overlapped, &bytes, FALSE));
  EXPECT_EQ(bytes, 0u);
  // An event that is not one fails the call before anything is issued.
  read.overlapped.hEvent = tower;
  EXPECT_FALSE(StartRead(tower, &read));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  CloseHandle(event);
}

TEST_F(OverlappedIo, CancelsAndACloseRacingTheReleaseCompleteEachRequestOnce) {
  hk::DeviceObject* physical = PlugTowerWithAStopPending();
  ASSERT_NE(physical, nullptr);
  for (int round = 0; round < 8; ++round) {
    HANDLE tower = OpenOverlapped("\\\\.\\QIROTOWER1");
    ASSERT_NE(tower, INVALID_HANDLE_VALUE);
    Slot slots[6];
    for (Slot& slot : slots) {
      slot.overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      EXPECT_FALSE(StartRead(tower, &slot));
    }
    const bool closing = round % 2 == 1;
    // Cancels from two threads, or a close, while the stop is cancelled and
    // the driver releases what it held.
    std::thread first([&] {
      if (closing)
        Close(tower);
      else
        CancelIoEx(tower, &slots[0].overlapped);
    });
    std::thread second([&] {
      if (!closing) CancelIoEx(tower, nullptr);
    });
    std::thread releaser([&] { CancelStop(physical); });
    first.join();
    second.join();
    releaser.join();
    for (Slot& slot : slots) {
      EXPECT_EQ(WaitForSingleObject(slot.overlapped.hEvent, 5000), WAIT_OBJECT_0);
      const auto status = static_cast<uint32_t>(slot.overlapped.Internal);
      EXPECT_TRUE(status == 0 || status == 0xC0000120u) << std::hex << status;
      CloseHandle(slot.overlapped.hEvent);
    }
    if (!closing) Close(tower);
    ASSERT_EQ(machine_->io().SendPnp(physical, kQueryStop), 0);
  }
  CancelStop(physical);
}

TEST_F(OverlappedIo, ARequestPendingWhenTheTowerLeavesFailsAndIsFreedWithTheMachine) {
  hk::DeviceObject* physical = PlugTowerWithAStopPending();
  ASSERT_NE(physical, nullptr);
  HANDLE tower = OpenOverlapped("\\\\.\\QIROTOWER1");
  ASSERT_NE(tower, INVALID_HANDLE_VALUE);
  Slot read;
  read.overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_FALSE(StartRead(tower, &read));
  // Completed by the surprise removal, in the unplugging thread: the
  // completion hands the request to the I/O manager, and no later request
  // frees it, so it goes when the machine shuts down (at the end of the
  // test, which fails for a request completed twice or never, and under
  // AddressSanitizer for one leaked or freed twice).
  UnplugTower(physical);
  EXPECT_EQ(WaitForSingleObject(read.overlapped.hEvent, 5000), WAIT_OBJECT_0);
  DWORD bytes = 99;
  EXPECT_FALSE(GetOverlappedResult(tower, &read.overlapped, &bytes, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));  // STATUS_DELETE_PENDING
  EXPECT_EQ(bytes, 0u);
  Close(tower);
  CloseHandle(read.overlapped.hEvent);
}

}  // namespace
}  // namespace towertest
