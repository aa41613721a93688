#include "usb/libusb/device.h"

#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "tower/ntstatus.h"

namespace hk::usb {

using namespace tower;

namespace {

struct Pending;

}  // namespace

// What the device and its libusb transfers share. Lock order: mutex, then
// whatever the port takes in Complete (the stack only posts there).
struct LibusbDevice::Shared {
  std::mutex mutex;
  std::condition_variable drained;
  libusb_device_handle* handle = nullptr;  // null once closed
  Port* port = nullptr;
  bool attachedOnce = false;
  bool gone = false;
  std::vector<Pending*> pending;         // libusb transfers libusb still holds
  std::map<uint8_t, uint8_t> endpoints;  // endpoint -> transfer type, configuration in force
};

namespace {

// One libusb transfer with its own buffer. `transfer` is the stack's, and
// null once the stack has it back (an unplug completes it before libusb
// does); libusb's callback frees the rest.
struct Pending {
  std::shared_ptr<LibusbDevice::Shared> shared;
  Transfer* transfer = nullptr;
  libusb_transfer* xfer = nullptr;
  std::vector<uint8_t> buffer;
  bool control = false;
  bool in = false;
  bool cancelRequested = false;
};

void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

// The descriptors libusb parsed, as the device sent them.
std::vector<uint8_t> RawDevice(const libusb_device_descriptor& d) {
  std::vector<uint8_t> out = {d.bLength, d.bDescriptorType};
  Put16(out, d.bcdUSB);
  out.insert(out.end(), {d.bDeviceClass, d.bDeviceSubClass, d.bDeviceProtocol, d.bMaxPacketSize0});
  Put16(out, d.idVendor);
  Put16(out, d.idProduct);
  Put16(out, d.bcdDevice);
  out.insert(out.end(), {d.iManufacturer, d.iProduct, d.iSerialNumber, d.bNumConfigurations});
  return out;
}

void Extra(std::vector<uint8_t>& out, const unsigned char* extra, int length) {
  if (extra != nullptr && length > 0) out.insert(out.end(), extra, extra + length);
}

std::vector<uint8_t> RawConfiguration(const libusb_config_descriptor& c) {
  std::vector<uint8_t> out = {9,
                              LIBUSB_DT_CONFIG,
                              0,
                              0,
                              c.bNumInterfaces,
                              c.bConfigurationValue,
                              c.iConfiguration,
                              c.bmAttributes,
                              c.MaxPower};
  Extra(out, c.extra, c.extra_length);
  for (int i = 0; i < c.bNumInterfaces; ++i) {
    for (int a = 0; a < c.interface[i].num_altsetting; ++a) {
      const libusb_interface_descriptor& alt = c.interface[i].altsetting[a];
      out.insert(out.end(), {9, LIBUSB_DT_INTERFACE, alt.bInterfaceNumber, alt.bAlternateSetting,
                             alt.bNumEndpoints, alt.bInterfaceClass, alt.bInterfaceSubClass,
                             alt.bInterfaceProtocol, alt.iInterface});
      Extra(out, alt.extra, alt.extra_length);
      for (int e = 0; e < alt.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& ep = alt.endpoint[e];
        const uint8_t length = ep.bLength >= 9 ? 9 : 7;
        out.insert(out.end(), {length, LIBUSB_DT_ENDPOINT, ep.bEndpointAddress, ep.bmAttributes});
        Put16(out, ep.wMaxPacketSize);
        out.push_back(ep.bInterval);
        if (length == 9) out.insert(out.end(), {ep.bRefresh, ep.bSynchAddress});
        Extra(out, ep.extra, ep.extra_length);
      }
    }
  }
  out[2] = static_cast<uint8_t>(out.size());
  out[3] = static_cast<uint8_t>(out.size() >> 8);
  return out;
}

// The stack's statuses for what libusb reports.
void StatusOf(libusb_transfer_status status, bool gone, NTSTATUS* nt, uint32_t* usbd) {
  if (gone && status != LIBUSB_TRANSFER_COMPLETED) status = LIBUSB_TRANSFER_NO_DEVICE;
  switch (status) {
    case LIBUSB_TRANSFER_COMPLETED:
      *nt = STATUS_SUCCESS;
      *usbd = USBD_STATUS_SUCCESS;
      return;
    case LIBUSB_TRANSFER_CANCELLED:
      *nt = STATUS_CANCELLED;
      *usbd = USBD_STATUS_CANCELED;
      return;
    case LIBUSB_TRANSFER_NO_DEVICE:
      *nt = STATUS_DEVICE_NOT_CONNECTED;
      *usbd = USBD_STATUS_DEVICE_GONE;
      return;
    case LIBUSB_TRANSFER_STALL:
      *nt = STATUS_UNSUCCESSFUL;
      *usbd = USBD_STATUS_STALL_PID;
      return;
    case LIBUSB_TRANSFER_TIMED_OUT:
      *nt = STATUS_IO_TIMEOUT;
      *usbd = USBD_STATUS_DEV_NOT_RESPONDING;
      return;
    case LIBUSB_TRANSFER_ERROR:
    case LIBUSB_TRANSFER_OVERFLOW:
    default:
      // Errors on the wire (CRC, bit stuffing, babble) are what Linux reports
      // as a transfer error: the line is bad, not the request.
      *nt = STATUS_DEVICE_DATA_ERROR;
      *usbd = USBD_STATUS_CRC;
      return;
  }
}

// Under shared.mutex: the stack gets its transfer back. The port posts the
// completion to the bus thread, so holding the lock here is safe, and it
// keeps an unplug from letting go of the port between the decision and the
// delivery.
void Finish(LibusbDevice::Shared& s, Pending* p, NTSTATUS nt, uint32_t usbd, uint32_t actual) {
  Transfer* t = p->transfer;
  if (t == nullptr) return;
  p->transfer = nullptr;
  if (p->in && actual > 0) {
    const uint8_t* data = p->buffer.data() + (p->control ? LIBUSB_CONTROL_SETUP_SIZE : 0);
    std::memcpy(t->buffer, data, std::min(actual, t->length));
  }
  if (s.port != nullptr) s.port->Complete(t, nt, usbd, std::min(actual, t->length));
}

void LIBUSB_CALL Done(libusb_transfer* xfer) {
  auto* p = static_cast<Pending*>(xfer->user_data);
  std::shared_ptr<LibusbDevice::Shared> shared = std::move(p->shared);
  {
    std::lock_guard lock(shared->mutex);
    NTSTATUS nt;
    uint32_t usbd;
    StatusOf(xfer->status, shared->gone, &nt, &usbd);
    const uint32_t actual =
        xfer->actual_length > 0 ? static_cast<uint32_t>(xfer->actual_length) : 0;
    Finish(*shared, p, nt, usbd, actual);
    shared->pending.erase(std::find(shared->pending.begin(), shared->pending.end(), p));
  }
  shared->drained.notify_all();
  libusb_free_transfer(xfer);
  delete p;
}

// Under shared.mutex: the transfer types of the configuration in force.
void LearnEndpoints(LibusbDevice::Shared& s, const std::vector<uint8_t>& config) {
  s.endpoints.clear();
  for (size_t at = 0; at + 2 <= config.size() && config[at] >= 2; at += config[at])
    if (config[at + 1] == LIBUSB_DT_ENDPOINT && config[at] >= 7 && at + 7 <= config.size())
      s.endpoints[config[at + 2]] = config[at + 3] & 0x03;
}

}  // namespace

LibusbDevice::LibusbDevice(libusb_device_handle* handle) : shared_(std::make_shared<Shared>()) {
  shared_->handle = handle;
  libusb_device* dev = libusb_get_device(handle);
  libusb_device_descriptor d{};
  if (libusb_get_device_descriptor(dev, &d) == 0) device_ = RawDevice(d);
  for (uint8_t i = 0; i < d.bNumConfigurations; ++i) {
    libusb_config_descriptor* c = nullptr;
    if (libusb_get_config_descriptor(dev, i, &c) != 0) break;
    configurations_.push_back(RawConfiguration(*c));
    libusb_free_config_descriptor(c);
  }
  int active = 0;
  if (libusb_get_configuration(handle, &active) == 0)
    for (const auto& c : configurations_)
      if (c[5] == active) LearnEndpoints(*shared_, c);
}

LibusbDevice::~LibusbDevice() {
  Attach(nullptr);
  Close();
}

void LibusbDevice::Attach(Port* port) {
  bool reset = false;
  {
    std::lock_guard lock(shared_->mutex);
    if (port == shared_->port) return;
    if (port == nullptr) {
      // The stack lets go of the device: each transfer it gave comes back
      // now, and libusb's own end is cancelled and freed when libusb says.
      for (Pending* p : shared_->pending) {
        Finish(*shared_, p, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0);
        if (!p->cancelRequested) {
          p->cancelRequested = true;
          libusb_cancel_transfer(p->xfer);
        }
      }
      shared_->port = nullptr;
      return;
    }
    reset = shared_->attachedOnce && !shared_->gone && shared_->handle != nullptr;
    shared_->attachedOnce = true;
  }
  // A port cycle: the device is reset on the wire. Linux re-enumerates it
  // when its descriptors changed or it is gone; then it is a new device.
  bool vanished = false;
  if (reset) {
    const int r = libusb_reset_device(shared_->handle);
    if (r != 0) vanished = true;
  }
  std::lock_guard lock(shared_->mutex);
  if (vanished) shared_->gone = true;
  shared_->port = port;
  if (shared_->gone) port->Vanish();
}

std::vector<uint8_t> LibusbDevice::DeviceDescriptor() { return device_; }

std::vector<uint8_t> LibusbDevice::ConfigurationDescriptor(uint8_t index) {
  return index < configurations_.size() ? configurations_[index] : std::vector<uint8_t>{};
}

bool LibusbDevice::SetConfiguration(uint8_t value) {
  libusb_device_handle* handle = nullptr;
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->gone || shared_->handle == nullptr) return false;
    handle = shared_->handle;
    // A new configuration resets the data endpoints: their transfers end.
    for (Pending* p : shared_->pending)
      if (!p->control && !p->cancelRequested) {
        p->cancelRequested = true;
        libusb_cancel_transfer(p->xfer);
      }
  }
  // Linux refuses the change under a claimed interface.
  libusb_release_interface(handle, 0);
  const int r = libusb_set_configuration(handle, value == 0 ? -1 : value);
  if (value != 0) libusb_claim_interface(handle, 0);
  if (r != 0) return false;
  std::lock_guard lock(shared_->mutex);
  shared_->endpoints.clear();
  for (const auto& c : configurations_)
    if (c.size() >= 9 && c[5] == value) LearnEndpoints(*shared_, c);
  return true;
}

void LibusbDevice::Submit(Transfer* t) {
  std::lock_guard lock(shared_->mutex);
  if (shared_->port == nullptr) return;  // not on a port: the stack sends nothing
  if (shared_->gone || shared_->handle == nullptr) {
    shared_->port->Complete(t, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0);
    return;
  }
  auto* p = new Pending;
  p->shared = shared_;
  p->transfer = t;
  p->xfer = libusb_alloc_transfer(0);
  if (p->xfer == nullptr) {
    delete p;
    shared_->port->Complete(t, STATUS_INSUFFICIENT_RESOURCES, USBD_STATUS_DEV_NOT_RESPONDING, 0);
    return;
  }
  if (t->kind == TransferKind::Control) {
    p->control = true;
    p->in = (t->setup.bmRequestType & LIBUSB_ENDPOINT_IN) != 0;
    const uint16_t length = static_cast<uint16_t>(std::min<uint32_t>(t->setup.wLength, t->length));
    p->buffer.resize(LIBUSB_CONTROL_SETUP_SIZE + length);
    libusb_fill_control_setup(p->buffer.data(), t->setup.bmRequestType, t->setup.bRequest,
                              t->setup.wValue, t->setup.wIndex, length);
    if (!p->in && length > 0 && t->buffer != nullptr)
      std::memcpy(p->buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, t->buffer, length);
    libusb_fill_control_transfer(p->xfer, shared_->handle, p->buffer.data(), Done, p, 0);
  } else {
    p->in = t->kind == TransferKind::BulkIn;
    p->buffer.resize(t->length);
    if (!p->in && t->length > 0) std::memcpy(p->buffer.data(), t->buffer, t->length);
    auto type = shared_->endpoints.find(t->endpoint);
    const bool interrupt =
        type != shared_->endpoints.end() && type->second == LIBUSB_TRANSFER_TYPE_INTERRUPT;
    libusb_fill_bulk_transfer(p->xfer, shared_->handle, t->endpoint, p->buffer.data(),
                              static_cast<int>(t->length), Done, p, 0);
    if (interrupt) p->xfer->type = LIBUSB_TRANSFER_TYPE_INTERRUPT;
  }
  const int r = libusb_submit_transfer(p->xfer);
  if (r != 0) {
    libusb_free_transfer(p->xfer);
    delete p;
    if (r == LIBUSB_ERROR_NO_DEVICE) {
      shared_->port->Complete(t, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE, 0);
    } else {
      shared_->port->Complete(t, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING, 0);
    }
    return;
  }
  shared_->pending.push_back(p);
}

void LibusbDevice::Cancel(Transfer* t) {
  std::lock_guard lock(shared_->mutex);
  // libusb never calls back inside libusb_cancel_transfer, so the lock can
  // stay held; the completion (LIBUSB_TRANSFER_CANCELLED) comes from the
  // event thread. A transfer already back with the stack is left alone.
  for (Pending* p : shared_->pending)
    if (p->transfer == t && !p->cancelRequested) {
      p->cancelRequested = true;
      libusb_cancel_transfer(p->xfer);
    }
}

void LibusbDevice::Left() {
  std::lock_guard lock(shared_->mutex);
  if (shared_->gone) return;
  shared_->gone = true;
  for (Pending* p : shared_->pending)
    if (!p->cancelRequested) {
      p->cancelRequested = true;
      libusb_cancel_transfer(p->xfer);
    }
  // The stack takes the device off the bus on its own thread.
  if (shared_->port != nullptr) shared_->port->Vanish();
}

bool LibusbDevice::Gone() {
  std::lock_guard lock(shared_->mutex);
  return shared_->gone;
}

size_t LibusbDevice::InFlight() {
  std::lock_guard lock(shared_->mutex);
  return shared_->pending.size();
}

bool LibusbDevice::Close() {
  libusb_device_handle* handle = nullptr;
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->handle == nullptr) return true;
    if (!shared_->pending.empty()) return false;
    handle = shared_->handle;
    shared_->handle = nullptr;
    shared_->gone = true;
  }
  libusb_release_interface(handle, 0);
  libusb_close(handle);
  return true;
}

}  // namespace hk::usb
