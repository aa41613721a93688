// The plug-in's two exported synchronisation records, as a stack compiled
// against its header uses them.
#include <gtest/gtest.h>

#include <thread>

#include "Celvane.h"
#include "app_fixture.h"
#include "faults/faults.h"

namespace {

TEST(ZmbEvent, AnAutoResetEventIsConsumedByTheTestThatSeesIt) {
  ZMB_EVENT event;
  ASSERT_TRUE(event.isvalid());
  EXPECT_FALSE(event.signaled());
  EXPECT_EQ(event.wait(10), ZMB_E_TIMEOUT);
  EXPECT_EQ(event.signal(), ZMB_OK);
  EXPECT_TRUE(event.signaled());
  EXPECT_FALSE(event.signaled());
  std::thread setter([&] {
    Sleep(20);
    event.signal();
  });
  EXPECT_EQ(event.wait(10000), ZMB_OK);
  setter.join();
}

TEST(ZmbEvent, AManualResetEventStaysSignalledUntilReset) {
  ZMB_EVENT event(true, true);
  EXPECT_TRUE(event.signaled());
  EXPECT_TRUE(event.signaled());
  EXPECT_EQ(event.wait(0), ZMB_OK);
  EXPECT_EQ(event.reset(), ZMB_OK);
  EXPECT_FALSE(event.signaled());
}

TEST(ZmbEvent, AnObjectWithoutAnEventRefusesEveryOperation) {
  ZMB_EVENT event;
  CloseHandle(event.event);
  event.event = INVALID_HANDLE_VALUE;
  EXPECT_FALSE(event.isvalid());
  EXPECT_EQ(event.wait(0), ZMB_E_WRONGSTATE);
  EXPECT_EQ(event.signal(), ZMB_E_WRONGSTATE);
  EXPECT_EQ(event.reset(), ZMB_E_WRONGSTATE);
  EXPECT_FALSE(event.signaled());
}

TEST(ZmbAutoCriticalSection, EnterAndLeavePairAndNestForTheirThread) {
  ZMB_AUTO_CRITICALSECTION lock;
  EXPECT_TRUE(lock.enter());
  EXPECT_TRUE(lock.enter());
  bool other = true;
  std::thread([&] { other = TryEnterCriticalSection(&lock.section) != FALSE; }).join();
  EXPECT_FALSE(other);
  EXPECT_TRUE(lock.leave());
  EXPECT_TRUE(lock.leave());
}

// Copies share one event and close it once, by the last holder; the event
// the target held before is closed as it is let go, not leaked.
TEST(ZmbEvent, CopiesShareOneEventThatTheLastHolderCloses) {
  HANDLE shared = nullptr;
  HANDLE replaced = nullptr;
  {
    ZMB_EVENT original(true, false);
    shared = original.event;
    {
      ZMB_EVENT copy;
      replaced = copy.event;
      copy = original;
      EXPECT_EQ(copy.event, original.event);
      // The copy's own event went with the assignment.
      EXPECT_EQ(WaitForSingleObject(replaced, 0), WAIT_FAILED);
      copy = copy;
      ZMB_EVENT third;
      third = copy;
      EXPECT_EQ(original.signal(), ZMB_OK);
      EXPECT_TRUE(copy.signaled());
      EXPECT_TRUE(third.signaled());
    }
    // Two holders gone, the event still open for the one left.
    EXPECT_TRUE(original.signaled());
    EXPECT_EQ(original.reset(), ZMB_OK);
  }
  EXPECT_EQ(WaitForSingleObject(shared, 0), WAIT_FAILED);
}

// A copy of a section's raw data would be deleted twice; each object keeps
// its own lock through an assignment and still excludes other threads.
TEST(ZmbAutoCriticalSection, AssignmentKeepsEachObjectAWorkingLockOfItsOwn) {
  ZMB_AUTO_CRITICALSECTION first;
  {
    ZMB_AUTO_CRITICALSECTION second;
    second = first;
    EXPECT_TRUE(second.enter());
    bool other = true;
    bool firstFree = false;
    std::thread([&] {
      other = TryEnterCriticalSection(&second.section) != FALSE;
      // The other object's lock is not the one held.
      firstFree = TryEnterCriticalSection(&first.section) != FALSE;
      if (firstFree) LeaveCriticalSection(&first.section);
    }).join();
    EXPECT_FALSE(other);
    EXPECT_TRUE(firstFree);
    EXPECT_TRUE(second.leave());
  }
  EXPECT_TRUE(first.enter());
  EXPECT_TRUE(first.leave());
}

// ---- on a machine, whose platform can be made to fail

class ZmbEventOnAMachine : public towertest::AppTest {};

TEST_F(ZmbEventOnAMachine, AnEventThePlatformCannotMakeSetOrResetSaysSo) {
  {
    auto refused =
        machine_->faults().Once(hk::fault::kCreateEventA, ERROR_NOT_ENOUGH_MEMORY, "Celvane.dll");
    ZMB_EVENT event(true, false);
    EXPECT_EQ(refused->Hits(), 1u);
    EXPECT_FALSE(event.isvalid());
    EXPECT_EQ(event.wait(0), ZMB_E_WRONGSTATE);
    EXPECT_EQ(event.signal(), ZMB_E_WRONGSTATE);
    EXPECT_FALSE(event.signaled());
  }
  ZMB_EVENT event(true, false);
  ASSERT_TRUE(event.isvalid());
  // The platform's own error comes back, and the event stays as it was.
  auto set = machine_->faults().Once(hk::fault::kSetEvent, ERROR_ACCESS_DENIED, "Celvane.dll");
  EXPECT_EQ(event.signal(), static_cast<LONG>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(event.signaled());
  EXPECT_EQ(event.signal(), ZMB_OK);
  auto reset = machine_->faults().Once(hk::fault::kResetEvent, ERROR_INVALID_HANDLE, "Celvane.dll");
  EXPECT_EQ(event.reset(), static_cast<LONG>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(event.signaled());
  EXPECT_EQ(event.reset(), ZMB_OK);
  EXPECT_FALSE(event.signaled());
  EXPECT_EQ(set->Hits(), 1u);
  EXPECT_EQ(reset->Hits(), 1u);
}

}  // namespace
