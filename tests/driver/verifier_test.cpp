// The verifier catches what a driver must never do, and names the culprit.
#include "fixture.h"

namespace towertest {
namespace {

bool Mentions(const std::vector<std::string>& violations, const std::string& text) {
  for (const auto& v : violations)
    if (v.find(text) != std::string::npos) return true;
  return false;
}

using VerifierTest = MachineTest;

TEST_F(VerifierTest, CatchesARequestCompletedTwice) {
  hk::Kernel& kernel = machine_->kernel();
  hk::Irp* irp = kernel.AllocateIrp();
  irp->major = hk::IrpMajor::Read;
  kernel.CompleteIrp(irp, STATUS_SUCCESS, 0);
  kernel.CompleteIrp(irp, STATUS_SUCCESS, 0);
  const auto violations = kernel.verifier().Take();
  EXPECT_TRUE(
      Mentions(violations, "request #" + std::to_string(irp->id) + " (read) completed twice"));
  kernel.FreeIrp(irp);
}

TEST_F(VerifierTest, CatchesARequestNeverCompleted) {
  hk::Kernel& kernel = machine_->kernel();
  hk::DriverObject* sink = kernel.CreateDriver("\\Driver\\Sink");
  sink->dispatch = [](hk::DeviceObject*, hk::Irp*) { return STATUS_PENDING; };
  hk::DeviceObject* device = nullptr;
  ASSERT_EQ(kernel.CreateDevice(sink, u"\\Device\\Sink", 0x22, 0, false, true, 0, &device),
            STATUS_SUCCESS);
  device->initialising = false;
  hk::FileObject file;
  file.device = device;
  auto io = machine_->io().WriteAsync(&file, "x", 1);
  const uint64_t id = io->id();
  io.reset();
  const auto violations = machine_->Shutdown();
  EXPECT_TRUE(
      Mentions(violations, "request #" + std::to_string(id) + " (write) was never completed"));
}

TEST_F(VerifierTest, CatchesPoolLeftAtUnloadByTag) {
  void* leak = machine_->kernel().PoolAllocate(40, kPoolTag);
  ASSERT_NE(leak, nullptr);
  machine_->UnloadDriver(kService);
  const auto violations = machine_->kernel().verifier().Take();
  EXPECT_TRUE(Mentions(violations, "1 pool block(s), 40 bytes, with tag 'Wdm '"));
  machine_->kernel().PoolFree(leak);
}

TEST_F(VerifierTest, CatchesBlockingWaitsWhereBlockingIsForbidden) {
  hk::Kernel& kernel = machine_->kernel();
  hk::SpinLock lock("Test.RingLock");
  hk::Event event(true, true);
  const int64_t limit = -10000;
  const int previous = lock.Acquire();
  event.Wait(&limit);
  const int64_t poll = 0;
  event.Wait(&poll);  // a zero-length wait only polls, which is allowed
  lock.Release(previous);
  auto violations = kernel.verifier().Take();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_TRUE(Mentions(violations, "while spin lock Test.RingLock is held"));

  {
    hk::CompletionContext completion;
    EXPECT_FALSE(hk::MayBlockNow());
    event.Wait(&limit);
  }
  EXPECT_TRUE(hk::MayBlockNow());
  violations = kernel.verifier().Take();
  EXPECT_TRUE(Mentions(violations, "inside a completion context"));
}

TEST_F(VerifierTest, CatchesSpinLocksTakenAgainstTheirOrder) {
  hk::SpinLock outer("Test.Outer");
  hk::SpinLock inner("Test.Inner");
  int first = outer.Acquire();
  int second = inner.Acquire();
  inner.Release(second);
  outer.Release(first);
  EXPECT_EQ(machine_->kernel().verifier().Count(), 0u);
  first = inner.Acquire();
  second = outer.Acquire();
  outer.Release(second);
  inner.Release(first);
  const auto violations = machine_->kernel().verifier().Take();
  EXPECT_TRUE(Mentions(violations, "spin lock Test.Outer taken while Test.Inner is held"));
}

// A thread remembers the pairs it had judged, but only for the machine that
// judged them: the next machine learns its own order from scratch.
TEST_F(VerifierTest, EachMachineJudgesTheOrderOfItsLocksAfresh) {
  hk::SpinLock a("Test.First");
  hk::SpinLock b("Test.Second");
  const auto take = [](hk::SpinLock& outer, hk::SpinLock& inner) {
    const int first = outer.Acquire();
    const int second = inner.Acquire();
    inner.Release(second);
    outer.Release(first);
  };
  take(a, b);
  take(a, b);
  Boot();  // a machine that has seen neither order
  take(b, a);
  EXPECT_EQ(machine_->kernel().verifier().Count(), 0u);
  take(a, b);  // against the order this machine saw first
  const auto violations = machine_->kernel().verifier().Take();
  EXPECT_TRUE(Mentions(violations, "spin lock Test.Second taken while Test.First is held"));
}

TEST_F(VerifierTest, CatchesAMutexTakenAgainByItsHolder) {
  hk::Mutex mutex("Test.CreateCloseLock");
  mutex.Acquire();
  mutex.Release();
  mutex.Acquire();  // after a release, taking it again is fine
  mutex.Release();
  EXPECT_EQ(machine_->kernel().verifier().Count(), 0u);
  mutex.Acquire();
  mutex.Acquire();
  mutex.Release();
  mutex.Release();
  const auto violations = machine_->kernel().verifier().Take();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_TRUE(Mentions(violations, "mutex Test.CreateCloseLock taken again"));
}

TEST_F(VerifierTest, InjectsAllocationFailures) {
  hk::Kernel& kernel = machine_->kernel();
  kernel.FailNthAllocation(2);
  void* first = kernel.PoolAllocate(8, kPoolTag);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(kernel.PoolAllocate(8, kPoolTag), nullptr);
  void* third = kernel.PoolAllocate(8, kPoolTag);
  EXPECT_NE(third, nullptr);
  kernel.FailTag(0x41414141);
  EXPECT_EQ(kernel.PoolAllocate(8, 0x41414141), nullptr);
  void* other = kernel.PoolAllocate(8, kPoolTag);
  EXPECT_NE(other, nullptr);
  kernel.FailTag(0);
  for (void* block : {first, third, other}) kernel.PoolFree(block);
}

}  // namespace
}  // namespace towertest
