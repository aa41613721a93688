// The libusb-1.0 stand-in over simulated towers (see standin.h).
#include "sim/libusb/standin.h"

#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <new>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "tower/ntstatus.h"

#define API extern "C" __attribute__((visibility("default")))

namespace {

using Clock = std::chrono::steady_clock;
using hk::usb::Transfer;
using hk::usb::TransferKind;

struct Slot;

// The tower's side of the bus: completions go to the context that submitted
// the transfer, as its event.
class SlotPort final : public hk::usb::Port {
 public:
  explicit SlotPort(int number) : number_(number) {}
  void Complete(Transfer* transfer, tower::NTSTATUS status, uint32_t usbdStatus,
                uint32_t actual) override;
  void Vanish() override;

 private:
  int number_;
};

// One plugged tower, shared by every context's device for it.
struct Slot {
  explicit Slot(int n) : number(n), port(n) {}
  int number;
  uint8_t address = 0;
  std::shared_ptr<sim::TowerModel> model;
  SlotPort port;
  // Held across the presence check and the hand-over of a transfer to the
  // model, and by the unplug: a transfer either reaches the model before it
  // lets go (and is failed by it) or finds the tower gone.
  std::mutex submitMutex;
  bool present = true;  // under submitMutex
  int refuseOpen = 0;   // a libusb error libusb_open returns; under the bus mutex
};

enum class State : uint8_t { Idle, Flying, Finished };

// What the library keeps beside each libusb_transfer, in front of it in the
// same allocation (as libusb itself does). Transfer comes first: the model
// hands back the Transfer pointer, and the record is found from it.
struct Record {
  Transfer t;
  libusb_context* ctx;
  Slot* slot;  // alive while the transfer flies: its handle holds the device
  State state;
  bool local;  // answered by the bus, not the model
  bool cancelling;
  bool timedOut;
  bool hasDeadline;
  Clock::time_point deadline;
  libusb_transfer_status result;
  int actual;
};
static_assert(std::is_standard_layout_v<Record>);
constexpr size_t kHeader =
    (sizeof(Record) + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);

libusb_transfer* Public(Record* r) {
  return reinterpret_cast<libusb_transfer*>(reinterpret_cast<char*>(r) + kHeader);
}
Record* RecordOf(libusb_transfer* p) {
  return reinterpret_cast<Record*>(reinterpret_cast<char*>(p) - kHeader);
}

struct Callback {
  int handle;
  int events;
  int flags;
  int vendor;
  int product;
  int deviceClass;
  libusb_hotplug_callback_fn fn;
  void* user;
  bool removed;
};

struct Event {
  enum Kind : uint8_t { Arrived, Left, Done } kind;
  libusb_device* device;  // Arrived, Left: one reference, dropped after delivery
  Record* record;         // Done
};

}  // namespace

struct libusb_context {
  std::mutex mutex;  // after the bus mutex and a model's locks
  std::condition_variable cv;
  std::vector<libusb_device*> devices;  // present, one reference each
  std::vector<Callback> callbacks;
  int nextCallback = 1;
  std::deque<Event> events;
  std::vector<Record*> flying;
  bool interrupted = false;
  bool wake = false;
  // One thread delivers events at a time, as libusb's event lock does.
  std::mutex delivering;
  int defaultRefs = 0;
};

struct libusb_device {
  std::atomic<int> refs{1};
  libusb_context* ctx = nullptr;
  std::shared_ptr<Slot> slot;
};

struct libusb_device_handle {
  libusb_device* device = nullptr;
  uint32_t claimed = 0;  // under the context's mutex
};

namespace {

// The process-wide bus: the towers plugged in and the contexts that watch it.
struct Bus {
  std::mutex control;  // one plug, unplug or reset at a time; before mutex
  std::mutex mutex;    // slots, contexts, vanishing, nextAddress
  std::map<int, std::shared_ptr<Slot>> slots;
  std::vector<libusb_context*> contexts;
  std::vector<int> vanishing;  // towers that dropped off by themselves
  uint8_t nextAddress = 2;
  int lastPlugged = 0;
  std::map<int, int> refusals;  // tower number -> libusb error of libusb_open
  std::atomic<size_t> inFlight{0};
  // The control directory, polled from the event loop.
  std::mutex pollMutex;
  bool dirRead = false;
  std::string dir;
  std::atomic<bool> polling{false};  // a control directory is named
  Clock::time_point nextPoll{};
  libusb_context* defaultContext = nullptr;  // under mutex
};

Bus& TheBus() {
  // Never destroyed: contexts and threads may outlive static destruction.
  static Bus* bus = new Bus;
  return *bus;
}

// ---------------------------------------------------------------- helpers

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

void Notify(libusb_context* ctx) {
  {
    std::lock_guard lock(ctx->mutex);
    ctx->wake = true;
  }
  ctx->cv.notify_all();
}

libusb_context* ContextOf(libusb_context* ctx) {
  if (ctx != nullptr) return ctx;
  std::lock_guard lock(TheBus().mutex);
  return TheBus().defaultContext;
}

libusb_transfer_status StatusOf(tower::NTSTATUS status, uint32_t usbd, bool timedOut) {
  if (tower::NtSuccess(status) && usbd == hk::usb::USBD_STATUS_SUCCESS)
    return LIBUSB_TRANSFER_COMPLETED;
  switch (usbd) {
    case hk::usb::USBD_STATUS_CANCELED:
      return timedOut ? LIBUSB_TRANSFER_TIMED_OUT : LIBUSB_TRANSFER_CANCELLED;
    case hk::usb::USBD_STATUS_DEVICE_GONE:
      return LIBUSB_TRANSFER_NO_DEVICE;
    case hk::usb::USBD_STATUS_STALL_PID:
      return LIBUSB_TRANSFER_STALL;
    default:
      return tower::NtSuccess(status) ? LIBUSB_TRANSFER_COMPLETED : LIBUSB_TRANSFER_ERROR;
  }
}

void SlotPort::Complete(Transfer* transfer, tower::NTSTATUS status, uint32_t usbdStatus,
                        uint32_t actual) {
  Record* r = reinterpret_cast<Record*>(transfer);
  libusb_context* ctx = r->ctx;
  {
    std::lock_guard lock(ctx->mutex);
    if (r->state != State::Flying) {
      std::fprintf(stderr, "libusb stand-in: tower %d completed a transfer twice\n", number_);
      return;
    }
    r->state = State::Finished;
    r->result = StatusOf(status, usbdStatus, r->timedOut);
    r->actual = static_cast<int>(actual);
    ctx->flying.erase(std::find(ctx->flying.begin(), ctx->flying.end(), r));
    ctx->events.push_back({Event::Done, nullptr, r});
  }
  ctx->cv.notify_all();
}

void SlotPort::Vanish() {
  // Called under the model's locks: the unplug itself waits for the event loop.
  Bus& bus = TheBus();
  std::lock_guard lock(bus.mutex);
  bus.vanishing.push_back(number_);
  for (libusb_context* ctx : bus.contexts) Notify(ctx);
}

// Under the bus mutex: the context learns of a plugged tower.
void AddDevice(libusb_context* ctx, const std::shared_ptr<Slot>& slot, bool announce) {
  auto* dev = new libusb_device;
  dev->ctx = ctx;
  dev->slot = slot;
  {
    std::lock_guard lock(ctx->mutex);
    ctx->devices.push_back(dev);
    if (announce) {
      dev->refs.fetch_add(1);
      ctx->events.push_back({Event::Arrived, dev, nullptr});
      ctx->wake = true;
    }
  }
  ctx->cv.notify_all();
}

// Under the bus mutex: the context's device for the slot leaves; the event
// takes over the context's reference.
void RemoveDevice(libusb_context* ctx, const Slot* slot) {
  {
    std::lock_guard lock(ctx->mutex);
    auto it = std::find_if(ctx->devices.begin(), ctx->devices.end(),
                           [slot](libusb_device* d) { return d->slot.get() == slot; });
    if (it == ctx->devices.end()) return;
    ctx->events.push_back({Event::Left, *it, nullptr});
    ctx->devices.erase(it);
    ctx->wake = true;
  }
  ctx->cv.notify_all();
}

void WriteStatus() {
  Bus& bus = TheBus();
  std::string dir;
  {
    std::lock_guard lock(bus.pollMutex);
    dir = bus.dir;
  }
  if (dir.empty()) return;
  std::ostringstream text;
  {
    std::lock_guard lock(bus.mutex);
    for (const auto& [number, slot] : bus.slots)
      text << number << " bus 1 address " << int(slot->address) << " port " << number << "\n";
  }
  const std::string tmp = dir + "/.status.tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << text.str();
  }
  std::error_code ec;
  std::filesystem::rename(tmp, dir + "/status", ec);
}

std::shared_ptr<sim::TowerModel> PlugLocked(int number, const sim::TowerOptions& options) {
  Bus& bus = TheBus();
  std::shared_ptr<Slot> slot;
  {
    std::lock_guard lock(bus.mutex);
    if (number == 0) {
      for (int n = 1; n <= standin::kMaxTowers && number == 0; ++n)
        if (bus.slots.count(n) == 0) number = n;
    }
    if (number < 1 || number > standin::kMaxTowers || bus.slots.count(number) != 0) return nullptr;
    slot = std::make_shared<Slot>(number);
    slot->address = bus.nextAddress;
    bus.nextAddress = static_cast<uint8_t>(bus.nextAddress >= 127 ? 2 : bus.nextAddress + 1);
  }
  slot->model = std::make_shared<sim::TowerModel>(options);
  slot->model->Attach(&slot->port);
  // The operating system configures a device it enumerates (Linux takes the
  // first configuration), so libusb finds it configured.
  slot->model->SetConfiguration(1);
  {
    std::lock_guard lock(bus.mutex);
    bus.slots[number] = slot;
    bus.lastPlugged = number;
    for (libusb_context* ctx : bus.contexts) AddDevice(ctx, slot, true);
  }
  return slot->model;
}

bool UnplugLocked(int number) {
  Bus& bus = TheBus();
  std::shared_ptr<Slot> slot;
  {
    std::lock_guard lock(bus.mutex);
    auto it = bus.slots.find(number);
    if (it == bus.slots.end()) return false;
    slot = it->second;
    bus.slots.erase(it);
  }
  {
    std::lock_guard submit(slot->submitMutex);
    slot->present = false;
    // What the tower held fails through the port: NO_DEVICE for each.
    slot->model->Attach(nullptr);
  }
  std::lock_guard lock(bus.mutex);
  for (libusb_context* ctx : bus.contexts) RemoveDevice(ctx, slot.get());
  return true;
}

void TakeVanished() {
  Bus& bus = TheBus();
  std::vector<int> vanished;
  {
    std::lock_guard lock(bus.mutex);
    vanished.swap(bus.vanishing);
  }
  if (vanished.empty()) return;
  {
    std::lock_guard control(bus.control);
    for (int n : vanished) UnplugLocked(n);
  }
  WriteStatus();
}

// Carries out the command files of the control directory, if it is time.
void PollControlDir(bool now) {
  Bus& bus = TheBus();
  std::string dir;
  {
    std::unique_lock lock(bus.pollMutex, std::try_to_lock);
    if (!lock.owns_lock()) return;
    if (!bus.dirRead) {
      bus.dirRead = true;
      if (const char* env = std::getenv(standin::kControlDirVariable)) bus.dir = env;
      bus.polling.store(!bus.dir.empty());
    }
    if (bus.dir.empty()) return;
    const Clock::time_point t = Clock::now();
    if (!now && t < bus.nextPoll) return;
    bus.nextPoll = t + std::chrono::milliseconds(50);
    dir = bus.dir;
  }
  namespace fs = std::filesystem;
  std::error_code ec;
  struct Command {
    fs::file_time_type time;
    std::string name;
    fs::path path;
  };
  std::vector<Command> commands;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.rfind("plug-", 0) != 0 && name.rfind("unplug-", 0) != 0) continue;
    std::error_code timeError;
    commands.push_back({fs::last_write_time(it->path(), timeError), name, it->path()});
  }
  if (commands.empty()) return;
  std::sort(commands.begin(), commands.end(), [](const Command& a, const Command& b) {
    return a.time != b.time ? a.time < b.time : a.name < b.name;
  });
  for (const Command& c : commands) {
    const bool plug = c.name[0] == 'p';
    const int number = std::atoi(c.name.c_str() + (plug ? 5 : 7));
    std::string words;
    {
      std::ifstream in(c.path);
      std::getline(in, words, '\0');
    }
    fs::remove(c.path, ec);
    if (plug) {
      sim::TowerOptions options;
      if (words.find("silent") != std::string::npos) options.farSide = sim::FarSide::Silence;
      if (words.find("instant") != std::string::npos) options.linkDelay = false;
      standin::RefuseOpen(number,
                          words.find("denied") != std::string::npos ? LIBUSB_ERROR_ACCESS : 0);
      standin::Plug(number, options);
    } else {
      standin::Unplug(number);
    }
  }
}

// ---------------------------------------------------------------- descriptors

struct ConfigHolder {
  libusb_config_descriptor config{};
  std::vector<uint8_t> raw;
  std::vector<libusb_interface> interfaces;
  std::vector<std::vector<libusb_interface_descriptor>> alternates;
  std::vector<std::vector<std::vector<libusb_endpoint_descriptor>>> endpoints;
};

std::mutex holdersMutex;
std::map<const libusb_config_descriptor*, ConfigHolder*>& Holders() {
  static auto* holders = new std::map<const libusb_config_descriptor*, ConfigHolder*>;
  return *holders;
}

int ParseConfig(std::vector<uint8_t> raw, libusb_config_descriptor** out) {
  if (raw.size() < 9 || raw[1] != LIBUSB_DT_CONFIG) return LIBUSB_ERROR_NOT_FOUND;
  auto* h = new ConfigHolder;
  h->raw = std::move(raw);
  const uint8_t* d = h->raw.data();
  libusb_config_descriptor& c = h->config;
  c.bLength = d[0];
  c.bDescriptorType = d[1];
  c.wTotalLength = Le16(d + 2);
  c.bNumInterfaces = d[4];
  c.bConfigurationValue = d[5];
  c.iConfiguration = d[6];
  c.bmAttributes = d[7];
  c.MaxPower = d[8];
  // Interfaces in the order of their first descriptor; each alternate
  // setting with the endpoints that follow it.
  std::vector<uint8_t> numbers;
  int inInterface = -1;
  int inAlternate = -1;
  size_t at = d[0];
  while (at + 2 <= h->raw.size()) {
    const uint8_t length = h->raw[at];
    if (length < 2 || at + length > h->raw.size()) break;
    const uint8_t* p = h->raw.data() + at;
    if (p[1] == LIBUSB_DT_INTERFACE && length >= 9) {
      auto pos = std::find(numbers.begin(), numbers.end(), p[2]);
      if (pos == numbers.end()) {
        numbers.push_back(p[2]);
        h->alternates.emplace_back();
        h->endpoints.emplace_back();
        pos = numbers.end() - 1;
      }
      inInterface = static_cast<int>(pos - numbers.begin());
      libusb_interface_descriptor a{};
      a.bLength = p[0];
      a.bDescriptorType = p[1];
      a.bInterfaceNumber = p[2];
      a.bAlternateSetting = p[3];
      a.bNumEndpoints = p[4];
      a.bInterfaceClass = p[5];
      a.bInterfaceSubClass = p[6];
      a.bInterfaceProtocol = p[7];
      a.iInterface = p[8];
      h->alternates[inInterface].push_back(a);
      h->endpoints[inInterface].emplace_back();
      inAlternate = static_cast<int>(h->alternates[inInterface].size()) - 1;
    } else if (p[1] == LIBUSB_DT_ENDPOINT && length >= 7 && inInterface >= 0) {
      libusb_endpoint_descriptor e{};
      e.bLength = p[0];
      e.bDescriptorType = p[1];
      e.bEndpointAddress = p[2];
      e.bmAttributes = p[3];
      e.wMaxPacketSize = Le16(p + 4);
      e.bInterval = p[6];
      h->endpoints[inInterface][inAlternate].push_back(e);
    }
    at += length;
  }
  // Every vector is complete now, so the pointers into them stay valid.
  h->interfaces.resize(numbers.size());
  for (size_t i = 0; i < numbers.size(); ++i) {
    for (size_t a = 0; a < h->alternates[i].size(); ++a) {
      auto& eps = h->endpoints[i][a];
      h->alternates[i][a].endpoint = eps.empty() ? nullptr : eps.data();
      h->alternates[i][a].bNumEndpoints = static_cast<uint8_t>(eps.size());
    }
    h->interfaces[i].altsetting = h->alternates[i].data();
    h->interfaces[i].num_altsetting = static_cast<int>(h->alternates[i].size());
  }
  c.interface = h->interfaces.empty() ? nullptr : h->interfaces.data();
  c.bNumInterfaces = static_cast<uint8_t>(h->interfaces.size());
  {
    std::lock_guard lock(holdersMutex);
    Holders()[&h->config] = h;
  }
  *out = &h->config;
  return LIBUSB_SUCCESS;
}

// The index of the configuration with this value, or -1.
int IndexOfConfiguration(sim::TowerModel& model, uint8_t value) {
  const std::vector<uint8_t> device = model.DeviceDescriptor();
  const uint8_t count = device.size() >= 18 ? device[17] : 0;
  for (uint8_t i = 0; i < count; ++i) {
    const std::vector<uint8_t> c = model.ConfigurationDescriptor(i);
    if (c.size() >= 9 && c[5] == value) return i;
  }
  return -1;
}

bool Present(Slot* slot) {
  std::lock_guard lock(slot->submitMutex);
  return slot->present;
}

// ---------------------------------------------------------------- events

void DeliverHotplug(libusb_context* ctx, libusb_device* dev, libusb_hotplug_event event) {
  const std::vector<uint8_t> d = dev->slot->model->DeviceDescriptor();
  const int vendor = Le16(d.data() + 8);
  const int product = Le16(d.data() + 10);
  const int cls = d[4];
  std::vector<Callback> callbacks;
  {
    std::lock_guard lock(ctx->mutex);
    callbacks = ctx->callbacks;
  }
  for (const Callback& cb : callbacks) {
    {
      // Deregistered by an earlier callback of this round.
      std::lock_guard lock(ctx->mutex);
      auto it = std::find_if(ctx->callbacks.begin(), ctx->callbacks.end(),
                             [&](const Callback& c) { return c.handle == cb.handle; });
      if (it == ctx->callbacks.end() || it->removed) continue;
    }
    if ((cb.events & event) == 0) continue;
    if (cb.vendor != LIBUSB_HOTPLUG_MATCH_ANY && cb.vendor != vendor) continue;
    if (cb.product != LIBUSB_HOTPLUG_MATCH_ANY && cb.product != product) continue;
    if (cb.deviceClass != LIBUSB_HOTPLUG_MATCH_ANY && cb.deviceClass != cls) continue;
    if (cb.fn(ctx, dev, event, cb.user) != 0) libusb_hotplug_deregister_callback(ctx, cb.handle);
  }
}

void Deliver(libusb_context* ctx, const Event& e) {
  if (e.kind == Event::Done) {
    Record* r = e.record;
    libusb_transfer* p = Public(r);
    {
      std::lock_guard lock(ctx->mutex);
      r->state = State::Idle;
    }
    p->status = r->result;
    p->actual_length = r->actual;
    const uint8_t flags = p->flags;
    TheBus().inFlight.fetch_sub(1);
    if (p->callback != nullptr) p->callback(p);
    if (flags & LIBUSB_TRANSFER_FREE_TRANSFER) libusb_free_transfer(p);
    return;
  }
  DeliverHotplug(ctx, e.device,
                 e.kind == Event::Arrived ? LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED
                                          : LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
  libusb_unref_device(e.device);
}

// Cancels the transfers whose time is up; the earliest deadline left, if any.
bool ExpireTimeouts(libusb_context* ctx, Clock::time_point* next) {
  std::vector<Record*> expired;
  bool any = false;
  {
    std::lock_guard lock(ctx->mutex);
    const Clock::time_point now = Clock::now();
    for (Record* r : ctx->flying) {
      if (!r->hasDeadline || r->cancelling) continue;
      if (r->deadline <= now) {
        r->cancelling = true;
        r->timedOut = true;
        if (!r->local) expired.push_back(r);
      } else if (!any || r->deadline < *next) {
        *next = r->deadline;
        any = true;
      }
    }
  }
  // The records stay valid: only this thread, which delivers, hands them back.
  for (Record* r : expired) r->slot->model->Cancel(&r->t);
  return any;
}

int HandleEvents(libusb_context* ctx, const timeval* tv, int* completed) {
  ctx = ContextOf(ctx);
  if (ctx == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  const Clock::time_point end =
      Clock::now() +
      (tv == nullptr ? std::chrono::microseconds(60'000'000)
                     : std::chrono::seconds(tv->tv_sec) + std::chrono::microseconds(tv->tv_usec));
  std::unique_lock delivering(ctx->delivering);
  for (;;) {
    TakeVanished();
    PollControlDir(false);
    Clock::time_point deadline = end;
    Clock::time_point next;
    if (ExpireTimeouts(ctx, &next)) deadline = std::min(deadline, next);
    std::deque<Event> events;
    {
      std::unique_lock lock(ctx->mutex);
      if (completed != nullptr && *completed) return 0;
      if (ctx->interrupted) {
        ctx->interrupted = false;
        return 0;
      }
      events.swap(ctx->events);
      if (events.empty()) {
        const bool polling = TheBus().polling.load();
        Clock::time_point until = deadline;
        if (polling) until = std::min(until, Clock::now() + std::chrono::milliseconds(50));
        if (Clock::now() >= end) return 0;
        ctx->cv.wait_until(lock, until, [&] {
          return !ctx->events.empty() || ctx->interrupted || ctx->wake ||
                 (completed != nullptr && *completed);
        });
        ctx->wake = false;
        continue;
      }
    }
    for (const Event& e : events) Deliver(ctx, e);
    return 0;
  }
}

// A synchronous transfer over the asynchronous ones, as libusb's own are.
void LIBUSB_CALL SyncDone(libusb_transfer* transfer) {
  // The waiting thread may not be the one delivering: it reads the flag
  // under the context's lock.
  libusb_context* ctx = transfer->dev_handle->device->ctx;
  {
    std::lock_guard lock(ctx->mutex);
    *static_cast<int*>(transfer->user_data) = 1;
  }
  ctx->cv.notify_all();
}

int RunSync(libusb_transfer* t) {
  int done = 0;
  t->user_data = &done;
  t->callback = SyncDone;
  const int r = libusb_submit_transfer(t);
  if (r < 0) return r;
  libusb_context* ctx = t->dev_handle->device->ctx;
  auto finished = [&] {
    std::lock_guard lock(ctx->mutex);
    return done != 0;
  };
  while (!finished()) {
    if (HandleEvents(ctx, nullptr, &done) < 0) {
      libusb_cancel_transfer(t);
      while (!finished()) HandleEvents(ctx, nullptr, &done);
    }
  }
  switch (t->status) {
    case LIBUSB_TRANSFER_COMPLETED:
      return LIBUSB_SUCCESS;
    case LIBUSB_TRANSFER_TIMED_OUT:
      return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_STALL:
      return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_OVERFLOW:
      return LIBUSB_ERROR_OVERFLOW;
    default:
      return LIBUSB_ERROR_IO;
  }
}

// Answers a standard request on endpoint 0 as the bus would; returns the
// bytes of the data stage, or false for a stall.
bool Standard(Slot* slot, const hk::usb::SetupPacket& s, std::vector<uint8_t>* reply) {
  sim::TowerModel& m = *slot->model;
  const uint8_t type = static_cast<uint8_t>(s.wValue >> 8);
  const uint8_t index = static_cast<uint8_t>(s.wValue);
  switch (s.bRequest) {
    case LIBUSB_REQUEST_GET_DESCRIPTOR:
      if ((s.bmRequestType & 0x80) == 0) return false;
      if (type == LIBUSB_DT_DEVICE)
        *reply = m.DeviceDescriptor();
      else if (type == LIBUSB_DT_CONFIG)
        *reply = m.ConfigurationDescriptor(index);
      return !reply->empty();
    case LIBUSB_REQUEST_SET_CONFIGURATION:
      return m.SetConfiguration(index);
    case LIBUSB_REQUEST_GET_CONFIGURATION:
      *reply = {m.Configuration()};
      return true;
    case LIBUSB_REQUEST_GET_STATUS:
      *reply = {0, 0};
      return true;
    case LIBUSB_REQUEST_CLEAR_FEATURE:
      return true;
    case LIBUSB_REQUEST_SET_INTERFACE:
      return s.wValue == 0 && s.wIndex == 0;
    default:
      return false;
  }
}

}  // namespace

// ---------------------------------------------------------------- control API

namespace standin {

std::shared_ptr<sim::TowerModel> Plug(int number, const sim::TowerOptions& options) {
  std::shared_ptr<sim::TowerModel> model;
  {
    std::lock_guard control(TheBus().control);
    model = PlugLocked(number, options);
  }
  if (model) WriteStatus();
  return model;
}

int LastPlugged() {
  std::lock_guard lock(TheBus().mutex);
  return TheBus().lastPlugged;
}

bool Unplug(int number) {
  bool done = false;
  {
    std::lock_guard control(TheBus().control);
    done = UnplugLocked(number);
  }
  if (done) WriteStatus();
  return done;
}

void RefuseOpen(int number, int libusbError) {
  std::lock_guard lock(TheBus().mutex);
  if (libusbError == 0) {
    TheBus().refusals.erase(number);
  } else {
    TheBus().refusals[number] = libusbError;
  }
}

std::shared_ptr<sim::TowerModel> Tower(int number) {
  std::lock_guard lock(TheBus().mutex);
  auto it = TheBus().slots.find(number);
  return it == TheBus().slots.end() ? nullptr : it->second->model;
}

std::vector<int> Plugged() {
  std::vector<int> out;
  std::lock_guard lock(TheBus().mutex);
  for (const auto& entry : TheBus().slots) out.push_back(entry.first);
  return out;
}

size_t TransfersInFlight() { return TheBus().inFlight.load(); }

}  // namespace standin

// ---------------------------------------------------------------- libusb: library

API int LIBUSB_CALL libusb_init(libusb_context** out) {
  Bus& bus = TheBus();
  PollControlDir(true);
  std::lock_guard lock(bus.mutex);
  if (out == nullptr && bus.defaultContext != nullptr) {
    ++bus.defaultContext->defaultRefs;
    return LIBUSB_SUCCESS;
  }
  auto* ctx = new libusb_context;
  for (const auto& entry : bus.slots) AddDevice(ctx, entry.second, false);
  bus.contexts.push_back(ctx);
  if (out == nullptr) {
    ctx->defaultRefs = 1;
    bus.defaultContext = ctx;
  } else {
    *out = ctx;
  }
  return LIBUSB_SUCCESS;
}

API void LIBUSB_CALL libusb_exit(libusb_context* ctx) {
  Bus& bus = TheBus();
  {
    std::lock_guard lock(bus.mutex);
    if (ctx == nullptr) {
      ctx = bus.defaultContext;
      if (ctx == nullptr || --ctx->defaultRefs > 0) return;
      bus.defaultContext = nullptr;
    }
    bus.contexts.erase(std::remove(bus.contexts.begin(), bus.contexts.end(), ctx),
                       bus.contexts.end());
  }
  for (const Event& e : ctx->events)
    if (e.device != nullptr) libusb_unref_device(e.device);
  for (libusb_device* d : ctx->devices) libusb_unref_device(d);
  delete ctx;
}

API int libusb_set_option(libusb_context*, enum libusb_option, ...) { return LIBUSB_SUCCESS; }
API void LIBUSB_CALL libusb_set_debug(libusb_context*, int) {}
API void LIBUSB_CALL libusb_set_log_cb(libusb_context*, libusb_log_cb, int) {}

API const struct libusb_version* LIBUSB_CALL libusb_get_version(void) {
  static const libusb_version version = {1, 0, 26, 0, "", "tower stand-in over simulated towers"};
  return &version;
}

API int LIBUSB_CALL libusb_has_capability(uint32_t capability) {
  return capability == LIBUSB_CAP_HAS_CAPABILITY || capability == LIBUSB_CAP_HAS_HOTPLUG ||
         capability == LIBUSB_CAP_SUPPORTS_DETACH_KERNEL_DRIVER;
}

API const char* LIBUSB_CALL libusb_error_name(int code) {
  switch (code) {
    case LIBUSB_SUCCESS:
      return "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED";
    case LIBUSB_ERROR_IO:
      return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM:
      return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS:
      return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE:
      return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND:
      return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY:
      return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT:
      return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW:
      return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE:
      return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED:
      return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM:
      return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED:
      return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER:
      return "LIBUSB_ERROR_OTHER";
    case LIBUSB_TRANSFER_ERROR:
      return "LIBUSB_TRANSFER_ERROR";
    case LIBUSB_TRANSFER_TIMED_OUT:
      return "LIBUSB_TRANSFER_TIMED_OUT";
    case LIBUSB_TRANSFER_CANCELLED:
      return "LIBUSB_TRANSFER_CANCELLED";
    case LIBUSB_TRANSFER_STALL:
      return "LIBUSB_TRANSFER_STALL";
    case LIBUSB_TRANSFER_NO_DEVICE:
      return "LIBUSB_TRANSFER_NO_DEVICE";
    case LIBUSB_TRANSFER_OVERFLOW:
      return "LIBUSB_TRANSFER_OVERFLOW";
    default:
      return "**UNKNOWN**";
  }
}

API const char* LIBUSB_CALL libusb_strerror(int code) {
  switch (code) {
    case LIBUSB_SUCCESS:
      return "Success";
    case LIBUSB_ERROR_IO:
      return "Input/Output Error";
    case LIBUSB_ERROR_INVALID_PARAM:
      return "Invalid parameter";
    case LIBUSB_ERROR_ACCESS:
      return "Access denied (insufficient permissions)";
    case LIBUSB_ERROR_NO_DEVICE:
      return "No such device (it may have been disconnected)";
    case LIBUSB_ERROR_NOT_FOUND:
      return "Entity not found";
    case LIBUSB_ERROR_BUSY:
      return "Resource busy";
    case LIBUSB_ERROR_TIMEOUT:
      return "Operation timed out";
    case LIBUSB_ERROR_OVERFLOW:
      return "Overflow";
    case LIBUSB_ERROR_PIPE:
      return "Pipe error";
    case LIBUSB_ERROR_INTERRUPTED:
      return "System call interrupted (perhaps due to signal)";
    case LIBUSB_ERROR_NO_MEM:
      return "Insufficient memory";
    case LIBUSB_ERROR_NOT_SUPPORTED:
      return "Operation not supported or unimplemented on this platform";
    default:
      return "Other error";
  }
}

// ---------------------------------------------------------------- libusb: devices

API ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
  ctx = ContextOf(ctx);
  if (ctx == nullptr || list == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  std::lock_guard lock(ctx->mutex);
  auto** out = new libusb_device*[ctx->devices.size() + 1];
  size_t n = 0;
  for (libusb_device* d : ctx->devices) {
    d->refs.fetch_add(1);
    out[n++] = d;
  }
  out[n] = nullptr;
  *list = out;
  return static_cast<ssize_t>(n);
}

API void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unrefDevices) {
  if (list == nullptr) return;
  if (unrefDevices)
    for (libusb_device** d = list; *d != nullptr; ++d) libusb_unref_device(*d);
  delete[] list;
}

API libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev) {
  dev->refs.fetch_add(1);
  return dev;
}

API void LIBUSB_CALL libusb_unref_device(libusb_device* dev) {
  if (dev != nullptr && dev->refs.fetch_sub(1) == 1) delete dev;
}

API int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev,
                                                 struct libusb_device_descriptor* desc) {
  const std::vector<uint8_t> d = dev->slot->model->DeviceDescriptor();
  if (d.size() < 18) return LIBUSB_ERROR_IO;
  desc->bLength = d[0];
  desc->bDescriptorType = d[1];
  desc->bcdUSB = Le16(&d[2]);
  desc->bDeviceClass = d[4];
  desc->bDeviceSubClass = d[5];
  desc->bDeviceProtocol = d[6];
  desc->bMaxPacketSize0 = d[7];
  desc->idVendor = Le16(&d[8]);
  desc->idProduct = Le16(&d[10]);
  desc->bcdDevice = Le16(&d[12]);
  desc->iManufacturer = d[14];
  desc->iProduct = d[15];
  desc->iSerialNumber = d[16];
  desc->bNumConfigurations = d[17];
  return LIBUSB_SUCCESS;
}

API int LIBUSB_CALL libusb_get_config_descriptor(libusb_device* dev, uint8_t index,
                                                 struct libusb_config_descriptor** config) {
  return ParseConfig(dev->slot->model->ConfigurationDescriptor(index), config);
}

API int LIBUSB_CALL libusb_get_config_descriptor_by_value(
    libusb_device* dev, uint8_t value, struct libusb_config_descriptor** config) {
  const int index = IndexOfConfiguration(*dev->slot->model, value);
  if (index < 0) return LIBUSB_ERROR_NOT_FOUND;
  return libusb_get_config_descriptor(dev, static_cast<uint8_t>(index), config);
}

API int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device* dev,
                                                        struct libusb_config_descriptor** config) {
  const uint8_t value = dev->slot->model->Configuration();
  if (value == 0) return LIBUSB_ERROR_NOT_FOUND;
  return libusb_get_config_descriptor_by_value(dev, value, config);
}

API void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor* config) {
  if (config == nullptr) return;
  ConfigHolder* h = nullptr;
  {
    std::lock_guard lock(holdersMutex);
    auto it = Holders().find(config);
    if (it == Holders().end()) return;
    h = it->second;
    Holders().erase(it);
  }
  delete h;
}

API uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device*) { return 1; }
API uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* dev) { return dev->slot->address; }
API uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device* dev) {
  return static_cast<uint8_t>(dev->slot->number);
}
API int LIBUSB_CALL libusb_get_port_numbers(libusb_device* dev, uint8_t* ports, int length) {
  if (length < 1) return LIBUSB_ERROR_OVERFLOW;
  ports[0] = static_cast<uint8_t>(dev->slot->number);
  return 1;
}
API libusb_device* LIBUSB_CALL libusb_get_parent(libusb_device*) { return nullptr; }
API int LIBUSB_CALL libusb_get_device_speed(libusb_device*) { return LIBUSB_SPEED_FULL; }

API int LIBUSB_CALL libusb_get_max_packet_size(libusb_device* dev, unsigned char endpoint) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(dev, &config) != 0) return LIBUSB_ERROR_NOT_FOUND;
  int size = LIBUSB_ERROR_NOT_FOUND;
  for (int i = 0; i < config->bNumInterfaces; ++i)
    for (int a = 0; a < config->interface[i].num_altsetting; ++a) {
      const libusb_interface_descriptor& alt = config->interface[i].altsetting[a];
      for (int e = 0; e < alt.bNumEndpoints; ++e)
        if (alt.endpoint[e].bEndpointAddress == endpoint) size = alt.endpoint[e].wMaxPacketSize;
    }
  libusb_free_config_descriptor(config);
  return size;
}

// ---------------------------------------------------------------- libusb: handles

API int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** handle) {
  {
    std::lock_guard lock(TheBus().mutex);
    auto it = TheBus().refusals.find(dev->slot->number);
    if (it != TheBus().refusals.end()) return it->second;
  }
  if (!Present(dev->slot.get())) return LIBUSB_ERROR_NO_DEVICE;
  auto* h = new libusb_device_handle;
  h->device = libusb_ref_device(dev);
  *handle = h;
  return LIBUSB_SUCCESS;
}

API libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context* ctx,
                                                                      uint16_t vendor,
                                                                      uint16_t product) {
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(ctx, &list);
  libusb_device_handle* handle = nullptr;
  for (ssize_t i = 0; i < n && handle == nullptr; ++i) {
    libusb_device_descriptor d{};
    if (libusb_get_device_descriptor(list[i], &d) == 0 && d.idVendor == vendor &&
        d.idProduct == product && libusb_open(list[i], &handle) != 0)
      handle = nullptr;
  }
  libusb_free_device_list(list, 1);
  return handle;
}

API void LIBUSB_CALL libusb_close(libusb_device_handle* handle) {
  if (handle == nullptr) return;
  libusb_unref_device(handle->device);
  delete handle;
}

API libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* handle) {
  return handle->device;
}

API int LIBUSB_CALL libusb_get_configuration(libusb_device_handle* handle, int* config) {
  Slot* slot = handle->device->slot.get();
  if (!Present(slot)) return LIBUSB_ERROR_NO_DEVICE;
  *config = slot->model->Configuration();
  return LIBUSB_SUCCESS;
}

API int LIBUSB_CALL libusb_set_configuration(libusb_device_handle* handle, int config) {
  Slot* slot = handle->device->slot.get();
  libusb_context* ctx = handle->device->ctx;
  {
    std::lock_guard lock(ctx->mutex);
    // Linux refuses to change the configuration under a claimed interface.
    if (handle->claimed != 0) return LIBUSB_ERROR_BUSY;
  }
  std::lock_guard submit(slot->submitMutex);
  if (!slot->present) return LIBUSB_ERROR_NO_DEVICE;
  const int value = config < 0 ? 0 : config;
  if (value > 255 || !slot->model->SetConfiguration(static_cast<uint8_t>(value)))
    return LIBUSB_ERROR_NOT_FOUND;
  return LIBUSB_SUCCESS;
}

namespace {

// The interface exists in the configuration in force.
int CheckInterface(Slot* slot, int number) {
  if (number < 0 || number >= 32) return LIBUSB_ERROR_INVALID_PARAM;
  const uint8_t value = slot->model->Configuration();
  const int index = IndexOfConfiguration(*slot->model, value);
  if (index < 0) return LIBUSB_ERROR_NOT_FOUND;
  const std::vector<uint8_t> c = slot->model->ConfigurationDescriptor(static_cast<uint8_t>(index));
  for (size_t at = 0; at + 9 <= c.size() && c[at] >= 2; at += c[at])
    if (c[at + 1] == LIBUSB_DT_INTERFACE && c[at + 2] == number) return LIBUSB_SUCCESS;
  return LIBUSB_ERROR_NOT_FOUND;
}

}  // namespace

API int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* handle, int number) {
  Slot* slot = handle->device->slot.get();
  if (!Present(slot)) return LIBUSB_ERROR_NO_DEVICE;
  if (const int r = CheckInterface(slot, number); r != 0) return r;
  std::lock_guard lock(handle->device->ctx->mutex);
  handle->claimed |= 1u << number;
  return LIBUSB_SUCCESS;
}

API int LIBUSB_CALL libusb_release_interface(libusb_device_handle* handle, int number) {
  if (number < 0 || number >= 32) return LIBUSB_ERROR_INVALID_PARAM;
  {
    std::lock_guard lock(handle->device->ctx->mutex);
    if ((handle->claimed & (1u << number)) == 0) return LIBUSB_ERROR_NOT_FOUND;
    handle->claimed &= ~(1u << number);
  }
  return Present(handle->device->slot.get()) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

API int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle* handle, int number,
                                                     int alternate) {
  if (!Present(handle->device->slot.get())) return LIBUSB_ERROR_NO_DEVICE;
  {
    std::lock_guard lock(handle->device->ctx->mutex);
    if (number < 0 || number >= 32 || (handle->claimed & (1u << number)) == 0)
      return LIBUSB_ERROR_NOT_FOUND;
  }
  return alternate == 0 ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_FOUND;
}

API int LIBUSB_CALL libusb_clear_halt(libusb_device_handle* handle, unsigned char endpoint) {
  if (!Present(handle->device->slot.get())) return LIBUSB_ERROR_NO_DEVICE;
  return libusb_get_max_packet_size(handle->device, endpoint) > 0 ? LIBUSB_SUCCESS
                                                                  : LIBUSB_ERROR_NOT_FOUND;
}

API int LIBUSB_CALL libusb_reset_device(libusb_device_handle* handle) {
  Slot* slot = handle->device->slot.get();
  std::lock_guard control(TheBus().control);
  std::lock_guard submit(slot->submitMutex);
  if (!slot->present) return LIBUSB_ERROR_NO_DEVICE;
  // Off and on again on the same port: the descriptors stay, so the device
  // stays the same and keeps its configuration.
  const uint8_t config = slot->model->Configuration();
  slot->model->Attach(nullptr);
  slot->model->Attach(&slot->port);
  slot->model->SetConfiguration(config);
  return LIBUSB_SUCCESS;
}

API int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle* handle, int) {
  return Present(handle->device->slot.get()) ? 0 : LIBUSB_ERROR_NO_DEVICE;
}
API int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle* handle, int) {
  return Present(handle->device->slot.get()) ? LIBUSB_ERROR_NOT_FOUND : LIBUSB_ERROR_NO_DEVICE;
}
API int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle* handle, int) {
  return Present(handle->device->slot.get()) ? LIBUSB_ERROR_NOT_FOUND : LIBUSB_ERROR_NO_DEVICE;
}
API int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle*, int) {
  return LIBUSB_SUCCESS;
}

// ---------------------------------------------------------------- libusb: transfers

API struct libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int isoPackets) {
  if (isoPackets < 0) return nullptr;
  const size_t size = kHeader + sizeof(libusb_transfer) +
                      static_cast<size_t>(isoPackets) * sizeof(libusb_iso_packet_descriptor);
  void* memory = std::calloc(1, size);
  if (memory == nullptr) return nullptr;
  auto* r = new (memory) Record{};
  r->state = State::Idle;
  libusb_transfer* p = Public(r);
  p->num_iso_packets = isoPackets;
  return p;
}

API void LIBUSB_CALL libusb_free_transfer(struct libusb_transfer* transfer) {
  if (transfer == nullptr) return;
  if (transfer->flags & LIBUSB_TRANSFER_FREE_BUFFER) std::free(transfer->buffer);
  Record* r = RecordOf(transfer);
  r->~Record();
  std::free(r);
}

API int LIBUSB_CALL libusb_submit_transfer(struct libusb_transfer* p) {
  libusb_device_handle* handle = p->dev_handle;
  if (handle == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  Record* r = RecordOf(p);
  libusb_context* ctx = handle->device->ctx;
  Slot* slot = handle->device->slot.get();
  Transfer t;
  bool local = false;
  switch (p->type) {
    case LIBUSB_TRANSFER_TYPE_CONTROL: {
      constexpr int kSetup = static_cast<int>(LIBUSB_CONTROL_SETUP_SIZE);
      if (p->length < kSetup || p->buffer == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
      const uint8_t* s = p->buffer;
      t.kind = TransferKind::Control;
      t.setup.bmRequestType = s[0];
      t.setup.bRequest = s[1];
      t.setup.wValue = Le16(s + 2);
      t.setup.wIndex = Le16(s + 4);
      t.setup.wLength = Le16(s + 6);
      if (t.setup.wLength > p->length - kSetup) return LIBUSB_ERROR_INVALID_PARAM;
      t.buffer = p->buffer + LIBUSB_CONTROL_SETUP_SIZE;
      t.length = t.setup.wLength;
      // Standard requests are the bus's to answer; vendor and class ones the tower's.
      local = (s[0] & 0x60) == LIBUSB_REQUEST_TYPE_STANDARD;
      break;
    }
    case LIBUSB_TRANSFER_TYPE_BULK:
    case LIBUSB_TRANSFER_TYPE_INTERRUPT:
      if (p->length < 0 || (p->length > 0 && p->buffer == nullptr))
        return LIBUSB_ERROR_INVALID_PARAM;
      t.kind = (p->endpoint & LIBUSB_ENDPOINT_IN) ? TransferKind::BulkIn : TransferKind::BulkOut;
      t.endpoint = p->endpoint;
      t.buffer = p->buffer;
      t.length = static_cast<uint32_t>(p->length);
      t.shortOk = true;
      break;
    default:
      return LIBUSB_ERROR_NOT_SUPPORTED;
  }
  std::lock_guard submit(slot->submitMutex);
  if (!slot->present) return LIBUSB_ERROR_NO_DEVICE;
  {
    std::lock_guard lock(ctx->mutex);
    if (r->state != State::Idle) return LIBUSB_ERROR_BUSY;
    r->t = t;
    r->ctx = ctx;
    r->slot = slot;
    r->state = State::Flying;
    r->local = local;
    r->cancelling = false;
    r->timedOut = false;
    r->hasDeadline = p->timeout != 0;
    if (r->hasDeadline) r->deadline = Clock::now() + std::chrono::milliseconds(p->timeout);
    ctx->flying.push_back(r);
  }
  TheBus().inFlight.fetch_add(1);
  if (local) {
    std::vector<uint8_t> reply;
    if (!Standard(slot, r->t.setup, &reply)) {
      slot->port.Complete(&r->t, tower::STATUS_UNSUCCESSFUL, hk::usb::USBD_STATUS_STALL_PID, 0);
    } else {
      const uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(reply.size()), r->t.length);
      if (n != 0) std::memcpy(r->t.buffer, reply.data(), n);
      slot->port.Complete(&r->t, tower::STATUS_SUCCESS, hk::usb::USBD_STATUS_SUCCESS, n);
    }
  } else {
    slot->model->Submit(&r->t);
  }
  return LIBUSB_SUCCESS;
}

API int LIBUSB_CALL libusb_cancel_transfer(struct libusb_transfer* p) {
  Record* r = RecordOf(p);
  libusb_context* ctx = r->ctx;
  if (ctx == nullptr) return LIBUSB_ERROR_NOT_FOUND;
  {
    std::lock_guard lock(ctx->mutex);
    if (r->state != State::Flying || r->cancelling) return LIBUSB_ERROR_NOT_FOUND;
    r->cancelling = true;
    if (r->local) return LIBUSB_SUCCESS;
  }
  // The model finishes the transfer with STATUS_CANCELLED if it still holds
  // it; one it already finished is left alone, as the completion is on its way.
  r->slot->model->Cancel(&r->t);
  return LIBUSB_SUCCESS;
}

API int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* handle, uint8_t requestType,
                                            uint8_t request, uint16_t value, uint16_t index,
                                            unsigned char* data, uint16_t length,
                                            unsigned int timeout) {
  libusb_transfer* t = libusb_alloc_transfer(0);
  if (t == nullptr) return LIBUSB_ERROR_NO_MEM;
  std::vector<unsigned char> buffer(LIBUSB_CONTROL_SETUP_SIZE + length);
  libusb_fill_control_setup(buffer.data(), requestType, request, value, index, length);
  if ((requestType & LIBUSB_ENDPOINT_IN) == 0 && length != 0)
    std::memcpy(buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, data, length);
  libusb_fill_control_transfer(t, handle, buffer.data(), nullptr, nullptr, timeout);
  int r = RunSync(t);
  if (r == 0) {
    if ((requestType & LIBUSB_ENDPOINT_IN) && t->actual_length > 0)
      std::memcpy(data, buffer.data() + LIBUSB_CONTROL_SETUP_SIZE,
                  static_cast<size_t>(t->actual_length));
    r = t->actual_length;
  }
  libusb_free_transfer(t);
  return r;
}

namespace {

int DataSync(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data, int length,
             int* transferred, unsigned int timeout, unsigned char type) {
  libusb_transfer* t = libusb_alloc_transfer(0);
  if (t == nullptr) return LIBUSB_ERROR_NO_MEM;
  libusb_fill_bulk_transfer(t, handle, endpoint, data, length, nullptr, nullptr, timeout);
  t->type = type;
  const int r = RunSync(t);
  if (transferred != nullptr) *transferred = t->actual_length;
  libusb_free_transfer(t);
  return r;
}

}  // namespace

API int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint,
                                         unsigned char* data, int length, int* transferred,
                                         unsigned int timeout) {
  return DataSync(handle, endpoint, data, length, transferred, timeout, LIBUSB_TRANSFER_TYPE_BULK);
}

API int LIBUSB_CALL libusb_interrupt_transfer(libusb_device_handle* handle, unsigned char endpoint,
                                              unsigned char* data, int length, int* transferred,
                                              unsigned int timeout) {
  return DataSync(handle, endpoint, data, length, transferred, timeout,
                  LIBUSB_TRANSFER_TYPE_INTERRUPT);
}

API int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index,
                                                       unsigned char* data, int length) {
  unsigned char buffer[255];
  const int r = libusb_control_transfer(handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                        static_cast<uint16_t>(LIBUSB_DT_STRING << 8 | index),
                                        0x0409, buffer, sizeof(buffer), 1000);
  if (r < 0) return r;
  if (r < 2 || buffer[1] != LIBUSB_DT_STRING) return LIBUSB_ERROR_IO;
  int n = 0;
  for (int at = 2; at + 1 < r && n < length - 1; at += 2)
    data[n++] = buffer[at + 1] != 0 ? '?' : buffer[at];
  if (length > 0) data[n] = 0;
  return n;
}

// ---------------------------------------------------------------- libusb: events

API int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context* ctx, struct timeval* tv,
                                                           int* completed) {
  return HandleEvents(ctx, tv, completed);
}
API int LIBUSB_CALL libusb_handle_events_timeout(libusb_context* ctx, struct timeval* tv) {
  return HandleEvents(ctx, tv, nullptr);
}
API int LIBUSB_CALL libusb_handle_events(libusb_context* ctx) {
  return HandleEvents(ctx, nullptr, nullptr);
}
API int LIBUSB_CALL libusb_handle_events_completed(libusb_context* ctx, int* completed) {
  return HandleEvents(ctx, nullptr, completed);
}

API void LIBUSB_CALL libusb_interrupt_event_handler(libusb_context* ctx) {
  ctx = ContextOf(ctx);
  if (ctx == nullptr) return;
  {
    std::lock_guard lock(ctx->mutex);
    ctx->interrupted = true;
  }
  ctx->cv.notify_all();
}

API int LIBUSB_CALL libusb_hotplug_register_callback(libusb_context* ctx, int events, int flags,
                                                     int vendor, int product, int deviceClass,
                                                     libusb_hotplug_callback_fn fn, void* user,
                                                     libusb_hotplug_callback_handle* handle) {
  ctx = ContextOf(ctx);
  if (ctx == nullptr || fn == nullptr || events == 0 ||
      (events & ~(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT)) != 0)
    return LIBUSB_ERROR_INVALID_PARAM;
  Callback cb{0, events, flags, vendor, product, deviceClass, fn, user, false};
  std::vector<libusb_device*> present;
  {
    std::lock_guard lock(ctx->mutex);
    cb.handle = ctx->nextCallback++;
    ctx->callbacks.push_back(cb);
    if (flags & LIBUSB_HOTPLUG_ENUMERATE)
      for (libusb_device* d : ctx->devices) present.push_back(libusb_ref_device(d));
  }
  if (handle != nullptr) *handle = cb.handle;
  // The devices already there arrive now, inside the registration, as in libusb.
  for (libusb_device* d : present) {
    if (events & LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) {
      const std::vector<uint8_t> dd = d->slot->model->DeviceDescriptor();
      const bool match = (vendor == LIBUSB_HOTPLUG_MATCH_ANY || vendor == Le16(&dd[8])) &&
                         (product == LIBUSB_HOTPLUG_MATCH_ANY || product == Le16(&dd[10])) &&
                         (deviceClass == LIBUSB_HOTPLUG_MATCH_ANY || deviceClass == dd[4]);
      if (match && fn(ctx, d, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, user) != 0)
        libusb_hotplug_deregister_callback(ctx, cb.handle);
    }
    libusb_unref_device(d);
  }
  return LIBUSB_SUCCESS;
}

API void LIBUSB_CALL libusb_hotplug_deregister_callback(libusb_context* ctx,
                                                        libusb_hotplug_callback_handle handle) {
  ctx = ContextOf(ctx);
  if (ctx == nullptr) return;
  {
    std::lock_guard lock(ctx->mutex);
    ctx->callbacks.erase(std::remove_if(ctx->callbacks.begin(), ctx->callbacks.end(),
                                        [handle](const Callback& c) { return c.handle == handle; }),
                         ctx->callbacks.end());
    ctx->wake = true;
  }
  ctx->cv.notify_all();
}

API void* LIBUSB_CALL libusb_hotplug_get_user_data(libusb_context* ctx,
                                                   libusb_hotplug_callback_handle handle) {
  ctx = ContextOf(ctx);
  if (ctx == nullptr) return nullptr;
  std::lock_guard lock(ctx->mutex);
  for (const Callback& c : ctx->callbacks)
    if (c.handle == handle) return c.user;
  return nullptr;
}
