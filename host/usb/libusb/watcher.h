// The host USB bus over libusb-1.0: towers that libusb's hot-plug reports
// arriving become devices on a host controller's port of the machine; when
// libusb reports one leaving, the machine sees a surprise removal. A thread
// runs libusb's events (every transfer completes there); another carries out
// arrivals and departures in the order libusb reported them, because a plug
// starts the driver, whose requests need the event thread.
//
// Stop it before the machine shuts down: it takes its towers off the bus,
// waits until libusb has handed back every transfer, closes the handles and
// ends libusb.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tower/ntstatus.h"

struct libusb_context;
struct libusb_device;

namespace hk {

class Machine;
struct DeviceObject;

namespace usb {

class LibusbDevice;

class LibusbWatcher {
 public:
  struct Options {
    uint16_t vendor = 0x0F5C;
    uint16_t product = 0x0001;
  };
  // What the watcher carried out, as observers hear it (on its own thread).
  struct Event {
    enum class Kind : uint8_t {
      Plugged,  // the device is on the machine's bus: physical, status of its start
      Refused,  // libusb could not open it or claim its interface: libusbError
      Left,     // it left, and the machine has taken it off its bus
    } kind;
    uint8_t bus = 0;
    uint8_t address = 0;
    uint8_t port = 0;  // libusb's port number on its hub
    DeviceObject* physical = nullptr;
    tower::NTSTATUS status = tower::STATUS_SUCCESS;
    int libusbError = 0;
  };

  explicit LibusbWatcher(Machine& machine);
  LibusbWatcher(Machine& machine, Options options);
  ~LibusbWatcher();
  LibusbWatcher(const LibusbWatcher&) = delete;
  LibusbWatcher& operator=(const LibusbWatcher&) = delete;

  // Starts libusb, the watch and both threads. False (with the reason in
  // `error`) when libusb cannot start or has no hot-plug support.
  bool Start(std::string* error);
  void Stop();
  // Waits until every hot-plug report heard so far has been carried out.
  void Settle();
  // Runs for each event carried out, on the watcher's thread.
  void SetObserver(std::function<void(const Event&)> observer);
  // Towers on the machine's bus now, and the ones libusb could not open.
  size_t Present();
  std::vector<Event> Refusals();

  // libusb's hot-plug callback lands here (on the event thread, or inside
  // the registration for the towers already there); `device` is referenced.
  void Heard(bool arrived, libusb_device* device);

 private:
  struct Known {
    libusb_device* device;  // one reference
    std::shared_ptr<LibusbDevice> model;
    Event arrival;
  };
  struct Report {
    bool arrived;
    libusb_device* device;  // one reference
  };
  void EventLoop();
  void Work();
  void Arrive(libusb_device* device);
  void Leave(libusb_device* device);
  void Notify(const Event& event);

  Machine& machine_;
  Options options_;
  libusb_context* ctx_ = nullptr;
  int callback_ = 0;
  bool started_ = false;

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Report> reports_;
  bool busy_ = false;
  bool stopping_ = false;
  std::atomic<bool> eventsStop_{false};
  std::vector<Known> known_;                         // on the bus (the worker's alone)
  std::vector<std::shared_ptr<LibusbDevice>> left_;  // gone, handle open until drained
  std::vector<Event> refusals_;
  size_t present_ = 0;
  std::function<void(const Event&)> observer_;

  std::thread events_;
  std::thread worker_;
};

}  // namespace usb
}  // namespace hk
