// A port that records what the tower completes, for tests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "usb/model.h"

namespace sim_test {

using hk::usb::Transfer;

class FakePort : public hk::usb::Port {
 public:
  struct Record {
    Transfer* transfer;
    hk::usb::NTSTATUS status;
    uint32_t usbdStatus;
    uint32_t actual;
    std::vector<uint8_t> data;  // the first `actual` bytes of the buffer, at completion
  };

  void Complete(Transfer* t, hk::usb::NTSTATUS status, uint32_t usbdStatus,
                uint32_t actual) override {
    std::lock_guard lock(mutex_);
    t->status = status;
    t->usbdStatus = usbdStatus;
    t->actual = actual;
    std::vector<uint8_t> data;
    if (t->buffer != nullptr) data.assign(t->buffer, t->buffer + actual);
    records_.push_back({t, status, usbdStatus, actual, std::move(data)});
    if (scope_ != nullptr && scope_->open > 0) ++inScope_;
    changed_.notify_all();
  }
  void Vanish() override {
    std::lock_guard lock(mutex_);
    ++vanished_;
  }
  // Offers the model a caller scope that notes what happens in it.
  class Scope final : public hk::usb::CallerCompletions {
   public:
    void Open() override { ++open; }
    void Close() override {
      --open;
      ++closed;
    }
    int open = 0;
    int closed = 0;
  };
  hk::usb::CallerCompletions* Completions() override { return scope_; }
  void OfferScope(Scope* scope) { scope_ = scope; }
  // Completions made while the offered scope was open.
  int CompletedInScope() const {
    std::lock_guard lock(mutex_);
    return inScope_;
  }

  // True once `t` has been completed since it was last marked pending (every
  // new Transfer is).
  bool WaitFor(const Transfer* t,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return t->status != tower::STATUS_PENDING; });
  }
  int CountFor(const Transfer* t) const {
    std::lock_guard lock(mutex_);
    return CountLocked(t);
  }
  std::vector<Record> Records() const {
    std::lock_guard lock(mutex_);
    return records_;
  }
  int Vanished() const {
    std::lock_guard lock(mutex_);
    return vanished_;
  }

 private:
  int CountLocked(const Transfer* t) const {
    int n = 0;
    for (const Record& r : records_) n += r.transfer == t;
    return n;
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Record> records_;
  int vanished_ = 0;
  Scope* scope_ = nullptr;
  int inScope_ = 0;
};

}  // namespace sim_test
