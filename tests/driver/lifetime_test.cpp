// The device record's lifetime: a tower that leaves while its receive
// transfer is coming back, a lower driver that fails or completes transfers
// in ways a well-behaved stack does not, and every allocation failing in turn.
#include <chrono>
#include <cstdio>
#include <functional>
#include <set>
#include <thread>
#include <vector>

#include "fixture.h"
#include "tower/values.h"

namespace towertest {
namespace {

using std::chrono::milliseconds;

class Lifetime : public MachineTest {
 protected:
  hk::FileObject* OpenOne() {
    hk::FileObject* file = nullptr;
    EXPECT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
    return file;
  }
  // Waits (generously) until the tower's state word has left `from`.
  uint16_t StateAfter(hk::FileObject* file, uint16_t from) {
    uint16_t state = StateWord(file);
    for (int i = 0; i < 2000 && state == from; ++i) {
      std::this_thread::sleep_for(milliseconds(1));
      state = StateWord(file);
    }
    return state;
  }
  bool GoneWithin(uint32_t unit, milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (Record(unit) != nullptr && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(milliseconds(1));
    return Record(unit) == nullptr;
  }
};

// The bus thread is held right after each event its completions set, so the
// thread that event wakes runs ahead: a removal woken by the receive
// transfer's last release frees the record while the completion still has
// steps to take. The verifier and the address sanitizer catch any touch of
// the freed record.
enum class Leaving { CloseThenUnplug, UnplugThenClose, RestartThenClose };

class RemovalRace : public Lifetime, public ::testing::WithParamInterface<Leaving> {};

TEST_P(RemovalRace, TheRecordOutlivesTheLastReceiveCompletion) {
  for (int round = 0; round < 3; ++round) {
    if (round > 0) Boot();
    towers_.clear();
    hk::DeviceObject* physical = PlugTower();
    hk::FileObject* file = OpenOne();
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(StateWord(file), 0xF);
    // A restart sends vendor requests one after another, each allowed
    // 200 ms, and the bus thread sleeps through its pause before it carries
    // the next: its pause stays well inside that limit, or a loaded machine
    // turns the pause into a timed-out restart.
    machine_->kernel().SetPauseAfterCompletionEvent(
        milliseconds(GetParam() == Leaving::RestartThenClose ? 40 : 150));
    switch (GetParam()) {
      case Leaving::CloseThenUnplug:
        EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
        UnplugTower(physical);
        break;
      case Leaving::UnplugThenClose:
        UnplugTower(physical);
        EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
        break;
      case Leaving::RestartThenClose: {
        uint32_t got = 0;
        EXPECT_EQ(machine_->io().Control(file, IOCTL_TOWER_RESTART, nullptr, 0, nullptr, 0, &got),
                  STATUS_SUCCESS);
        EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
        break;
      }
    }
    machine_->SettlePnp();
    machine_->bus().Drain();
    machine_->kernel().SetPauseAfterCompletionEvent(milliseconds(0));
    if (GetParam() != Leaving::RestartThenClose) {
      EXPECT_TRUE(GoneWithin(1, milliseconds(5000)));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Lifetime, RemovalRace,
                         ::testing::Values(Leaving::CloseThenUnplug, Leaving::UnplugThenClose,
                                           Leaving::RestartThenClose),
                         [](const ::testing::TestParamInfo<Leaving>& param) {
                           switch (param.param) {
                             case Leaving::CloseThenUnplug:
                               return std::string("CloseThenUnplug");
                             case Leaving::UnplugThenClose:
                               return std::string("UnplugThenClose");
                             case Leaving::RestartThenClose:
                               break;
                           }
                           return std::string("RestartThenClose");
                         });

TEST_F(Lifetime, AReceiveTransferFailedBelowWithoutAUsbStatusStopsTheReader) {
  hk::DeviceObject* physical = PlugTower();
  hk::FileObject* file = OpenOne();
  ASSERT_EQ(StateWord(file), 0xF);
  // A stack that refuses every new transfer once the tower is going, with
  // the request's own status and the USB status left at 0.
  Tower().FailTransfers(hk::usb::TransferKind::BulkIn,
                        sim::TransferFault{STATUS_DELETE_PENDING, hk::usb::USBD_STATUS_SUCCESS, 0});
  Tower().Inject({0x55});  // the transfer that is out comes back with data
  EXPECT_EQ(StateAfter(file, 0xF), 0x7);
  machine_->bus().Drain();
  EXPECT_EQ(StateWord(file), 0x7) << "the reader was started again";
  EXPECT_EQ(Tower().HeldTransfers(), 0u);
  uint8_t byte = 0;
  uint32_t got = 0;
  EXPECT_EQ(machine_->io().Read(file, &byte, 1, &got), STATUS_DEVICE_NOT_READY);

  UnplugTower(physical);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
  machine_->SettlePnp();
  EXPECT_TRUE(GoneWithin(1, milliseconds(5000)));
}

TEST_F(Lifetime, AReceiveTransferEndingWithAUsbErrorStopsTheReaderUntilTheNextOpen) {
  PlugTower();
  hk::FileObject* file = OpenOne();
  Tower().FailTransfers(hk::usb::TransferKind::BulkIn,
                        sim::TransferFault{STATUS_UNSUCCESSFUL, hk::usb::USBD_STATUS_CRC, 1});
  Tower().Inject({0x01, 0x02});
  EXPECT_EQ(StateAfter(file, 0xF), 0x7);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
  file = OpenOne();
  EXPECT_EQ(StateWord(file), 0xF);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

TEST_F(Lifetime, AStackThatCompletesInsideTheSubmissionDoesNotMakeTheReaderRecurse) {
  PlugTower();
  hk::FileObject* file = OpenOne();
  ASSERT_EQ(StateWord(file), 0xF);
  machine_->bus().SetCompleteInline(true);
  // Each resubmission comes back empty before its submission returns; nested,
  // these would overflow the bus thread's stack many times over.
  constexpr uint32_t kEmpty = 20000;
  Tower().FailTransfers(hk::usb::TransferKind::BulkIn,
                        sim::TransferFault{STATUS_SUCCESS, hk::usb::USBD_STATUS_SUCCESS, kEmpty});
  Tower().Inject({0x10});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (Tower().HeldTransfers() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(milliseconds(5));
  machine_->bus().SetCompleteInline(false);
  EXPECT_EQ(Tower().HeldTransfers(), 1u);
  EXPECT_EQ(StateWord(file), 0xF);
  // The reader still carries what the tower hears.
  Tower().Inject({0x20, 0x21});
  uint8_t bytes[3] = {};
  uint32_t got = 0;
  ASSERT_EQ(machine_->io().Read(file, bytes, 3, &got), STATUS_SUCCESS);
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(bytes[0], 0x10);
  EXPECT_EQ(bytes[2], 0x21);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

// ---- every allocation failing in turn ---------------------------------------------

// Statuses an out-of-memory run may end a request with beside the one it
// ends with when nothing fails: a request that could not be carried out says
// so, and one that ran without its receive transfer finds the tower not ready.
bool AllowedUnderPressure(NTSTATUS status, NTSTATUS normal, NTSTATUS also) {
  return status == normal || status == also || status == STATUS_INSUFFICIENT_RESOURCES ||
         status == STATUS_NO_MEMORY || status == STATUS_DEVICE_NOT_READY;
}

class AllocationSweep : public Lifetime {
 protected:
  struct Scene {
    hk::DeviceObject* physical = nullptr;
    hk::FileObject* file = nullptr;
  };
  // Runs `act` after `prepare` with the n-th driver allocation failing, for
  // n = 1, 2, ... until a run reaches no injected failure, each run on a
  // fresh machine that must shut down clean (every request completed once,
  // no pool left at unload). Returns how many failure points the act has.
  // `act` returns the status its request ended with, which may also be
  // `also`; with `reopen`, the tower must open and work again afterwards.
  int Sweep(const char* name, bool openFirst, const std::function<NTSTATUS(Scene&)>& act,
            bool reopen = true, NTSTATUS also = STATUS_PENDING) {
    NTSTATUS normal = STATUS_PENDING;
    for (int n = 0; n < 400; ++n) {
      Boot();
      towers_.clear();
      Scene scene;
      scene.physical = PlugTower();
      if (openFirst) {
        const NTSTATUS opened = OpenUnit(1, &scene.file);
        EXPECT_EQ(opened, STATUS_SUCCESS) << name;
        if (scene.file == nullptr) return -1;
      }
      hk::Kernel& kernel = machine_->kernel();
      const uint64_t before = kernel.InjectedFailures();
      kernel.FailNthDriverAllocation(static_cast<uint64_t>(n));
      const NTSTATUS status = act(scene);
      machine_->bus().Drain();
      kernel.FailNthDriverAllocation(0);
      const bool reached = kernel.InjectedFailures() != before;
      if (n == 0) {
        normal = status;
      } else {
        EXPECT_TRUE(AllowedUnderPressure(status, normal, also))
            << name << ": failing allocation " << n << " ended with 0x" << std::hex << status;
      }
      if (reopen && Record(1) != nullptr) {
        if (scene.file != nullptr) {
          EXPECT_EQ(machine_->io().Close(scene.file), STATUS_SUCCESS);
        }
        scene.file = nullptr;
        hk::FileObject* again = nullptr;
        EXPECT_EQ(OpenUnit(1, &again), STATUS_SUCCESS) << name << " after failure " << n;
        if (again != nullptr) {
          EXPECT_EQ(StateWord(again), 0xF) << name << " after failure " << n;
          EXPECT_EQ(machine_->io().Close(again), STATUS_SUCCESS);
        }
      } else if (scene.file != nullptr) {
        EXPECT_EQ(machine_->io().Close(scene.file), STATUS_SUCCESS);
      }
      if (n > 0 && !reached) {
        std::printf("[ sweep    ] %s: %d failure points\n", name, n - 1);
        return n - 1;
      }
    }
    ADD_FAILURE() << name << " still reached injected failures after 400 runs";
    return -1;
  }

  struct Result {
    NTSTATUS status;
    uint32_t bytes;
  };
  Result Control(Scene& s, uint32_t code, void* record, uint32_t length) {
    uint32_t got = 0;
    const NTSTATUS status =
        machine_->io().Control(s.file, code, record, length, record, length, &got);
    return {status, got};
  }
  NTSTATUS Record12(Scene& s, uint32_t code, uint8_t payload) {
    QIROTOWER_CTLREC r{};
    r.Size = sizeof(r);
    r.Payload[0] = payload;
    return Control(s, code, &r, sizeof(r)).status;
  }
};

TEST_F(AllocationSweep, OpeningReadingAndWritingSurviveEveryAllocationFailing) {
  EXPECT_GT(Sweep("open", false, [this](Scene& s) { return OpenUnit(1, &s.file); }), 0);
  Sweep("read", true, [this](Scene& s) {
    Tower().Inject({1, 2, 3});
    uint8_t bytes[8];
    uint32_t got = 0;
    return machine_->io().Read(s.file, bytes, sizeof(bytes), &got);
  });
  EXPECT_GT(Sweep("write", true,
                  [this](Scene& s) {
                    const uint8_t bytes[5] = {1, 2, 3, 4, 5};
                    uint32_t got = 0;
                    return machine_->io().Write(s.file, bytes, sizeof(bytes), &got);
                  }),
            0);
  Sweep("close", true, [this](Scene& s) {
    const NTSTATUS status = machine_->io().Close(s.file);
    s.file = nullptr;
    return status;
  });
}

TEST_F(AllocationSweep, EveryControlFamilySurvivesEveryAllocationFailing) {
  EXPECT_GT(
      Sweep("parameters", true, [this](Scene& s) { return Record12(s, IOCTL_TOWER_SET_RANGE, 3); }),
      0);
  EXPECT_GT(
      Sweep("leds", true, [this](Scene& s) { return Record12(s, IOCTL_TOWER_GET_LED_STATE, 1); }),
      0);
  EXPECT_GT(Sweep("speeds", true,
                  [this](Scene& s) {
                    QIROTOWER_SPEEDREC r{};
                    r.Size = sizeof(r);
                    return Control(s, IOCTL_TOWER_GET_IR_SPEED, &r, sizeof(r)).status;
                  }),
            0);
  EXPECT_GT(Sweep("version", true,
                  [this](Scene& s) {
                    QIROTOWER_VERSION r{};
                    return Control(s, IOCTL_TOWER_GET_VERSION, &r, sizeof(r)).status;
                  }),
            0);
  EXPECT_GT(Sweep("texts", true,
                  [this](Scene& s) {
                    uint8_t text[200] = {};
                    uint32_t got = 0;
                    return machine_->io().Control(s.file, IOCTL_TOWER_GET_COPYRIGHT, nullptr, 0,
                                                  text, sizeof(text), &got);
                  }),
            0);
  EXPECT_GT(Sweep("statistics", true,
                  [this](Scene& s) {
                    QIROTOWER_COMMSTATS r{};
                    r.Size = sizeof(r);
                    return Control(s, IOCTL_TOWER_GET_COMM_STATS, &r, sizeof(r)).status;
                  }),
            0);
  Sweep("flush", true, [this](Scene& s) { return Record12(s, IOCTL_TOWER_FLUSH, 3); });
  EXPECT_GT(Sweep("reset", true, [this](Scene& s) { return Record12(s, IOCTL_TOWER_RESET, 0); }),
            0);
}

TEST_F(AllocationSweep, TowersComingAndGoingSurviveEveryAllocationFailing) {
  EXPECT_GT(Sweep(
                "restart", true,
                [this](Scene& s) {
                  uint32_t got = 0;
                  const NTSTATUS status = machine_->io().Control(s.file, IOCTL_TOWER_RESTART,
                                                                 nullptr, 0, nullptr, 0, &got);
                  machine_->io().Close(s.file);
                  s.file = nullptr;
                  machine_->SettlePnp();
                  return status;
                },
                false),
            0);
  Sweep(
      "unplug with a read blocked", true,
      [this](Scene& s) {
        uint8_t bytes[4];
        auto read = machine_->io().ReadAsync(s.file, bytes, sizeof(bytes));
        UnplugTower(s.physical);
        read->Wait(std::chrono::seconds(5));
        const NTSTATUS status = machine_->io().Close(s.file);
        s.file = nullptr;
        machine_->SettlePnp();
        return status;
      },
      false);
  EXPECT_GT(Sweep(
                "plug", false,
                [this](Scene&) {
                  NTSTATUS status = STATUS_UNSUCCESSFUL;
                  PlugTower(&status);
                  return status;
                },
                // A start that cannot select its configuration fails as such.
                false, STATUS_UNSUCCESSFUL),
            0);
}

}  // namespace
}  // namespace towertest
