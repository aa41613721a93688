// The host USB stack: the bus with its own completion thread, and the
// physical device object of each device model plugged into it, which carries
// out the USB request blocks that function drivers send down.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "kernel/kernel.h"
#include "usb/model.h"

namespace hk::usb {

// Internal device-control codes a function driver sends to the USB stack.
inline constexpr uint32_t IOCTL_INTERNAL_USB_SUBMIT_URB = 0x00220003u;
inline constexpr uint32_t IOCTL_INTERNAL_USB_CYCLE_PORT = 0x0022001Fu;

enum class UrbFunction : uint8_t {
  VendorDevice,
  BulkOrInterrupt,
  GetDeviceDescriptor,
  GetConfigurationDescriptor,
  SelectConfiguration,
  AbortPipe,  // cancels the transfers in flight on `pipe`
};

// One endpoint of the configuration in force.
struct HostPipe {
  uint8_t endpoint = 0;
  uint8_t interfaceNumber = 0;
  uint8_t alternateSetting = 0;
  uint16_t maxPacket = 0;
};

struct UrbInterface {
  uint8_t number = 0;
  uint8_t alternateSetting = 0;
  std::vector<HostPipe*> pipes;  // filled in by a successful selection
};

// One piece of work for the bus's thread. The owner keeps it alive until it
// has run; `run` is called once, with the work itself.
struct BusWork {
  BusWork* next = nullptr;
  void (*run)(BusWork* work) = nullptr;
};

class UsbDevice;

// A finished transfer on its way to the bus's thread, carried by its block.
struct TransferDoneWork : BusWork {
  UsbDevice* device = nullptr;
  Irp* irp = nullptr;
  NTSTATUS status = tower::STATUS_PENDING;
};

// A USB request block as the host stack understands it.
struct Urb {
  UrbFunction function = UrbFunction::VendorDevice;
  SetupPacket setup;  // vendor requests
  HostPipe* pipe = nullptr;
  bool in = true;
  bool shortOk = false;
  void* buffer = nullptr;  // data stage, bulk data or descriptor
  uint32_t length = 0;
  uint8_t descriptorIndex = 0;
  uint8_t configurationValue = 0;  // select: 0 deconfigures
  const uint8_t* configurationDescriptor = nullptr;
  std::vector<UrbInterface> interfaces;

  uint32_t usbdStatus = USBD_STATUS_PENDING;
  uint32_t transferred = 0;
  Transfer transfer;      // what the device model sees
  TransferDoneWork done;  // its completion, queued on the bus without allocating
};

// Runs completions on the bus's own thread, at raised priority.
class Bus final : public CallerCompletions {
 public:
  Bus();
  ~Bus();
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  void Post(std::function<void()> work);
  // Queues work the caller keeps alive until it has run: nothing is allocated.
  void Post(BusWork* work);
  // Waits until everything posted so far has run.
  void Drain();
  // A stack that completes a transfer inside its submission: a completion a
  // device finishes during a submission made on the bus's own thread (a
  // completion callback submitting again) runs before that submission
  // returns, nested in the callback that made it.
  void SetCompleteInline(bool on) { completeInline_.store(on); }
  // Runs the completions held for the submission ending on this thread.
  void RunInline();
  // CallerCompletions. Completions still run one at a time, in the order
  // they were decided: a thread holds one only while the bus's thread has
  // nothing queued or running and no other thread holds any, and the bus's
  // thread waits for the held ones before it takes the next.
  void Open() override;
  void Close() override;
  // A stack that behaves as Wine's USB stack does: cancelling a transfer
  // does nothing, create and close requests are refused
  // (STATUS_INVALID_DEVICE_REQUEST), and aborting a pipe cancels every
  // transfer of the device.
  void SetWineLike(bool on) { wineLike_.store(on); }
  bool WineLike() const { return wineLike_.load(); }

 private:
  void Run();
  // A completion run on the thread that caused it has ended.
  void CallerWorkDone();
  bool OnBusThread() const { return std::this_thread::get_id() == thread_.get_id(); }
  // A singly linked queue of work, oldest first.
  struct WorkQueue {
    BusWork* head = nullptr;
    BusWork* tail = nullptr;
    bool empty() const { return head == nullptr; }
    void Push(BusWork* work);
    BusWork* Pop();
  };
  std::atomic<bool> completeInline_{false};
  std::atomic<bool> wineLike_{false};
  WorkQueue inline_;                    // under mutex_
  std::atomic<size_t> inlineCount_{0};  // entries in inline_: an empty one is seen without the lock
  HostMutex mutex_;
  Event workReady_{true, false};         // signalled by every post
  std::condition_variable_any drained_;  // the queue ran dry (for Drain)
  size_t draining_ = 0;                  // drains waiting: only they need the notification
  WorkQueue queue_;
  bool stop_ = false;
  size_t busy_ = 0;  // work running on the bus's thread
  size_t held_ = 0;  // completions a caller holds or runs (CallerCompletions)
  std::thread thread_;
};

// What the machine does for the stack: take a device off the bus, or cycle
// its port (off, then on again as a new device).
class BusOwner {
 public:
  virtual ~BusOwner() = default;
  virtual void RequestUnplug(DeviceObject* physical) = 0;
  virtual void RequestCycle(DeviceObject* physical) = 0;
};

// The stack's state for one plugged device: its model, the configuration in
// force and the transfers the model holds.
class UsbDevice : public Port {
 public:
  // The physical device is known before the model is attached: a model may
  // leave the bus (Vanish) from the moment it has its port.
  UsbDevice(Kernel& kernel, Bus& bus, BusOwner& owner, std::shared_ptr<DeviceModel> model,
            uint32_t portBudgetMa, DeviceObject* physical);
  ~UsbDevice() override;

  DeviceObject* physical() const { return physical_; }
  void SetPhysical(DeviceObject* physical) { physical_ = physical; }
  std::shared_ptr<DeviceModel> model() const { return model_; }
  uint8_t configuration();
  // Every configuration value a driver asked the stack to select (0 to
  // deselect), refused ones included, oldest first.
  std::vector<uint8_t> Selections();

  // The dispatch routine of the physical device.
  static NTSTATUS Dispatch(DeviceObject* device, Irp* irp);

  // Port.
  void Complete(Transfer* transfer, NTSTATUS status, uint32_t usbdStatus, uint32_t actual) override;
  void Vanish() override;
  CallerCompletions* Completions() override { return &bus_; }

  // The device is leaving the bus: everything the model holds fails.
  void Detach();

 private:
  NTSTATUS SubmitUrb(Irp* irp, Urb* urb);
  static void TransferDone(BusWork* work);
  bool Attached();
  NTSTATUS Select(Urb* urb);
  void Abort(const HostPipe* pipe);
  static void CancelTransfer(Irp* irp);

  Kernel& kernel_;
  Bus& bus_;
  BusOwner& owner_;
  std::shared_ptr<DeviceModel> model_;
  uint32_t portBudgetMa_;
  DeviceObject* physical_ = nullptr;

  HostMutex submitMutex_;  // held across handing a transfer to the model, and by Detach
  // Never held across a call into the model: a model completes under its
  // own lock, and its completion takes this one.
  HostMutex mutex_;
  uint8_t configuration_ = 0;
  std::vector<uint8_t> selections_;
  std::vector<std::unique_ptr<HostPipe>> pipes_;
  std::vector<std::pair<Transfer*, Irp*>> inFlight_;
  bool attached_ = true;
};

}  // namespace hk::usb
