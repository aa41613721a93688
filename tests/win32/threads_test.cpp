// Threads, waits, events, critical sections and thread message queues of the
// Win32 subset, held to Windows' rules.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "win32/windows.h"

namespace {

DWORD WINAPI ReturnParameter(LPVOID parameter) {
  return static_cast<DWORD>(reinterpret_cast<uintptr_t>(parameter));
}

struct Gate {
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ~Gate() { CloseHandle(go); }
};

DWORD WINAPI WaitForGate(LPVOID parameter) {
  WaitForSingleObject(static_cast<Gate*>(parameter)->go, INFINITE);
  return 7;
}

TEST(Win32Threads, AThreadHandleSignalsWhenTheThreadEndsAndKeepsItsExitCode) {
  Gate gate;
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, WaitForGate, &gate, 0, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(id % 4, 0u);
  EXPECT_NE(id, GetCurrentThreadId());
  DWORD code = 0;
  EXPECT_EQ(WaitForSingleObject(thread, 20), WAIT_TIMEOUT);
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  SetEvent(gate.go);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  // A thread handle stays signalled: a second wait returns at once.
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 7u);
  EXPECT_TRUE(CloseHandle(thread));
  EXPECT_FALSE(CloseHandle(thread));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_FAILED);

  HANDLE other =
      CreateThread(nullptr, 0, ReturnParameter, reinterpret_cast<LPVOID>(42), 0, nullptr);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(WaitForSingleObject(other, INFINITE), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeThread(other, &code));
  EXPECT_EQ(code, 42u);
  CloseHandle(other);
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
}

TEST(Win32Threads, EventsResetByThemselvesOrStaySignalledAsCreated) {
  HANDLE automatic = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(automatic, nullptr);
  ASSERT_NE(manual, nullptr);
  // The initially signalled auto-reset event lets exactly one wait through.
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic, 10), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(manual, 10), WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
  // An event set while a thread waits wakes it.
  std::thread setter([&] {
    Sleep(20);
    SetEvent(automatic);
  });
  EXPECT_EQ(WaitForSingleObject(automatic, 10000), WAIT_OBJECT_0);
  setter.join();
  EXPECT_TRUE(CloseHandle(automatic));
  EXPECT_TRUE(CloseHandle(manual));
  EXPECT_FALSE(SetEvent(manual));
  EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, "named"), nullptr);
}

TEST(Win32Threads, TheClockAdvancesInMillisecondsAndSleepZeroReturns) {
  const DWORD start = GetTickCount();
  Sleep(0);
  Sleep(30);
  const DWORD elapsed = GetTickCount() - start;
  EXPECT_GE(elapsed, 30u);
  EXPECT_LT(elapsed, 3000u);
}

DWORD WINAPI Consume(LPVOID parameter) {
  auto* seen = static_cast<std::vector<UINT>*>(parameter);
  MSG message;
  // The first peek makes the queue. The starter's posts succeed from that
  // moment, so one may already be waiting when the peek looks; it stays.
  PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
  BOOL got;
  while ((got = GetMessageA(&message, nullptr, 0, 0)) > 0) seen->push_back(message.message);
  return got == 0 && message.message == WM_QUIT ? static_cast<DWORD>(message.wParam) : 2;
}

TEST(Win32Threads, PostsFailUntilTheThreadAsksForAMessageThenArriveInOrderUntilQuit) {
  std::vector<UINT> seen;
  // A thread that has not yet asked for a message has no queue.
  Gate gate;
  DWORD sleeperId = 0;
  HANDLE sleeper = CreateThread(nullptr, 0, WaitForGate, &gate, 0, &sleeperId);
  ASSERT_NE(sleeper, nullptr);
  EXPECT_FALSE(PostThreadMessageA(sleeperId, WM_APP, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
  SetEvent(gate.go);
  WaitForSingleObject(sleeper, INFINITE);
  CloseHandle(sleeper);

  DWORD id = 0;
  HANDLE consumer = CreateThread(nullptr, 0, Consume, &seen, 0, &id);
  ASSERT_NE(consumer, nullptr);
  // The starter learns that the queue exists by posting until a post is taken.
  const DWORD start = GetTickCount();
  while (!PostThreadMessageA(id, WM_APP, 0, 0)) {
    ASSERT_LT(GetTickCount() - start, 10000u);
    Sleep(0);
  }
  for (UINT i = 1; i <= 50; ++i) ASSERT_TRUE(PostThreadMessageA(id, WM_APP + i, i, 0));
  ASSERT_TRUE(PostThreadMessageA(id, WM_QUIT, 5, 0));
  EXPECT_EQ(WaitForSingleObject(consumer, 10000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeThread(consumer, &code);
  EXPECT_EQ(code, 5u);
  ASSERT_EQ(seen.size(), 51u);
  for (UINT i = 0; i <= 50; ++i) EXPECT_EQ(seen[i], WM_APP + i);
  // The queue went with its thread.
  EXPECT_FALSE(PostThreadMessageA(id, WM_APP, 0, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
  CloseHandle(consumer);
}

TEST(Win32Threads, TheOwnQueueFiltersPeeksWithoutRemovingAndSeesQuitLast) {
  MSG message;
  std::thread([&] {
    EXPECT_FALSE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
    const DWORD self = GetCurrentThreadId();
    ASSERT_TRUE(PostThreadMessageA(self, WM_USER + 1, 0, 0));
    ASSERT_TRUE(PostThreadMessageA(self, WM_APP + 1, 0, 0));
    PostQuitMessage(3);
    // A filter passes over the earlier message; the peek leaves it queued.
    ASSERT_TRUE(PeekMessageA(&message, nullptr, WM_APP, WM_APP + 10, PM_NOREMOVE));
    EXPECT_EQ(message.message, WM_APP + 1);
    ASSERT_TRUE(PeekMessageA(&message, nullptr, WM_APP, WM_APP + 10, PM_REMOVE));
    EXPECT_EQ(message.message, WM_APP + 1);
    ASSERT_TRUE(GetMessageA(&message, nullptr, 0, 0));
    EXPECT_EQ(message.message, WM_USER + 1);
    // The quit flag comes after the posted messages, whatever the filter.
    EXPECT_FALSE(GetMessageA(&message, nullptr, WM_APP, WM_APP));
    EXPECT_EQ(message.message, WM_QUIT);
    EXPECT_EQ(message.wParam, 3u);
    EXPECT_FALSE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
  }).join();
}

TEST(Win32Threads, ACriticalSectionIsReentrantForItsOwner) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EnterCriticalSection(&section);
  EnterCriticalSection(&section);
  std::atomic<bool> entered{true};
  std::thread([&] { entered = TryEnterCriticalSection(&section) != FALSE; }).join();
  EXPECT_FALSE(entered.load());
  LeaveCriticalSection(&section);
  LeaveCriticalSection(&section);
  std::thread([&] {
    entered = TryEnterCriticalSection(&section) != FALSE;
    if (entered) LeaveCriticalSection(&section);
  }).join();
  EXPECT_TRUE(entered.load());
  DeleteCriticalSection(&section);
}

}  // namespace
