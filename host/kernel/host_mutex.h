// The lock of the host machine's own short critical sections (the USB stack,
// the bus, request tracking, the simulated tower): one word, taken by one
// atomic operation when free, and released by one that calls the system only
// when a thread sleeps on it. A std::mutex costs several times that on every
// packet. Wholly inline, so that code built without the host kernel (the
// simulated tower, which the libusb-1.0 stand-in carries alone) can use it.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

// Which sanitizer the host is built with: gcc names them in macros of its
// own, clang only through __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define HK_ADDRESS_SANITIZER 1
#endif
#if defined(__SANITIZE_THREAD__)
#define HK_THREAD_SANITIZER 1
#endif
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HK_ADDRESS_SANITIZER 1
#endif
#if __has_feature(thread_sanitizer)
#define HK_THREAD_SANITIZER 1
#endif
#endif

// A call to ThreadSanitizer's lock hooks, compiled only where they exist.
#if defined(HK_THREAD_SANITIZER)
#include <sanitizer/tsan_interface.h>
#define HK_TSAN_HOOK(call) call
#else
#define HK_TSAN_HOOK(call) static_cast<void>(0)
#endif

namespace hk {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
                  std::atomic<uint32_t>::is_always_lock_free,
              "the futex calls take a lock's or an event's word by address");

inline uint32_t* FutexWord(std::atomic<uint32_t>& word) {
  return reinterpret_cast<uint32_t*>(&word);
}

// States: 0 free, 1 held, 2 held with sleepers possible. Not recursive.
// ThreadSanitizer is told of every acquisition and release, so it judges the
// lock's order and its happens-before as it does a std::mutex's.
class HostMutex {
 public:
  HostMutex() { HK_TSAN_HOOK(__tsan_mutex_create(this, __tsan_mutex_not_static)); }
  ~HostMutex() { HK_TSAN_HOOK(__tsan_mutex_destroy(this, __tsan_mutex_not_static)); }
  HostMutex(const HostMutex&) = delete;
  HostMutex& operator=(const HostMutex&) = delete;

  void lock() {
    HK_TSAN_HOOK(__tsan_mutex_pre_lock(this, 0));
    uint32_t seen = 0;
    if (!word_.compare_exchange_strong(seen, 1, std::memory_order_acquire)) LockSlow(seen);
    HK_TSAN_HOOK(__tsan_mutex_post_lock(this, 0, 0));
  }
  bool try_lock() {
    HK_TSAN_HOOK(__tsan_mutex_pre_lock(this, __tsan_mutex_try_lock));
    uint32_t seen = 0;
    const bool taken = word_.compare_exchange_strong(seen, 1, std::memory_order_acquire);
    HK_TSAN_HOOK(__tsan_mutex_post_lock(
        this, taken ? __tsan_mutex_try_lock : __tsan_mutex_try_lock | __tsan_mutex_try_lock_failed,
        0));
    return taken;
  }
  void unlock() {
    HK_TSAN_HOOK(__tsan_mutex_pre_unlock(this, 0));
    // Like an event's Set, the wake-up call touches only the word's address:
    // a thread that takes the lock meanwhile may free it.
    uint32_t* const address = FutexWord(word_);
    if (word_.exchange(0, std::memory_order_release) == 2)
      syscall(SYS_futex, address, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    HK_TSAN_HOOK(__tsan_mutex_post_unlock(this, 0));
  }

 private:
  void LockSlow(uint32_t seen) {
    // Marked as having sleepers before each sleep, so that the holder's
    // release wakes one; a thread that takes it this way keeps the mark,
    // which costs at most one needless wake-up call.
    if (seen != 2) seen = word_.exchange(2, std::memory_order_acquire);
    while (seen != 0) {
      syscall(SYS_futex, FutexWord(word_), FUTEX_WAIT_PRIVATE, 2u, nullptr, nullptr, 0);
      seen = word_.exchange(2, std::memory_order_acquire);
    }
  }

  std::atomic<uint32_t> word_{0};
};

}  // namespace hk

#undef HK_TSAN_HOOK
