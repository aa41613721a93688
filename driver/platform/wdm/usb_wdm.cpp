// USB on the Windows kernel: request blocks (URBs) for the tower, their
// submission to the USB stack below, and the configuration selection.
#include "ddk.h"

namespace plat {

namespace {

TransferBlock* B(PURB urb) { return reinterpret_cast<TransferBlock*>(urb); }

PURB NewUrb(size_t bytes) {
  auto* urb = static_cast<PURB>(PoolAlloc(bytes, kWdmPoolTag));
  if (urb != nullptr) Zero(urb, bytes);
  return urb;
}

// Sends a request packet of the driver's own, whose next stack location is
// filled in, to the device below, and waits for it to come back: at most
// limitMs when limitMs > 0, otherwise without limit. A transfer that outlives
// its limit is cancelled, and waited for without limit, since the packet
// must be back before it can be freed.
::NTSTATUS SendAndWait(PDEVICE_OBJECT lower, PIRP irp, ULONG limitMs) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, &SignalCompletion, &done, TRUE, TRUE, TRUE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  if (IoCallDriver(lower, irp) == STATUS_PENDING) {
    if (limitMs > 0) {
      LARGE_INTEGER limit;
      limit.QuadPart = RelativeMs(limitMs);
      if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &limit) == STATUS_TIMEOUT) {
        IoCancelIrp(irp);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        return STATUS_TIMEOUT;
      }
    } else {
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
  }
  return irp->IoStatus.Status;
}

void AddressInternal(PIRP irp, ::ULONG ioctl, PVOID argument) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = ioctl;
  next->Parameters.Others.Argument1 = argument;
}

}  // namespace

// ---- request blocks -------------------------------------------------------------

TransferBlock* TransferAllocVendor(uint8_t request, uint16_t value, uint16_t index, void* reply,
                                   ULONG length) {
  const size_t bytes = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  PURB urb = NewUrb(bytes);
  if (urb == nullptr) return nullptr;
  // Vendor request to the device, device to host; a short reply is an error.
  UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE, bytes, USBD_TRANSFER_DIRECTION_IN, 0,
                        request, value, index, reply, nullptr, length, nullptr);
  return B(urb);
}

TransferBlock* TransferAllocBulk(Pipe* pipe, void* buffer, ULONG length, bool in, bool shortOk) {
  const size_t bytes = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  PURB urb = NewUrb(bytes);
  if (urb == nullptr) return nullptr;
  ::ULONG flags = in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT;
  if (shortOk) flags |= USBD_SHORT_TRANSFER_OK;
  UsbBuildInterruptOrBulkTransferRequest(urb, bytes, reinterpret_cast<USBD_PIPE_HANDLE>(pipe),
                                         buffer, nullptr, length, flags, nullptr);
  return B(urb);
}

void TransferFree(TransferBlock* block) { PoolFree(block); }

ULONG TransferLength(TransferBlock* block) {
  PURB urb = K(block);
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    case URB_FUNCTION_VENDOR_DEVICE:
      return urb->UrbControlVendorClassRequest.TransferBufferLength;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return urb->UrbControlDescriptorRequest.TransferBufferLength;
    default:
      return 0;
  }
}

ULONG TransferUsbStatus(TransferBlock* block) { return K(block)->UrbHeader.Status; }

// ---- submission -----------------------------------------------------------------

NTSTATUS SubmitTransfer(Device* lower, TransferBlock* block, ULONG limitMs) {
  PIRP irp = IoAllocateIrp(K(lower)->StackSize, FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  AddressInternal(irp, IOCTL_INTERNAL_USB_SUBMIT_URB, K(block));
  const ::NTSTATUS status = SendAndWait(K(lower), irp, limitMs);
  IoFreeIrp(irp);
  return status;
}

// A request packet for asynchronous transfers has one stack location more
// than the stack below needs: the top one is the driver's own and holds the
// callback while the transfer is below.
Request* RequestAllocate(Device* lower) {
  return R(IoAllocateIrp(static_cast<CCHAR>(K(lower)->StackSize + 1), FALSE));
}

void RequestFree(Request* request) { IoFreeIrp(K(request)); }

namespace {

::NTSTATUS NTAPI TransferCompleted(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  (void)device;
  // The packet has come back up to the driver's own stack location.
  const PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(irp);
  const auto done = reinterpret_cast<TransferDone>(own->Parameters.Others.Argument1);
  return done(context, R(irp), irp->IoStatus.Status);
}

// Makes a packet fresh for another submission, as the NT family's IoReuseIrp
// does (the legacy family lacks that routine): everything but the record of
// how the packet was allocated, which its release needs, starts over.
void Renew(PIRP irp) {
  const UCHAR allocation = irp->AllocationFlags;
  IoInitializeIrp(irp, irp->Size, irp->StackCount);
  irp->AllocationFlags = allocation;
}

}  // namespace

NTSTATUS SubmitTransferAsync(Device* lower, Request* request, TransferBlock* block,
                             TransferDone done, void* context) {
  PIRP irp = K(request);
  if (irp->StackCount < K(lower)->StackSize + 1) return STATUS_INVALID_PARAMETER;
  Renew(irp);
  IoSetNextIrpStackLocation(irp);
  IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1 = reinterpret_cast<PVOID>(done);
  AddressInternal(irp, IOCTL_INTERNAL_USB_SUBMIT_URB, K(block));
  IoSetCompletionRoutine(irp, &TransferCompleted, context, TRUE, TRUE, TRUE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  return IoCallDriver(K(lower), irp);
}

void RequestCancel(Request* request) { IoCancelIrp(K(request)); }

bool RequestCancelled(Request* request) { return K(request)->Cancel != FALSE; }

// ---- configuration --------------------------------------------------------------

namespace {

// Everything a selection allocates, released together whatever the outcome.
struct Selection {
  PURB descriptorRequest;
  PUSB_DEVICE_DESCRIPTOR device;
  PUSB_CONFIGURATION_DESCRIPTOR configuration;
  PUSBD_INTERFACE_LIST_ENTRY interfaces;  // ends with an empty entry
  PURB select;
};

void Release(Selection* s) {
  PoolFree(s->select);  // the USB library allocates it from the pool
  PoolFree(s->interfaces);
  PoolFree(s->configuration);
  PoolFree(s->device);
  PoolFree(s->descriptorRequest);
}

// Reads a descriptor of the device into buffer; false when the stack or the
// device refused. *got: the bytes that arrived.
bool ReadDescriptor(Device* lower, PURB urb, UCHAR type, UCHAR index, void* buffer, ULONG bytes,
                    ULONG* got) {
  const size_t urbBytes = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
  Zero(urb, urbBytes);
  Zero(buffer, bytes);
  UsbBuildGetDescriptorRequest(urb, urbBytes, type, index, 0, buffer, nullptr, bytes, nullptr);
  const ::NTSTATUS status = SubmitTransfer(lower, B(urb), 0);
  if (!NT_SUCCESS(status) || !USBD_SUCCESS(urb->UrbHeader.Status)) return false;
  *got = urb->UrbControlDescriptorRequest.TransferBufferLength;
  return true;
}

bool Selected(const PipeBinding& binding, uint8_t value) { return binding.configuration == value; }

// Whether an earlier binding of the same configuration names the same
// interface and alternate setting.
bool SeenBefore(const PipeBinding* bindings, ULONG at, uint8_t value) {
  for (ULONG i = 0; i < at; ++i) {
    if (!Selected(bindings[i], value)) continue;
    if (bindings[i].interfaceNumber == bindings[at].interfaceNumber &&
        bindings[i].alternateSetting == bindings[at].alternateSetting)
      return true;
  }
  return false;
}

PUSB_INTERFACE_DESCRIPTOR FindInterface(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                        const PipeBinding& binding) {
  return USBD_ParseConfigurationDescriptorEx(configuration, configuration, binding.interfaceNumber,
                                             binding.alternateSetting, -1, -1, -1);
}

ULONG Select(Device* lower, uint8_t value, const PipeBinding* bindings, ULONG count, ULONG maxBytes,
             Selection* s) {
  // The device descriptor tells how many configurations there are.
  s->descriptorRequest = NewUrb(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  s->device =
      static_cast<PUSB_DEVICE_DESCRIPTOR>(PoolAlloc(sizeof(USB_DEVICE_DESCRIPTOR), kWdmPoolTag));
  ULONG got = 0;
  if (s->descriptorRequest == nullptr || s->device == nullptr ||
      !ReadDescriptor(lower, s->descriptorRequest, USB_DEVICE_DESCRIPTOR_TYPE, 0, s->device,
                      sizeof(USB_DEVICE_DESCRIPTOR), &got) ||
      got < sizeof(USB_DEVICE_DESCRIPTOR))
    return kSelectNoDeviceDescriptor;

  // The configuration with the wanted value, read whole up to maxBytes.
  if (maxBytes < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return kSelectNoConfiguration;
  s->configuration = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(PoolAlloc(maxBytes, kWdmPoolTag));
  if (s->configuration == nullptr) return kSelectNoConfiguration;
  bool found = false;
  for (UCHAR index = 0; index < s->device->bNumConfigurations && !found; ++index) {
    if (!ReadDescriptor(lower, s->descriptorRequest, USB_CONFIGURATION_DESCRIPTOR_TYPE, index,
                        s->configuration, maxBytes, &got))
      return kSelectNoConfiguration;
    found = got >= sizeof(USB_CONFIGURATION_DESCRIPTOR) &&
            s->configuration->bConfigurationValue == value;
  }
  if (!found) return kSelectNoConfiguration;
  // The USB library walks the total length the descriptor claims: never let
  // it past the bytes that arrived.
  if (s->configuration->wTotalLength > got)
    s->configuration->wTotalLength = static_cast<USHORT>(got);

  // Each interface and alternate setting the bindings name, once.
  ULONG interfaces = 0;
  for (ULONG i = 0; i < count; ++i) {
    if (!Selected(bindings[i], value) || SeenBefore(bindings, i, value)) continue;
    if (FindInterface(s->configuration, bindings[i]) == nullptr) return kSelectNoInterface;
    ++interfaces;
  }
  if (interfaces == 0) return kSelectNoInterface;

  const size_t listBytes = (interfaces + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
  s->interfaces = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(PoolAlloc(listBytes, kWdmPoolTag));
  if (s->interfaces == nullptr) return kSelectNoMemory;
  Zero(s->interfaces, listBytes);
  ULONG filled = 0;
  for (ULONG i = 0; i < count; ++i) {
    if (!Selected(bindings[i], value) || SeenBefore(bindings, i, value)) continue;
    s->interfaces[filled++].InterfaceDescriptor = FindInterface(s->configuration, bindings[i]);
  }

  s->select = USBD_CreateConfigurationRequestEx(s->configuration, s->interfaces);
  if (s->select == nullptr) return kSelectNoMemory;
  const ::NTSTATUS status = SubmitTransfer(lower, B(s->select), 0);
  if (!NT_SUCCESS(status) || !USBD_SUCCESS(s->select->UrbHeader.Status)) return kSelectRefused;

  // The stack filled in each interface's pipes: bind the ones asked for.
  for (ULONG i = 0; i < count; ++i) {
    const PipeBinding& binding = bindings[i];
    if (!Selected(binding, value)) continue;
    PUSBD_INTERFACE_INFORMATION info = nullptr;
    for (ULONG k = 0; k < interfaces; ++k) {
      const PUSB_INTERFACE_DESCRIPTOR d = s->interfaces[k].InterfaceDescriptor;
      if (d->bInterfaceNumber == binding.interfaceNumber &&
          d->bAlternateSetting == binding.alternateSetting) {
        info = s->interfaces[k].Interface;
        break;
      }
    }
    if (info == nullptr) return kSelectNoPipes;
    bool bound = false;
    for (::ULONG p = 0; p < info->NumberOfPipes && !bound; ++p) {
      if (info->Pipes[p].EndpointAddress != binding.endpoint) continue;
      *binding.pipe = reinterpret_cast<Pipe*>(info->Pipes[p].PipeHandle);
      bound = true;
    }
    if (!bound) return kSelectNoEndpoint;
  }
  return kSelectOk;
}

}  // namespace

ULONG SelectConfiguration(Device* lower, uint8_t value, const PipeBinding* bindings, ULONG count,
                          ULONG maxBytes) {
  Selection s{};
  const ULONG result = Select(lower, value, bindings, count, maxBytes, &s);
  Release(&s);
  return result;
}

NTSTATUS Unconfigure(Device* lower) {
  const size_t bytes = sizeof(struct _URB_SELECT_CONFIGURATION);
  PURB urb = NewUrb(bytes);
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  // No configuration descriptor: the device goes back to the unconfigured state.
  UsbBuildSelectConfigurationRequest(urb, bytes, nullptr);
  const ::NTSTATUS status = SubmitTransfer(lower, B(urb), 0);
  PoolFree(urb);
  return status;
}

NTSTATUS CyclePort(Device* lower) {
  PIRP irp = IoAllocateIrp(K(lower)->StackSize, FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  AddressInternal(irp, IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr);
  const ::NTSTATUS status = SendAndWait(K(lower), irp, 0);
  IoFreeIrp(irp);
  return status;
}

}  // namespace plat
