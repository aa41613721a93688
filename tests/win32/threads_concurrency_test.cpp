// Threads racing on the Win32 subset's queues, events and critical sections.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "win32/windows.h"

namespace {

constexpr int kPosters = 4;
constexpr int kEach = 500;

struct Tally {
  std::vector<int> lastSeen = std::vector<int>(kPosters, -1);
  int outOfOrder = 0;
  int total = 0;
};

DWORD WINAPI CountMessages(LPVOID parameter) {
  auto* tally = static_cast<Tally*>(parameter);
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    if (message.message != WM_APP) continue;
    const int poster = static_cast<int>(message.wParam);
    const int n = static_cast<int>(message.lParam);
    if (n != tally->lastSeen[poster] + 1) ++tally->outOfOrder;
    tally->lastSeen[poster] = n;
    ++tally->total;
  }
  return 0;
}

TEST(Win32ThreadsConcurrency, PostersOnManyThreadsReachOneQueueEachInItsOwnOrder) {
  Tally tally;
  DWORD id = 0;
  HANDLE consumer = CreateThread(nullptr, 0, CountMessages, &tally, 0, &id);
  ASSERT_NE(consumer, nullptr);
  while (!PostThreadMessageA(id, WM_NULL, 0, 0)) Sleep(0);
  std::vector<std::thread> posters;
  posters.reserve(kPosters);
  std::atomic<int> refused{0};
  for (int p = 0; p < kPosters; ++p)
    posters.emplace_back([&, p] {
      for (int n = 0; n < kEach; ++n)
        if (!PostThreadMessageA(id, WM_APP, static_cast<WPARAM>(p), n)) ++refused;
    });
  for (auto& t : posters) t.join();
  ASSERT_TRUE(PostThreadMessageA(id, WM_QUIT, 0, 0));
  EXPECT_EQ(WaitForSingleObject(consumer, 30000), WAIT_OBJECT_0);
  CloseHandle(consumer);
  EXPECT_EQ(refused.load(), 0);
  EXPECT_EQ(tally.total, kPosters * kEach);
  EXPECT_EQ(tally.outOfOrder, 0);
}

TEST(Win32ThreadsConcurrency, ACriticalSectionKeepsThreadsOutOfEachOther) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  long counter = 0;  // guarded by the section only
  std::vector<std::thread> threads;
  threads.reserve(4);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        EnterCriticalSection(&section);
        EnterCriticalSection(&section);
        ++counter;
        LeaveCriticalSection(&section);
        LeaveCriticalSection(&section);
      }
    });
  for (auto& t : threads) t.join();
  DeleteCriticalSection(&section);
  EXPECT_EQ(counter, 8000);
}

TEST(Win32ThreadsConcurrency, AnAutoResetEventReleasesOneWaiterPerSignal) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  waiters.reserve(3);
  for (int t = 0; t < 3; ++t)
    waiters.emplace_back([&] {
      if (WaitForSingleObject(event, 10000) == WAIT_OBJECT_0) ++released;
    });
  for (int i = 0; i < 3; ++i) {
    SetEvent(event);
    // Wait until a waiter took this signal, so that signals do not merge.
    const DWORD start = GetTickCount();
    while (released.load() < i + 1 && GetTickCount() - start < 10000) Sleep(1);
  }
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), 3);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  CloseHandle(event);
}

}  // namespace
