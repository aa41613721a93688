#include "usb/stack.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "faults/faults.h"

namespace hk::usb {

using namespace tower;

// ---- the bus thread -------------------------------------------------------------

Bus::Bus() : thread_([this] { Run(); }) {}

Bus::~Bus() {
  {
    std::lock_guard<HostMutex> lock(mutex_);
    stop_ = true;
  }
  workReady_.Set();
  thread_.join();
}

void Bus::WorkQueue::Push(BusWork* work) {
  work->next = nullptr;
  if (tail == nullptr)
    head = work;
  else
    tail->next = work;
  tail = work;
}

BusWork* Bus::WorkQueue::Pop() {
  BusWork* work = head;
  if (work == nullptr) return nullptr;
  head = work->next;
  if (head == nullptr) tail = nullptr;
  work->next = nullptr;
  return work;
}

namespace {

// Work given as a function: the rare posts that are not a transfer's
// completion. It frees itself once run.
struct FunctionWork : BusWork {
  std::function<void()> function;
  static void Run(BusWork* work) {
    auto* self = static_cast<FunctionWork*>(work);
    self->function();
    delete self;
  }
};

}  // namespace

void Bus::Post(std::function<void()> work) {
  auto* item = new FunctionWork();
  item->run = &FunctionWork::Run;
  item->function = std::move(work);
  Post(item);
}

namespace {

// The completions a thread runs itself (CallerCompletions), oldest first.
struct CallerWork {
  int open = 0;          // scopes open on the thread
  bool running = false;  // the outermost scope is running the list
  Bus* bus = nullptr;    // whose completions the thread holds or runs, if any
  BusWork* head = nullptr;
  BusWork* tail = nullptr;
};
thread_local CallerWork tCallerWork;

}  // namespace

void Bus::Open() { ++tCallerWork.open; }

void Bus::Close() {
  CallerWork& mine = tCallerWork;
  if (--mine.open > 0 || mine.running) return;
  mine.running = true;
  {
    // Completions run at raised priority, where blocking is forbidden.
    CompletionContext raised;
    while (BusWork* work = mine.head) {
      mine.head = work->next;
      if (mine.head == nullptr) mine.tail = nullptr;
      work->next = nullptr;
      // The work's owner may reuse or free it once it has run.
      work->run(work);
      mine.bus->CallerWorkDone();
    }
  }
  mine.running = false;
  mine.bus = nullptr;
}

void Bus::CallerWorkDone() {
  bool wake = false;
  {
    std::lock_guard<HostMutex> lock(mutex_);
    --held_;
    // The bus's thread waits for held completions before it takes the
    // next queued one: they were decided first.
    wake = held_ == 0 && !queue_.empty();
    if (draining_ > 0 && held_ == 0 && queue_.empty() && busy_ == 0) drained_.notify_all();
  }
  if (wake) workReady_.Set();
}

void Bus::Post(BusWork* work) {
  {
    std::lock_guard<HostMutex> lock(mutex_);
    if (completeInline_.load() && OnBusThread()) {
      inline_.Push(work);
      inlineCount_.fetch_add(1);
      return;
    }
    // Every completion of the bus runs in the order it was decided. A thread
    // holds one only while nothing is queued or running on the bus's thread
    // and no other thread holds any; the bus's thread takes the next queued
    // one only once the held ones have run. A stack that completes inside
    // the submission keeps every completion on the bus's thread.
    CallerWork& mine = tCallerWork;
    const bool holdsHere = mine.bus == this || (mine.bus == nullptr && held_ == 0);
    if ((mine.open > 0 || mine.running) && !completeInline_.load() && queue_.empty() &&
        busy_ == 0 && holdsHere) {
      ++held_;
      mine.bus = this;
      work->next = nullptr;
      if (mine.tail == nullptr)
        mine.head = work;
      else
        mine.tail->next = work;
      mine.tail = work;
      return;
    }
    queue_.Push(work);
  }
  // The event calls the system only when the thread sleeps on it; a thread
  // that is running work finds the signal, and the queue, when it next looks.
  workReady_.Set();
}

void Bus::RunInline() {
  // Only the bus's own thread fills inline_, so an empty count seen here is
  // not about to change under it.
  if (!OnBusThread()) return;
  while (inlineCount_.load() != 0) {
    BusWork* work = nullptr;
    {
      std::lock_guard<HostMutex> lock(mutex_);
      work = inline_.Pop();
    }
    if (work == nullptr) return;
    inlineCount_.fetch_sub(1);
    work->run(work);
  }
}

void Bus::Drain() {
  std::unique_lock<HostMutex> lock(mutex_);
  ++draining_;
  drained_.wait(lock, [this] { return queue_.empty() && busy_ == 0 && held_ == 0; });
  --draining_;
}

void Bus::Run() {
  std::unique_lock<HostMutex> lock(mutex_);
  for (;;) {
    while (!stop_ && (queue_.empty() || held_ > 0)) {
      // Every post signals the event after queueing, and the event keeps the
      // signal until the wait below takes it.
      lock.unlock();
      workReady_.WaitUntil(nullptr);
      lock.lock();
    }
    if (queue_.empty()) return;  // stopping, and nothing is left
    BusWork* work = queue_.Pop();
    ++busy_;
    lock.unlock();
    {
      // Completions run at raised priority, where blocking is forbidden.
      CompletionContext raised;
      work->run(work);
      RunInline();
    }
    lock.lock();
    --busy_;
    // Only a drain waits for the bus to run dry, and it is rare: the
    // notification is not paid for on every packet.
    if (draining_ > 0 && queue_.empty()) drained_.notify_all();
  }
}

// ---- one device on the bus ------------------------------------------------------

UsbDevice::UsbDevice(Kernel& kernel, Bus& bus, BusOwner& owner, std::shared_ptr<DeviceModel> model,
                     uint32_t portBudgetMa, DeviceObject* physical)
    : kernel_(kernel),
      bus_(bus),
      owner_(owner),
      model_(std::move(model)),
      portBudgetMa_(portBudgetMa),
      physical_(physical) {
  model_->Attach(this);
}

UsbDevice::~UsbDevice() { Detach(); }

uint8_t UsbDevice::configuration() {
  std::lock_guard<HostMutex> lock(mutex_);
  return configuration_;
}

std::vector<uint8_t> UsbDevice::Selections() {
  std::lock_guard<HostMutex> lock(mutex_);
  return selections_;
}

void UsbDevice::Detach() {
  // Serialised with submissions: a transfer either reaches the model before
  // it lets go (and is failed by it) or finds the device gone.
  std::lock_guard<HostMutex> submit(submitMutex_);
  {
    std::lock_guard<HostMutex> lock(mutex_);
    if (!attached_) return;
    attached_ = false;
  }
  // The model fails what it still holds through this port, then lets go.
  model_->Attach(nullptr);
}

bool UsbDevice::Attached() {
  std::lock_guard<HostMutex> lock(mutex_);
  return attached_;
}

void UsbDevice::Vanish() { owner_.RequestUnplug(physical_); }

void UsbDevice::Complete(Transfer* transfer, NTSTATUS status, uint32_t usbdStatus,
                         uint32_t actual) {
  Irp* irp = nullptr;
  {
    std::lock_guard<HostMutex> lock(mutex_);
    auto it = std::find_if(inFlight_.begin(), inFlight_.end(),
                           [transfer](const auto& entry) { return entry.first == transfer; });
    if (it != inFlight_.end()) {
      irp = it->second;
      inFlight_.erase(it);
    }
  }
  // A transfer completed twice, or never handed over, is found out here.
  if (irp == nullptr) {
    kernel_.verifier().Report("a device model completed a transfer it did not hold");
    return;
  }
  // Taken off the in-flight list, the transfer is the stack's alone until
  // the bus runs its completion: its block carries the work.
  auto* urb = static_cast<Urb*>(irp->internalArgument);
  transfer->actual = actual;
  transfer->status = status;
  transfer->usbdStatus = usbdStatus;
  TransferDoneWork& done = urb->done;
  done.run = &UsbDevice::TransferDone;
  done.device = this;
  done.irp = irp;
  done.status = status;
  bus_.Post(&done);
}

void UsbDevice::TransferDone(BusWork* work) {
  auto* done = static_cast<TransferDoneWork*>(work);
  Irp* irp = done->irp;
  irp->cancelRoutine.store(nullptr);
  auto* urb = static_cast<Urb*>(irp->internalArgument);
  urb->transferred = urb->transfer.actual;
  urb->usbdStatus = urb->transfer.usbdStatus;
  done->device->kernel_.CompleteIrp(irp, done->status, 0);
}

void UsbDevice::CancelTransfer(Irp* irp) {
  auto* self = static_cast<UsbDevice*>(irp->cancelContext);
  if (self->bus_.WineLike()) return;
  auto* urb = static_cast<Urb*>(irp->internalArgument);
  self->model_->Cancel(&urb->transfer);
}

namespace {

// Walks a configuration descriptor set: calls visit(type, bytes, length) for
// each descriptor until visit returns false.
template <typename Visit>
void Walk(const std::vector<uint8_t>& set, Visit visit) {
  size_t at = 0;
  while (at + 2 <= set.size()) {
    const uint8_t length = set[at];
    if (length < 2 || at + length > set.size()) return;
    if (!visit(set[at + 1], &set[at], length)) return;
    at += length;
  }
}

}  // namespace

NTSTATUS UsbDevice::Select(Urb* urb) {
  {
    std::lock_guard<HostMutex> lock(mutex_);
    selections_.push_back(urb->configurationValue);
  }
  if (kernel_.faults().AnyArmed()) {
    const std::string subject = (physical_ != nullptr ? physical_->instanceId : std::string()) +
                                "\\" + std::to_string(urb->configurationValue);
    if (auto code = kernel_.Injected(fault::kSelectConfiguration, subject))
      return static_cast<NTSTATUS>(*code);
  }
  std::vector<std::unique_ptr<HostPipe>> pipes;
  if (urb->configurationValue != 0) {
    std::vector<uint8_t> set;
    const std::vector<uint8_t> device = model_->DeviceDescriptor();
    const uint8_t count = device.size() >= 18 ? device[17] : 0;
    for (uint8_t index = 0; index < count; ++index) {
      std::vector<uint8_t> candidate = model_->ConfigurationDescriptor(index);
      if (candidate.size() >= 9 && candidate[5] == urb->configurationValue) {
        set = std::move(candidate);
        break;
      }
    }
    if (set.empty()) return STATUS_INVALID_PARAMETER;
    // The port must be able to supply what the configuration draws (bMaxPower
    // counts 2 mA units); otherwise the stack refuses the selection.
    if (set[8] * 2u > portBudgetMa_) return STATUS_INSUFFICIENT_RESOURCES;

    for (UrbInterface& wanted : urb->interfaces) {
      bool inside = false;
      bool found = false;
      wanted.pipes.clear();
      Walk(set, [&](uint8_t type, const uint8_t* d, uint8_t length) {
        if (type == 4 && length >= 9) {
          inside = d[2] == wanted.number && d[3] == wanted.alternateSetting;
          found = found || inside;
        } else if (type == 5 && length >= 7 && inside) {
          auto pipe = std::make_unique<HostPipe>();
          pipe->endpoint = d[2];
          pipe->interfaceNumber = wanted.number;
          pipe->alternateSetting = wanted.alternateSetting;
          pipe->maxPacket = static_cast<uint16_t>(d[4] | d[5] << 8);
          wanted.pipes.push_back(pipe.get());
          pipes.push_back(std::move(pipe));
        }
        return true;
      });
      if (!found) return STATUS_INVALID_PARAMETER;
    }
  }
  if (!model_->SetConfiguration(urb->configurationValue)) return STATUS_UNSUCCESSFUL;
  std::lock_guard<HostMutex> lock(mutex_);
  configuration_ = urb->configurationValue;
  // Pipes of the old configuration stay allocated: a handle a driver still
  // holds must fail cleanly rather than point at freed memory.
  for (auto& pipe : pipes) pipes_.push_back(std::move(pipe));
  return STATUS_SUCCESS;
}

// The transfers to cancel are chosen under mutex_, and cancelled after it
// is released: a model completes under its own lock and then takes mutex_
// (in Complete), so cancelling under mutex_ would take the two locks in the
// other order. A model takes a transfer only as a key among those it holds,
// so one that completed in between is simply not found.
void UsbDevice::Abort(const HostPipe* pipe) {
  std::vector<Transfer*> chosen;
  {
    std::lock_guard<HostMutex> lock(mutex_);
    for (const auto& [transfer, irp] : inFlight_) {
      const auto* urb = static_cast<const Urb*>(irp->internalArgument);
      if (bus_.WineLike() || urb->pipe == pipe) chosen.push_back(transfer);
    }
  }
  for (Transfer* transfer : chosen) model_->Cancel(transfer);
}

NTSTATUS UsbDevice::SubmitUrb(Irp* irp, Urb* urb) {
  auto finish = [&](NTSTATUS status, uint32_t usbdStatus, uint32_t transferred) {
    urb->usbdStatus = usbdStatus;
    urb->transferred = transferred;
    kernel_.CompleteIrp(irp, status, 0);
    return status;
  };
  switch (urb->function) {
    case UrbFunction::GetDeviceDescriptor:
    case UrbFunction::GetConfigurationDescriptor:
    case UrbFunction::SelectConfiguration:
      if (!Attached()) return finish(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0);
      break;
    case UrbFunction::VendorDevice:
    case UrbFunction::BulkOrInterrupt:
    case UrbFunction::AbortPipe:  // nothing is in flight on a device that left
      break;
  }
  switch (urb->function) {
    case UrbFunction::GetDeviceDescriptor:
    case UrbFunction::GetConfigurationDescriptor: {
      const std::vector<uint8_t> d = urb->function == UrbFunction::GetDeviceDescriptor
                                         ? model_->DeviceDescriptor()
                                         : model_->ConfigurationDescriptor(urb->descriptorIndex);
      if (d.empty()) return finish(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0);
      const uint32_t n = std::min<uint32_t>(urb->length, static_cast<uint32_t>(d.size()));
      if (n > 0) std::memcpy(urb->buffer, d.data(), n);
      return finish(STATUS_SUCCESS, USBD_STATUS_SUCCESS, n);
    }
    case UrbFunction::SelectConfiguration: {
      const NTSTATUS status = Select(urb);
      return finish(status, NtSuccess(status) ? USBD_STATUS_SUCCESS : USBD_STATUS_STALL_PID, 0);
    }
    case UrbFunction::AbortPipe:
      // Done when asked: the aborted transfers complete on their own.
      Abort(urb->pipe);
      return finish(STATUS_SUCCESS, USBD_STATUS_SUCCESS, 0);
    case UrbFunction::VendorDevice:
    case UrbFunction::BulkOrInterrupt:
      break;
  }

  Transfer& t = urb->transfer;
  t = Transfer{};
  t.buffer = static_cast<uint8_t*>(urb->buffer);
  t.length = urb->length;
  const bool control = urb->function == UrbFunction::VendorDevice;
  if (control) {
    t.kind = TransferKind::Control;
    t.setup = urb->setup;
  } else {
    t.kind = urb->in ? TransferKind::BulkIn : TransferKind::BulkOut;
    t.shortOk = urb->shortOk;
  }
  // One look at the device's state, serialised with Detach: still on the
  // bus (a device that left answers first), the pipe one of the
  // configuration's, and the transfer counted in flight.
  std::unique_lock<HostMutex> submit(submitMutex_);
  {
    std::unique_lock<HostMutex> lock(mutex_);
    if (!attached_) {
      lock.unlock();
      submit.unlock();
      return finish(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0);
    }
    if (!control) {
      const bool known = configuration_ != 0 &&
                         std::any_of(pipes_.begin(), pipes_.end(),
                                     [urb](const auto& pipe) { return pipe.get() == urb->pipe; });
      if (!known) {
        lock.unlock();
        submit.unlock();
        constexpr uint32_t kInvalidPipeHandle = 0x80000600u;
        urb->usbdStatus = kInvalidPipeHandle;
        urb->transferred = 0;
        kernel_.CompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
        return STATUS_INVALID_PARAMETER;
      }
      t.endpoint = urb->pipe->endpoint;
    }
    inFlight_.emplace_back(&t, irp);
  }
  // The model may finish the transfer at once, and its owner then frees the
  // request; the reference keeps it alive until the cancellation check below.
  irp->cancelRefs.fetch_add(1);
  irp->cancelContext = this;
  irp->cancelRoutine.store(&UsbDevice::CancelTransfer);
  model_->Submit(&t);
  submit.unlock();
  // Cancelled before the routine was in place: the model lets it go now.
  if (irp->cancelled.load() && irp->cancelRoutine.exchange(nullptr) != nullptr) model_->Cancel(&t);
  irp->cancelRefs.fetch_sub(1);
  bus_.RunInline();
  return STATUS_PENDING;
}

NTSTATUS UsbDevice::Dispatch(DeviceObject* device, Irp* irp) {
  auto* self = *reinterpret_cast<UsbDevice**>(device->extension.data());
  Kernel& kernel = self->kernel_;
  NTSTATUS status = STATUS_SUCCESS;
  switch (irp->major) {
    case IrpMajor::InternalDeviceControl:
      if (irp->ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB)
        return self->SubmitUrb(irp, static_cast<Urb*>(irp->internalArgument));
      if (irp->ioctl == IOCTL_INTERNAL_USB_CYCLE_PORT) {
        // The stack below may refuse the cycle: the device stays as it is.
        if (auto code = kernel.Injected(fault::kCyclePort, self->physical_ != nullptr
                                                               ? self->physical_->instanceId
                                                               : std::string())) {
          status = static_cast<NTSTATUS>(*code);
          break;
        }
        kernel.CompleteIrp(irp, STATUS_SUCCESS, 0);
        // The device leaves the bus and comes back as a new one, after the
        // request that asked for it has returned.
        self->owner_.RequestCycle(self->physical_);
        return STATUS_SUCCESS;
      }
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
    case IrpMajor::Pnp:
      // The stack's own part of a start or a capabilities query may fail:
      // the request completes with its status and nothing more is done.
      if (irp->minor == 0x00 || irp->minor == 0x09)
        if (auto code = kernel.Injected(
                irp->minor == 0x00 ? fault::kStartDevice : fault::kQueryCapabilities,
                self->physical_ != nullptr ? self->physical_->instanceId : std::string())) {
          status = static_cast<NTSTATUS>(*code);
          break;
        }
      if (irp->minor == 0x09) {  // capabilities
        if (irp->capsVersion < 1) {
          status = STATUS_INVALID_PARAMETER;
          break;
        }
        irp->capsFlags |= 1u << 6;  // UniqueID
      } else if (irp->minor > 0x06 && irp->minor != 0x17) {
        status = irp->status;  // not ours: leave the request as it came
      }
      break;
    case IrpMajor::Create:
    case IrpMajor::Close:
      if (self->bus_.WineLike()) status = STATUS_INVALID_DEVICE_REQUEST;
      break;
    case IrpMajor::Cleanup:
    case IrpMajor::Power:
      break;
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  kernel.CompleteIrp(irp, status, irp->information);
  return status;
}

}  // namespace hk::usb
