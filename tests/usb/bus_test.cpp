// Where the bus runs a finished transfer's completion: on its own thread, or
// on the thread that caused it while that thread has the bus's caller scope
// open.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "kernel/kernel.h"
#include "usb/stack.h"

namespace {

using namespace std::chrono_literals;

// A piece of work that notes the thread it ran on and its priority.
struct Noted : hk::usb::BusWork {
  std::atomic<bool> ran{false};
  std::thread::id thread;
  int irql = -1;
  std::vector<int>* order = nullptr;  // appended to when it runs, if set
  int id = 0;
  hk::usb::Bus* postOnRun = nullptr;  // posts `next` from inside its run
  Noted* nextWork = nullptr;

  Noted() { run = &Noted::Run; }
  static void Run(hk::usb::BusWork* work) {
    auto* self = static_cast<Noted*>(work);
    self->thread = std::this_thread::get_id();
    self->irql = hk::CurrentThread().irql;
    if (self->order != nullptr) self->order->push_back(self->id);
    if (self->postOnRun != nullptr) self->postOnRun->Post(self->nextWork);
    self->ran.store(true);
  }
};

bool RanWithin(const Noted& work, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!work.ran.load()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST(BusCompletions, WithoutACallerScopeTheyRunOnTheBusThread) {
  hk::usb::Bus bus;
  Noted work;
  bus.Post(&work);
  ASSERT_TRUE(RanWithin(work, 5000ms));
  bus.Drain();
  EXPECT_NE(work.thread, std::this_thread::get_id());
  EXPECT_EQ(work.irql, 2);
}

// Held while the scope is open (never inside the post, which the device
// model makes under its own locks), run at raised priority when the
// outermost scope closes, in the order posted, with what they post run after
// them on the same thread.
TEST(BusCompletions, ACallerScopeRunsThemOnTheCallerWhenTheOutermostCloses) {
  hk::usb::Bus bus;
  bus.Drain();  // the bus is idle
  std::vector<int> order;
  Noted first, second, third;
  first.order = second.order = third.order = &order;
  first.id = 1;
  second.id = 2;
  third.id = 3;
  first.postOnRun = &bus;
  first.nextWork = &third;

  const int irqlBefore = hk::CurrentThread().irql;
  bus.Open();
  bus.Post(&first);
  bus.Open();
  bus.Post(&second);
  bus.Close();
  EXPECT_FALSE(first.ran.load()) << "ran before the outermost scope closed";
  EXPECT_FALSE(second.ran.load());
  bus.Close();
  ASSERT_TRUE(first.ran.load() && second.ran.load() && third.ran.load());
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  for (const Noted* work : {&first, &second, &third}) {
    EXPECT_EQ(work->thread, std::this_thread::get_id());
    EXPECT_EQ(work->irql, 2);
  }
  EXPECT_EQ(hk::CurrentThread().irql, irqlBefore);

  // Closed, the thread posts to the bus's thread again.
  Noted later;
  bus.Post(&later);
  ASSERT_TRUE(RanWithin(later, 5000ms));
  EXPECT_NE(later.thread, std::this_thread::get_id());
}

// A completion decided while the bus's thread still has one to run must not
// overtake it: it is queued behind it, on the bus's thread, scope or not.
TEST(BusCompletions, WhileTheBusIsBusyACallerScopeQueuesBehindIt) {
  hk::usb::Bus bus;
  std::atomic<bool> release{false};
  struct Blocking : hk::usb::BusWork {
    std::atomic<bool>* release = nullptr;
    std::atomic<bool> started{false};
    static void Run(hk::usb::BusWork* work) {
      auto* self = static_cast<Blocking*>(work);
      self->started.store(true);
      while (!self->release->load()) std::this_thread::sleep_for(1ms);
    }
  } blocking;
  blocking.run = &Blocking::Run;
  blocking.release = &release;
  bus.Post(&blocking);
  while (!blocking.started.load()) std::this_thread::sleep_for(1ms);

  Noted queued;
  bus.Open();
  bus.Post(&queued);
  bus.Close();
  EXPECT_FALSE(queued.ran.load()) << "overtook the work the bus was running";
  release.store(true);
  bus.Drain();
  ASSERT_TRUE(queued.ran.load());
  EXPECT_NE(queued.thread, std::this_thread::get_id());
}

// Completions run in the order they were decided, one at a time, whoever
// runs them: while one thread holds some, the bus's thread waits before it
// takes what others decided later, and what the holder decides once others
// are queued goes behind them.
TEST(BusCompletions, HeldCompletionsRunBeforeThoseDecidedAfterThem) {
  hk::usb::Bus bus;
  bus.Drain();
  std::vector<int> order;
  Noted held, later, last;
  held.order = later.order = last.order = &order;
  held.id = 1;
  later.id = 2;
  last.id = 3;
  held.postOnRun = &bus;
  held.nextWork = &last;

  bus.Open();
  bus.Post(&held);
  std::thread other([&] { bus.Post(&later); });
  other.join();
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(later.ran.load()) << "the bus's thread overtook a held completion";
  bus.Close();
  bus.Drain();
  ASSERT_TRUE(held.ran.load() && later.ran.load() && last.ran.load());
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(held.thread, std::this_thread::get_id());
  EXPECT_NE(later.thread, std::this_thread::get_id());
  EXPECT_NE(last.thread, std::this_thread::get_id());
}

// While another thread holds completions, a second thread's scope holds
// none: there is one holder at a time.
TEST(BusCompletions, OneThreadHoldsAtATime) {
  hk::usb::Bus bus;
  bus.Drain();
  Noted first, second;
  bus.Open();
  bus.Post(&first);
  std::thread other([&] {
    bus.Open();
    bus.Post(&second);
    bus.Close();
  });
  other.join();
  EXPECT_FALSE(second.ran.load()) << "a second holder ran ahead of the first";
  bus.Close();
  bus.Drain();
  ASSERT_TRUE(first.ran.load() && second.ran.load());
  EXPECT_EQ(first.thread, std::this_thread::get_id());
  EXPECT_NE(second.thread, std::this_thread::get_id());
}

// A stack that completes inside the submission keeps every completion on
// the bus's thread, scope or not.
TEST(BusCompletions, AStackThatCompletesInsideTheSubmissionHoldsNone) {
  hk::usb::Bus bus;
  bus.SetCompleteInline(true);
  Noted work;
  bus.Open();
  bus.Post(&work);
  bus.Close();
  bus.Drain();
  ASSERT_TRUE(work.ran.load());
  EXPECT_NE(work.thread, std::this_thread::get_id());
}

// Drain waits for completions a caller holds as for the bus's own: a device
// is not taken away while one of its completions is still to run.
TEST(BusCompletions, DrainWaitsForCompletionsACallerHolds) {
  hk::usb::Bus bus;
  bus.Drain();
  Noted held;
  bus.Open();
  bus.Post(&held);
  std::atomic<bool> drained{false};
  std::thread drainer([&] {
    bus.Drain();
    drained.store(true);
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(drained.load()) << "drained with a completion still held";
  bus.Close();
  drainer.join();
  EXPECT_TRUE(held.ran.load());
  EXPECT_TRUE(drained.load());
}

}  // namespace
