// The USB policy, written once over the platform's primitives: waiting for a
// transfer with a limit, and selecting a configuration (reading the
// descriptors, finding the configuration and its interfaces, binding pipes).
#include "device.h"

namespace tower {

namespace {

struct SyncWait {
  plat::Event done;
  NTSTATUS status;
};

// The completion's last touch of the waiter's record is setting the event:
// the waiter may return and let the record go as soon as it is set.
NTSTATUS SyncDone(void* context, plat::Request* request, NTSTATUS status) {
  (void)request;
  auto* wait = static_cast<SyncWait*>(context);
  wait->status = status;
  plat::EventSet(&wait->done);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

constexpr uint8_t kDescriptorDevice = 1;
constexpr uint8_t kDescriptorConfiguration = 2;
constexpr uint8_t kDescriptorInterface = 4;
constexpr ULONG kDeviceDescriptorBytes = 18;
constexpr ULONG kConfigurationHeaderBytes = 9;
constexpr uint8_t kInterfaceDescriptorBytes = 9;

bool UsbSuccess(ULONG usbStatus) { return (usbStatus >> 30) == 0; }

// Reads a descriptor; false when the stack or the device refused it.
bool ReadDescriptor(plat::Device* lower, uint8_t type, uint8_t index, void* buffer, ULONG bytes,
                    ULONG* got) {
  plat::TransferBlock* block = plat::TransferAllocDescriptor(type, index, buffer, bytes);
  if (block == nullptr) return false;
  const NTSTATUS status = TowerSubmitTransfer(lower, block, 0);
  const bool ok = NtSuccess(status) && UsbSuccess(plat::TransferUsbStatus(block));
  *got = plat::TransferLength(block);
  plat::TransferFree(block);
  return ok;
}

// The interface descriptor for (number, alternate) in a descriptor set of
// `length` bytes, walking each descriptor by its own length. Only a whole
// one counts, inside the bytes that arrived: the stack below reads all nine
// bytes of the descriptor it is handed, the count of endpoints among them,
// and a device that sends fewer must not have it read what follows instead.
const uint8_t* FindInterface(const uint8_t* set, ULONG length, uint8_t number, uint8_t alternate) {
  for (ULONG at = 0; at + 2 <= length && set[at] >= 2; at += set[at]) {
    if (set[at + 1] != kDescriptorInterface) continue;
    if (set[at] < kInterfaceDescriptorBytes || at + kInterfaceDescriptorBytes > length) continue;
    if (set[at + 2] == number && set[at + 3] == alternate) return set + at;
  }
  return nullptr;
}

// Whether an earlier binding of the same configuration names the same
// interface and alternate setting.
bool SeenBefore(const PipeBinding* bindings, ULONG at, uint8_t value) {
  for (ULONG i = 0; i < at; ++i) {
    if (bindings[i].configuration != value) continue;
    if (bindings[i].interfaceNumber == bindings[at].interfaceNumber &&
        bindings[i].alternateSetting == bindings[at].alternateSetting)
      return true;
  }
  return false;
}

// Everything a selection allocates, released together whatever the outcome.
struct Selection {
  uint8_t* set;
  plat::InterfaceSelection* list;
  plat::TransferBlock* select;
};

void Release(Selection* s) {
  if (s->select != nullptr) plat::TransferFree(s->select);
  if (s->list != nullptr) plat::PoolFree(s->list);
  if (s->set != nullptr) plat::PoolFree(s->set);
}

ULONG Select(plat::Device* lower, uint8_t value, const PipeBinding* bindings, ULONG count,
             ULONG maxBytes, Selection* s) {
  // The device descriptor tells how many configurations there are.
  uint8_t device[kDeviceDescriptorBytes];
  ULONG got = 0;
  if (!ReadDescriptor(lower, kDescriptorDevice, 0, device, sizeof(device), &got) ||
      got < sizeof(device))
    return kSelectNoDeviceDescriptor;

  // The configuration with the wanted value, read whole up to maxBytes.
  if (maxBytes < kConfigurationHeaderBytes) return kSelectNoConfiguration;
  s->set = static_cast<uint8_t*>(plat::PoolAlloc(maxBytes, kPoolTag));
  if (s->set == nullptr) return kSelectNoConfiguration;
  bool found = false;
  for (uint8_t index = 0; index < device[17] && !found; ++index) {
    ZeroBytes(s->set, maxBytes);
    if (!ReadDescriptor(lower, kDescriptorConfiguration, index, s->set, maxBytes, &got))
      return kSelectNoConfiguration;
    found = got >= kConfigurationHeaderBytes && got <= maxBytes && s->set[5] == value;
  }
  if (!found) return kSelectNoConfiguration;
  // The stack below walks the total length the descriptor claims: never let
  // it past the bytes that arrived.
  if (static_cast<ULONG>(s->set[2] | s->set[3] << 8) > got) {
    s->set[2] = static_cast<uint8_t>(got);
    s->set[3] = static_cast<uint8_t>(got >> 8);
  }

  // Each interface and alternate setting the bindings name, once. A
  // selection with no interface at all binds nothing the driver could use.
  ULONG interfaces = 0;
  for (ULONG i = 0; i < count; ++i) {
    if (bindings[i].configuration != value || SeenBefore(bindings, i, value)) continue;
    if (FindInterface(s->set, got, bindings[i].interfaceNumber, bindings[i].alternateSetting) ==
        nullptr)
      return kSelectNoInterface;
    ++interfaces;
  }
  if (interfaces == 0) return kSelectNoInterface;

  const size_t listBytes = interfaces * sizeof(plat::InterfaceSelection);
  s->list = static_cast<plat::InterfaceSelection*>(plat::PoolAlloc(listBytes, kPoolTag));
  if (s->list == nullptr) return kSelectNoMemory;
  ZeroBytes(s->list, listBytes);
  ULONG filled = 0;
  for (ULONG i = 0; i < count; ++i) {
    if (bindings[i].configuration != value || SeenBefore(bindings, i, value)) continue;
    s->list[filled++].descriptor =
        FindInterface(s->set, got, bindings[i].interfaceNumber, bindings[i].alternateSetting);
  }

  s->select = plat::TransferAllocSelect(s->set, s->list, interfaces);
  if (s->select == nullptr) return kSelectNoMemory;
  const NTSTATUS status = TowerSubmitTransfer(lower, s->select, 0);
  if (!NtSuccess(status) || !UsbSuccess(plat::TransferUsbStatus(s->select))) return kSelectRefused;
  plat::TransferSelectedPipes(s->select, s->list, interfaces);

  // The stack reported each interface's pipes: bind the ones asked for.
  for (ULONG i = 0; i < count; ++i) {
    const PipeBinding& binding = bindings[i];
    if (binding.configuration != value) continue;
    const plat::InterfaceSelection* chosen = nullptr;
    for (ULONG k = 0; k < interfaces && chosen == nullptr; ++k) {
      const uint8_t* d = s->list[k].descriptor;
      if (d[2] == binding.interfaceNumber && d[3] == binding.alternateSetting) chosen = &s->list[k];
    }
    if (chosen == nullptr || chosen->pipeCount == 0) return kSelectNoPipes;
    bool bound = false;
    for (ULONG p = 0; p < chosen->pipeCount && !bound; ++p) {
      if (chosen->pipes[p].endpoint != binding.endpoint) continue;
      *binding.pipe = chosen->pipes[p].pipe;
      bound = true;
    }
    if (!bound) return kSelectNoEndpoint;
  }
  return kSelectOk;
}

}  // namespace

NTSTATUS TowerSubmitTransfer(plat::Device* lower, plat::TransferBlock* block, ULONG limitMs) {
  plat::Request* request = plat::RequestAllocate(lower);
  if (request == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  SyncWait wait;
  wait.status = STATUS_PENDING;
  plat::EventInit(&wait.done, plat::EventType::Notification, false);
  TowerSubmitTransferAsync(lower, request, block, &SyncDone, &wait);
  NTSTATUS status = STATUS_SUCCESS;
  const int64_t limit = plat::RelativeMs(limitMs);
  if (limitMs > 0 && plat::EventWait(&wait.done, &limit) == STATUS_TIMEOUT) {
    // Over the limit: cancel, and wait without limit for the transfer to come
    // back, since its block and buffer may go only then.
    plat::RequestCancel(request);
    plat::EventWait(&wait.done, nullptr);
    status = STATUS_TIMEOUT;
  } else {
    plat::EventWait(&wait.done, nullptr);
    status = wait.status;
  }
  plat::RequestFree(request);
  plat::EventDestroy(&wait.done);
  return status;
}

ULONG TowerSelectConfiguration(plat::Device* lower, uint8_t value, const PipeBinding* bindings,
                               ULONG count, ULONG maxBytes) {
  Selection s{nullptr, nullptr, nullptr};
  const ULONG result = Select(lower, value, bindings, count, maxBytes, &s);
  Release(&s);
  return result;
}

NTSTATUS TowerUnconfigure(plat::Device* lower) {
  plat::TransferBlock* block = plat::TransferAllocSelect(nullptr, nullptr, 0);
  if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  const NTSTATUS status = TowerSubmitTransfer(lower, block, 0);
  plat::TransferFree(block);
  return status;
}

}  // namespace tower
