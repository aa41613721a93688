// The driver's tests of the simulated bus, run again through libusb: each
// tower is plugged into the libusb stand-in (this program links it, so it is
// the libusb-1.0.so.0 the backend finds) and reaches the machine the way a
// real tower does, through the libusb backend's hot-plug watch; unplugging
// pulls it out of the stand-in, so the machine hears libusb report it gone.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>

#include "fixture.h"
#include "sim/libusb/standin.h"
#include "usb/libusb/watcher.h"

namespace towertest {
namespace {

using Event = hk::usb::LibusbWatcher::Event;

class LibusbBus final : public TowerBus {
 public:
  void Booted(hk::Machine& machine) override {
    watcher_ = std::make_unique<hk::usb::LibusbWatcher>(machine);
    watcher_->SetObserver([this](const Event& e) {
      {
        std::lock_guard lock(mutex_);
        events_.push_back(e);
      }
      cv_.notify_all();
    });
    std::string error;
    ASSERT_TRUE(watcher_->Start(&error)) << error;
  }

  void Leaving(hk::Machine&) override {
    if (!watcher_) return;
    // The watcher takes its towers off the machine's bus and waits until
    // libusb has handed back every transfer.
    watcher_->Stop();
    watcher_.reset();
    EXPECT_EQ(standin::TransfersInFlight(), 0u) << "libusb transfers never handed back";
    for (int n : standin::Plugged()) standin::Unplug(n);
    std::lock_guard lock(mutex_);
    events_.clear();
    numbers_.clear();
  }

  hk::DeviceObject* Plug(hk::Machine&, const sim::TowerOptions& options,
                         std::shared_ptr<sim::TowerModel>* tower, NTSTATUS* status) override {
    const std::vector<int> taken = standin::Plugged();
    int number = 1;
    while (std::find(taken.begin(), taken.end(), number) != taken.end()) ++number;
    *tower = standin::Plug(number, options);
    if (!*tower) return nullptr;
    Event e{};
    if (!WaitFor(number, Event::Kind::Plugged, &e)) {
      ADD_FAILURE() << "tower " << number << " never arrived through libusb";
      return nullptr;
    }
    if (status != nullptr) *status = e.status;
    std::lock_guard lock(mutex_);
    numbers_[e.physical] = number;
    return e.physical;
  }

  void Unplug(hk::Machine&, hk::DeviceObject* physical) override {
    int number = 0;
    {
      std::lock_guard lock(mutex_);
      auto it = numbers_.find(physical);
      if (it == numbers_.end()) {
        ADD_FAILURE() << "not a tower plugged through libusb";
        return;
      }
      number = it->second;
      numbers_.erase(it);
    }
    ASSERT_TRUE(standin::Unplug(number));
    Event e{};
    EXPECT_TRUE(WaitFor(number, Event::Kind::Left, &e)) << "tower " << number << " never left";
  }

 private:
  // Waits for (and takes) the watcher's next event of this kind for the
  // tower on this port; a refusal ends a wait for an arrival.
  bool WaitFor(int port, Event::Kind kind, Event* out) {
    std::unique_lock lock(mutex_);
    bool found = false;
    cv_.wait_for(lock, std::chrono::seconds(10), [&] {
      for (auto it = events_.begin(); it != events_.end(); ++it) {
        const bool match = it->port == port &&
                           (it->kind == kind ||
                            (kind == Event::Kind::Plugged && it->kind == Event::Kind::Refused));
        if (match) {
          *out = *it;
          events_.erase(it);
          found = true;
          return true;
        }
      }
      return false;
    });
    return found && out->kind == kind;
  }

  std::unique_ptr<hk::usb::LibusbWatcher> watcher_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Event> events_;
  std::map<hk::DeviceObject*, int> numbers_;
};

}  // namespace
}  // namespace towertest

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  towertest::UseTowerBus(std::make_unique<towertest::LibusbBus>());
  return RUN_ALL_TESTS();
}
