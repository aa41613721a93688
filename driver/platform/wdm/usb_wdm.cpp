// USB on the Windows kernel: request blocks (URBs) for the tower, the
// asynchronous submission to the USB stack below and the port cycle. The
// policy over them (waiting with a limit, selecting a configuration) is the
// driver logic's.
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

TransferBlock* TransferAllocAbortPipe(Pipe* pipe) {
  const size_t bytes = sizeof(struct _URB_PIPE_REQUEST);
  PURB urb = NewUrb(bytes);
  if (urb == nullptr) return nullptr;
  urb->UrbPipeRequest.Hdr.Length = static_cast<USHORT>(bytes);
  urb->UrbPipeRequest.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
  urb->UrbPipeRequest.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(pipe);
  return B(urb);
}

void TransferFree(TransferBlock* block) { PoolFree(block); }

void TransferRenewBulk(TransferBlock* block, ULONG length) {
  PURB urb = K(block);
  // The completion rewrote the length and the status; pipe, buffer and flags
  // are as they were built.
  const USBD_PIPE_HANDLE pipe = urb->UrbBulkOrInterruptTransfer.PipeHandle;
  const PVOID buffer = urb->UrbBulkOrInterruptTransfer.TransferBuffer;
  const ::ULONG flags = urb->UrbBulkOrInterruptTransfer.TransferFlags;
  const size_t bytes = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  Zero(urb, bytes);
  UsbBuildInterruptOrBulkTransferRequest(urb, bytes, pipe, buffer, nullptr, length, flags, nullptr);
}

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
// how the packet was allocated, which its release needs, and a cancel that
// came before this submission: cleanup may cancel the receive packet between
// the reader storing it and submitting it, and that cancel must reach the
// stack below, or the transfer stays out and cleanup's wait runs out.
void Renew(PIRP irp) {
  const UCHAR allocation = irp->AllocationFlags;
  const BOOLEAN cancelled = irp->Cancel;
  IoInitializeIrp(irp, irp->Size, irp->StackCount);
  irp->AllocationFlags = allocation;
  irp->Cancel = cancelled;
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

TransferBlock* TransferAllocDescriptor(uint8_t type, uint8_t index, void* buffer, ULONG length) {
  const size_t bytes = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
  PURB urb = NewUrb(bytes);
  if (urb == nullptr) return nullptr;
  Zero(buffer, length);
  UsbBuildGetDescriptorRequest(urb, bytes, type, index, 0, buffer, nullptr, length, nullptr);
  return B(urb);
}

TransferBlock* TransferAllocSelect(const uint8_t* configuration, const InterfaceSelection* list,
                                   ULONG count) {
  if (configuration == nullptr) {
    const size_t bytes = sizeof(struct _URB_SELECT_CONFIGURATION);
    PURB urb = NewUrb(bytes);
    // No configuration descriptor: the device goes back to the unconfigured state.
    if (urb != nullptr) UsbBuildSelectConfigurationRequest(urb, bytes, nullptr);
    return B(urb);
  }
  // The USB library builds the request from a list that ends with an empty
  // entry; the request holds each interface's information from then on.
  const size_t listBytes = (count + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
  auto* entries = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(PoolAlloc(listBytes, kWdmPoolTag));
  if (entries == nullptr) return nullptr;
  Zero(entries, listBytes);
  for (ULONG i = 0; i < count; ++i)
    entries[i].InterfaceDescriptor =
        reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<uint8_t*>(list[i].descriptor));
  auto* set = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<uint8_t*>(configuration));
  PURB urb = USBD_CreateConfigurationRequestEx(set, entries);
  PoolFree(entries);
  return B(urb);  // allocated by the USB library from the pool, freed as any block
}

void TransferSelectedPipes(TransferBlock* block, InterfaceSelection* list, ULONG count) {
  PURB urb = K(block);
  // The interfaces' information follows the request, each as long as it says.
  auto* info = &urb->UrbSelectConfiguration.Interface;
  const auto* end = reinterpret_cast<const uint8_t*>(urb) + urb->UrbHeader.Length;
  for (ULONG k = 0; k < count && reinterpret_cast<const uint8_t*>(info) < end; ++k) {
    for (ULONG i = 0; i < count; ++i) {
      if (list[i].descriptor[2] != info->InterfaceNumber ||
          list[i].descriptor[3] != info->AlternateSetting)
        continue;
      list[i].pipeCount = 0;
      for (::ULONG p = 0; p < info->NumberOfPipes && list[i].pipeCount < kMaxPipesPerInterface; ++p)
        list[i].pipes[list[i].pipeCount++] = {info->Pipes[p].EndpointAddress,
                                              reinterpret_cast<Pipe*>(info->Pipes[p].PipeHandle)};
    }
    if (info->Length == 0) break;
    info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t*>(info) +
                                                         info->Length);
  }
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
