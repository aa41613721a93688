// The plug-in's two exported synchronisation records, as a stack compiled
// against its header uses them.
#include <gtest/gtest.h>

#include <thread>

#include "Celvane.h"

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

}  // namespace
