// The registry configuration a tower's device reads at every open and every
// start.
#include "device.h"
#include "tower/values.h"

namespace tower {

namespace {

constexpr char16_t kServiceKey[] = u"QIROUSBTower";
constexpr char16_t kParametersKey[] = u"QIROUSBTower\\Parameters";
// The start reads HighPower through this spelling; keys match case-insensitively.
constexpr char16_t kHighPowerKey[] = u"QIROUSBTower\\parameters";

// Copies a value of at most 4 bytes over the low bytes of target, whatever its
// registry type. A missing value, or one with more data, leaves target alone.
void ReadNumber(plat::RegKey* key, const char16_t* name, ULONG* target) {
  uint8_t data[4] = {};
  ULONG type = 0;
  ULONG bytes = 0;
  if (!NtSuccess(plat::RegQueryValue(key, name, &type, data, sizeof(data), &bytes))) return;
  if (bytes > sizeof(data)) return;
  auto* low = reinterpret_cast<uint8_t*>(target);  // little-endian: low bytes first
  for (ULONG i = 0; i < bytes; ++i) low[i] = data[i];
}

}  // namespace

NTSTATUS TowerApplyLinkSettings(TowerDevice* device) {
  // The service key is only a stepping stone: its result does not matter.
  plat::RegKey* service = nullptr;
  if (!NtSuccess(plat::RegOpenKey(plat::RegRoot::Services, kServiceKey, plat::kKeyReadCreate, true,
                                  &service)))
    service = nullptr;

  plat::RegKey* parameters = nullptr;
  const NTSTATUS opened = plat::RegOpenKey(plat::RegRoot::Services, kParametersKey,
                                           plat::kKeyReadCreate, true, &parameters);
  if (!NtSuccess(opened)) {
    if (service != nullptr) plat::RegClose(service);
    return opened;
  }

  ULONG linkMode = TOWER_LINK_IR;
  ULONG range = TOWER_RANGE_LONG;
  ReadNumber(parameters, u"LinkMode", &linkMode);
  ReadNumber(parameters, u"IRRange", &range);
  // Values from the registry are taken as they are: never validated or clamped.
  ULONG timeoutWrite = 0;
  ULONG timeoutRead1st = 0;
  ULONG timeoutReadIc = 0;
  {
    const plat::Irql irql = plat::SpinLockAcquire(&device->StateLock);
    timeoutWrite = device->Timeout_Write;
    timeoutRead1st = device->Timeout_Read_1st;
    timeoutReadIc = device->Timeout_Read_ic;
    plat::SpinLockRelease(&device->StateLock, irql);
  }
  ReadNumber(parameters, u"Timeout_Write", &timeoutWrite);
  ReadNumber(parameters, u"Timeout_Read_1st", &timeoutRead1st);
  ReadNumber(parameters, u"Timeout_Read_ic", &timeoutReadIc);
  ReadNumber(parameters, u"BufferSize", &device->BufferSize);
  {
    const plat::Irql irql = plat::SpinLockAcquire(&device->StateLock);
    device->Timeout_Write = timeoutWrite;
    device->Timeout_Read_1st = timeoutRead1st;
    device->Timeout_Read_ic = timeoutReadIc;
    plat::SpinLockRelease(&device->StateLock, irql);
  }

  // The range always goes before the link mode; only the low bytes are sent.
  const NTSTATUS status = TowerPushLinkSettings(device, static_cast<uint8_t>(range & 0xFF),
                                                static_cast<uint8_t>(linkMode & 0xFF));
  plat::RegClose(parameters);
  if (service != nullptr) plat::RegClose(service);
  return status;
}

void TowerReadHighPower(TowerDevice* device) {
  plat::RegKey* key = nullptr;
  if (!NtSuccess(
          plat::RegOpenKey(plat::RegRoot::Services, kHighPowerKey, plat::kKeyRead, true, &key)))
    return;
  ULONG value = device->HighPower;
  ReadNumber(key, u"HighPower", &value);
  device->HighPower = value != 0 ? 1 : 0;
  plat::RegClose(key);
}

}  // namespace tower
