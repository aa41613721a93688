#include "usb/libusb/watcher.h"

#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "kernel/machine.h"
#include "usb/libusb/device.h"

namespace hk::usb {

namespace {

int LIBUSB_CALL Hotplug(libusb_context*, libusb_device* device, libusb_hotplug_event event,
                        void* self) {
  static_cast<LibusbWatcher*>(self)->Heard(event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED,
                                           libusb_ref_device(device));
  return 0;
}

}  // namespace

LibusbWatcher::LibusbWatcher(Machine& machine) : LibusbWatcher(machine, Options{}) {}

LibusbWatcher::LibusbWatcher(Machine& machine, Options options)
    : machine_(machine), options_(options) {}

LibusbWatcher::~LibusbWatcher() { Stop(); }

bool LibusbWatcher::Start(std::string* error) {
  if (started_) return true;
  int r = libusb_init(&ctx_);
  if (r != 0) {
    if (error != nullptr) *error = std::string("libusb could not start: ") + libusb_strerror(r);
    ctx_ = nullptr;
    return false;
  }
  if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
    if (error != nullptr) *error = "this libusb cannot report devices arriving and leaving";
    libusb_exit(ctx_);
    ctx_ = nullptr;
    return false;
  }
  started_ = true;
  {
    std::lock_guard lock(mutex_);
    stopping_ = false;
  }
  eventsStop_.store(false);
  worker_ = std::thread([this] { Work(); });
  // Towers already there are reported inside the registration.
  r = libusb_hotplug_register_callback(
      ctx_, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
      LIBUSB_HOTPLUG_ENUMERATE, options_.vendor, options_.product, LIBUSB_HOTPLUG_MATCH_ANY,
      Hotplug, this, &callback_);
  if (r != 0) {
    if (error != nullptr)
      *error = std::string("libusb cannot watch for devices: ") + libusb_strerror(r);
    callback_ = 0;
    Stop();
    return false;
  }
  events_ = std::thread([this] { EventLoop(); });
  return true;
}

void LibusbWatcher::Stop() {
  if (!started_) return;
  if (callback_ != 0) libusb_hotplug_deregister_callback(ctx_, callback_);
  callback_ = 0;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  cv_.notify_all();
  worker_.join();
  for (const Report& r : reports_) libusb_unref_device(r.device);
  reports_.clear();

  // Our towers leave the machine's bus as if unplugged; what they held
  // fails, and libusb hands back each transfer on the event thread.
  for (Known& k : known_) {
    k.model->Left();
    left_.push_back(k.model);
    libusb_unref_device(k.device);
  }
  known_.clear();
  machine_.SettlePnp();
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (auto& model : left_) {
    while (!model->Close() && std::chrono::steady_clock::now() < limit)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!model->Close())
      std::fprintf(stderr, "libusb kept %zu transfers of a tower; its handle stays open\n",
                   model->InFlight());
  }
  left_.clear();
  if (events_.joinable()) {
    eventsStop_.store(true);
    libusb_interrupt_event_handler(ctx_);
    events_.join();
  }
  libusb_exit(ctx_);
  ctx_ = nullptr;
  started_ = false;
  std::lock_guard lock(mutex_);
  present_ = 0;
}

void LibusbWatcher::Settle() {
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [this] { return reports_.empty() && !busy_; });
}

void LibusbWatcher::SetObserver(std::function<void(const Event&)> observer) {
  std::lock_guard lock(mutex_);
  observer_ = std::move(observer);
}

size_t LibusbWatcher::Present() {
  std::lock_guard lock(mutex_);
  return present_;
}

std::vector<LibusbWatcher::Event> LibusbWatcher::Refusals() {
  std::lock_guard lock(mutex_);
  return refusals_;
}

void LibusbWatcher::Heard(bool arrived, libusb_device* device) {
  {
    std::lock_guard lock(mutex_);
    reports_.push_back({arrived, device});
  }
  cv_.notify_all();
}

void LibusbWatcher::EventLoop() {
  while (!eventsStop_.load()) {
    timeval tv{0, 200'000};
    libusb_handle_events_timeout_completed(ctx_, &tv, nullptr);
  }
}

void LibusbWatcher::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    cv_.wait(lock, [this] { return stopping_ || !reports_.empty(); });
    if (stopping_) return;
    const Report report = reports_.front();
    reports_.pop_front();
    busy_ = true;
    lock.unlock();
    if (report.arrived) {
      Arrive(report.device);
    } else {
      Leave(report.device);
    }
    // Towers that left give back their handles once libusb is done with them.
    left_.erase(std::remove_if(left_.begin(), left_.end(), [](auto& m) { return m->Close(); }),
                left_.end());
    lock.lock();
    busy_ = false;
    cv_.notify_all();
  }
}

void LibusbWatcher::Arrive(libusb_device* device) {
  // A tower already there may be reported twice: at the registration and by
  // the event loop.
  const bool known = std::any_of(known_.begin(), known_.end(),
                                 [device](const Known& k) { return k.device == device; });
  if (known) {
    libusb_unref_device(device);
    return;
  }
  Event e{Event::Kind::Plugged};
  e.bus = libusb_get_bus_number(device);
  e.address = libusb_get_device_address(device);
  e.port = libusb_get_port_number(device);
  libusb_device_handle* handle = nullptr;
  int r = libusb_open(device, &handle);
  if (r == 0) {
    // Whatever the system bound to the interface lets go of it while we hold it.
    libusb_set_auto_detach_kernel_driver(handle, 1);
    r = libusb_claim_interface(handle, 0);
    if (r != 0) libusb_close(handle);
  }
  if (r != 0) {
    e.kind = Event::Kind::Refused;
    e.libusbError = r;
    {
      std::lock_guard lock(mutex_);
      refusals_.push_back(e);
    }
    libusb_unref_device(device);
    Notify(e);
    return;
  }
  auto model = std::make_shared<LibusbDevice>(handle);
  e.physical = machine_.PlugUsb(model, "", &e.status);
  if (e.physical == nullptr) {
    e.kind = Event::Kind::Refused;
    model->Left();
    left_.push_back(model);
    libusb_unref_device(device);
    Notify(e);
    return;
  }
  known_.push_back({device, model, e});
  {
    std::lock_guard lock(mutex_);
    ++present_;
  }
  Notify(e);
}

void LibusbWatcher::Leave(libusb_device* device) {
  auto it = std::find_if(known_.begin(), known_.end(),
                         [device](const Known& k) { return k.device == device; });
  if (it == known_.end()) {
    // One that could not be opened is forgotten with its refusal.
    std::lock_guard lock(mutex_);
    const uint8_t bus = libusb_get_bus_number(device);
    const uint8_t address = libusb_get_device_address(device);
    refusals_.erase(
        std::remove_if(refusals_.begin(), refusals_.end(),
                       [&](const Event& e) { return e.bus == bus && e.address == address; }),
        refusals_.end());
    libusb_unref_device(device);
    return;
  }
  Known k = std::move(*it);
  known_.erase(it);
  // A surprise removal: the stack takes the device off its bus on the
  // Plug and Play thread; the observer hears of it once that is done.
  k.model->Left();
  machine_.SettlePnp();
  left_.push_back(k.model);
  {
    std::lock_guard lock(mutex_);
    --present_;
  }
  Event e = k.arrival;
  e.kind = Event::Kind::Left;
  libusb_unref_device(k.device);
  libusb_unref_device(device);
  Notify(e);
}

void LibusbWatcher::Notify(const Event& event) {
  std::function<void(const Event&)> observer;
  {
    std::lock_guard lock(mutex_);
    observer = observer_;
  }
  if (observer) observer(event);
}

}  // namespace hk::usb
