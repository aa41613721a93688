// Towers plugged and unplugged at random while several threads keep
// requests in flight on them: reads, writes, control codes (restarts
// among them), requests left pending and cancelled, handles kept open
// across an unplug and closed later. Run by hand under ASan and under TSan
// (scripts/churn.sh), never by the test command.
//
// It passes when, at the end, the verifier found nothing (no request
// completed twice or never, no lock order broken, no pool left at unload),
// every unplugged tower's device was deleted once its last handle closed,
// the driver holds no device and no pool beyond where it began, and no
// request came back with a status the driver has no business giving.
//
// Usage: churn [--cycles N] [--towers N] [--threads N] [--seed N] [--limit-s N]
//   --cycles   plug/unplug cycles in all (default 10000)
//   --towers   towers plugged at most at once (default 31, the most units)
//   --threads  request threads (default 4)
//   --limit-s  ends the run early, as a failure, after this many seconds
#include <strings.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "device.h"
#include "kernel/machine.h"
#include "sim/tower.h"
#include "tower/ids.h"
#include "tower/ioctl.h"
#include "tower/names.h"
#include "tower/ntstatus.h"

namespace {

using namespace tower;

constexpr char kService[] = "QIROUSBTower";
constexpr char kParameters[] =
    "Machine\\System\\CurrentControlSet\\Services\\QIROUSBTower\\Parameters";

struct Options {
  long cycles = 10000;
  long towers = kMaxUnits;
  long threads = 4;
  unsigned seed = 1;
  long limitSeconds = 3600;
};

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (i + 1 >= argc) return false;
    char* end = nullptr;
    const long value = std::strtol(argv[++i], &end, 10);
    if (end == nullptr || *end != '\0' || value < 0) return false;
    if (name == "--cycles") {
      options->cycles = value;
    } else if (name == "--towers" && value >= 1 && value <= static_cast<long>(kMaxUnits)) {
      options->towers = value;
    } else if (name == "--threads" && value >= 1) {
      options->threads = value;
    } else if (name == "--seed") {
      options->seed = static_cast<unsigned>(value);
    } else if (name == "--limit-s" && value >= 1) {
      options->limitSeconds = value;
    } else {
      return false;
    }
  }
  return true;
}

// The driver's devices, read from its list.
size_t DriverDevices(hk::Machine& machine) {
  hk::DriverObject* driver = machine.FindDriver(kService);
  size_t count = 0;
  for (hk::DeviceObject* device = machine.kernel().FirstDevice(driver); device != nullptr;
       device = machine.kernel().NextDevice(device))
    ++count;
  return count;
}

// The towers present now, from the device tree.
std::vector<hk::DeviceObject*> PresentTowers(hk::Machine& machine) {
  std::vector<hk::DeviceObject*> towers;
  std::lock_guard<std::recursive_mutex> lock(machine.tree().mutex());
  for (hk::DevNode* node : machine.tree().Nodes())
    if (node->present && node->physical != nullptr &&
        strncasecmp(node->instanceId.c_str(), kTowerHardwareId, std::strlen(kTowerHardwareId)) == 0)
      towers.push_back(node->physical);
  return towers;
}

long PeakKilobytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// What a request may end with while its tower comes and goes: done, or
// refused because the tower is leaving, gone, not ready, restarting,
// cancelled, or because the request itself was malformed.
bool Expected(NTSTATUS status) {
  switch (status) {
    case STATUS_SUCCESS:
    case STATUS_DELETE_PENDING:
    case STATUS_DEVICE_NOT_READY:
    case STATUS_DEVICE_NOT_CONNECTED:
    case STATUS_NO_SUCH_DEVICE:
    case STATUS_CANCELLED:
    case STATUS_INVALID_PARAMETER:
    case STATUS_INVALID_DEVICE_REQUEST:
    case STATUS_BUFFER_TOO_SMALL:
    case STATUS_UNSUCCESSFUL:
    case STATUS_IO_TIMEOUT:
    case STATUS_DEVICE_BUSY:
    case STATUS_INSUFFICIENT_RESOURCES:
      return true;
    default:
      return false;
  }
}

struct Counts {
  std::atomic<long> requests{0};
  std::atomic<long> opens{0};
  std::atomic<long> restarts{0};
  std::atomic<long> cancels{0};
  std::atomic<long> heldAcrossUnplug{0};
  std::atomic<long> unexpected{0};
};

std::mutex reportMutex;
std::map<NTSTATUS, long> unexpectedStatuses;

void Note(Counts& counts, NTSTATUS status) {
  counts.requests.fetch_add(1, std::memory_order_relaxed);
  if (Expected(status)) return;
  counts.unexpected.fetch_add(1, std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(reportMutex);
  ++unexpectedStatuses[status];
}

// One request thread: opens towers by unit number, sends what a program
// may send, and sometimes keeps a handle for a while, over an unplug.
void Requests(hk::Machine& machine, unsigned seed, const std::atomic<bool>& stop, Counts& counts) {
  std::mt19937 random(seed);
  // Every assigned function, the restart included, and codes no driver knows.
  std::vector<uint32_t> codes;
  for (uint32_t function = 0x800; function <= 0x828; ++function)
    codes.push_back(TOWER_CTL_CODE(function));
  codes.push_back(0x00220003u);
  codes.push_back(0x0022FFFCu);
  std::vector<hk::FileObject*> kept;
  while (!stop.load(std::memory_order_relaxed)) {
    hk::FileObject* file = nullptr;
    char16_t link[kMaxNameChars];
    FormatLinkName(1 + random() % kMaxUnits, false, link, kMaxNameChars);
    if (!NtSuccess(machine.io().Open(link, &file))) continue;
    counts.opens.fetch_add(1, std::memory_order_relaxed);
    const int operations = 1 + static_cast<int>(random() % 6);
    for (int i = 0; i < operations; ++i) {
      uint8_t buffer[160];
      for (auto& byte : buffer) byte = static_cast<uint8_t>(random());
      uint32_t got = 0;
      switch (random() % 6) {
        case 0:
          Note(counts, machine.io().Read(file, buffer, 1 + random() % 64, &got));
          break;
        case 1:
          Note(counts, machine.io().Write(file, buffer, 1 + random() % 64, &got));
          break;
        case 2: {
          const uint32_t code = codes[random() % codes.size()];
          if (code == IOCTL_TOWER_RESTART) counts.restarts.fetch_add(1, std::memory_order_relaxed);
          // Short timeouts only: a long one would only slow the run.
          if (code == IOCTL_TOWER_SET_TIMEOUTS) std::memset(buffer + 8, 0, 16);
          const uint32_t in = random() % 2 ? 0 : random() % 33;
          const uint32_t out = random() % 129;
          Note(counts,
               machine.io().Control(file, code, in ? buffer : nullptr, in, buffer + 32, out, &got));
          break;
        }
        case 3: {
          // A read left pending, then cancelled (or finished first).
          auto pending = machine.io().ReadAsync(file, buffer, 1 + random() % 32);
          machine.io().CancelIo(file);
          counts.cancels.fetch_add(1, std::memory_order_relaxed);
          pending->Wait(std::chrono::hours(1));
          Note(counts, pending->status());
          break;
        }
        default:
          Note(counts, machine.io().Control(file, IOCTL_TOWER_GET_STATE, nullptr, 0, buffer,
                                            sizeof(buffer), &got));
          break;
      }
    }
    // Now and then a handle outlives this turn: its tower may be unplugged
    // meanwhile, and its last close must then delete the device.
    if (random() % 8 == 0 && kept.size() < 4) {
      kept.push_back(file);
      continue;
    }
    if (machine.io().Close(file) != STATUS_SUCCESS) counts.unexpected.fetch_add(1);
    if (!kept.empty() && random() % 2 == 0) {
      counts.heldAcrossUnplug.fetch_add(1, std::memory_order_relaxed);
      if (machine.io().Close(kept.back()) != STATUS_SUCCESS) counts.unexpected.fetch_add(1);
      kept.pop_back();
    }
  }
  for (hk::FileObject* file : kept)
    if (machine.io().Close(file) != STATUS_SUCCESS) counts.unexpected.fetch_add(1);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: churn [--cycles N] [--towers 1..31] [--threads N] [--seed N] "
                 "[--limit-s N]\n");
    return 2;
  }
  const auto state =
      std::filesystem::temp_directory_path() / ("tower-churn-" + std::to_string(::getpid()));
  std::filesystem::remove_all(state);
  const auto started = std::chrono::steady_clock::now();
  int failed = 0;
  {
    hk::Machine machine(hk::Machine::Options{state, false});
    if (machine.LoadDriver(kService, TOWER_DRIVER_MODULE) != STATUS_SUCCESS) {
      std::fprintf(stderr, "churn: the driver did not load\n");
      return 1;
    }
    machine.BindHardwareId(kTowerHardwareId, kService);
    // Reads give up quickly, so that requests keep moving.
    machine.registry().CreateKey(kParameters);
    machine.registry().SetDword(kParameters, "Timeout_Read_1st", 2);
    machine.registry().SetDword(kParameters, "Timeout_Read_ic", 2);
    const size_t devicesBefore = DriverDevices(machine);
    const size_t poolBefore = machine.kernel().PoolBytes(kPoolTag);
    const long peakBefore = PeakKilobytes();

    Counts counts;
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (long t = 0; t < options.threads; ++t)
      threads.emplace_back(Requests, std::ref(machine),
                           options.seed * 1000 + static_cast<unsigned>(t), std::cref(stop),
                           std::ref(counts));

    std::mt19937 random(options.seed);
    std::atomic<long> deleted{0};
    long plugs = 0;
    long refused = 0;
    std::map<NTSTATUS, long> refusals;
    long unplugs = 0;
    bool outOfTime = false;
    auto unplug = [&](hk::DeviceObject* physical) {
      machine.Unplug(physical, [&deleted] { deleted.fetch_add(1); });
      ++unplugs;
    };
    while (plugs < options.cycles) {
      if (std::chrono::steady_clock::now() - started > std::chrono::seconds(options.limitSeconds)) {
        outOfTime = true;
        break;
      }
      // Taken from the device tree each time: a restart cycles a tower's
      // port, and it comes back as a new physical device.
      const std::vector<hk::DeviceObject*> present = PresentTowers(machine);
      if (present.size() < static_cast<size_t>(options.towers) &&
          (present.empty() || random() % 2 == 0)) {
        sim::TowerOptions tower;
        tower.linkDelay = false;
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        machine.PlugUsb(std::make_shared<sim::TowerModel>(tower), kTowerHardwareId, &status);
        ++plugs;
        // A tower may meet the names of one whose removal still waits for
        // a handle: its start fails, and it stays until it is pulled out.
        if (!NtSuccess(status)) {
          ++refused;
          ++refusals[status];
        }
      } else {
        unplug(present[random() % present.size()]);
      }
    }
    stop = true;
    for (auto& thread : threads) thread.join();
    // Every tower out, restarts that were under way included.
    for (;;) {
      machine.SettlePnp();
      const std::vector<hk::DeviceObject*> present = PresentTowers(machine);
      if (present.empty()) break;
      for (hk::DeviceObject* physical : present) unplug(physical);
    }

    const size_t devicesAfter = DriverDevices(machine);
    const size_t poolAfter = machine.kernel().PoolBytes(kPoolTag);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf(
        "churn: %ld towers plugged and pulled out again in %.1f s, %.0f cycles/s (%ld "
        "unplugs asked for; a restart's own cycles come on top)\n",
        plugs, seconds, static_cast<double>(plugs) / seconds, unplugs);
    std::printf("churn: %ld starts refused:", refused);
    for (const auto& [status, n] : refusals)
      std::printf(" 0x%08X x%ld", static_cast<unsigned>(status), n);
    std::printf("\n");
    std::printf(
        "churn: %ld requests from %ld threads on %ld opens (%ld restarts, %ld "
        "cancelled reads, %ld handles closed after other work)\n",
        counts.requests.load(), options.threads, counts.opens.load(), counts.restarts.load(),
        counts.cancels.load(), counts.heldAcrossUnplug.load());
    std::printf(
        "churn: removals carried out after the last close: %ld (a tower a restart had "
        "cycled already is not removed again)\n",
        deleted.load());
    std::printf(
        "churn: the driver's devices %zu -> %zu, its pool %zu -> %zu bytes; peak "
        "memory %ld -> %ld KiB\n",
        devicesBefore, devicesAfter, poolBefore, poolAfter, peakBefore, PeakKilobytes());
    if (outOfTime) {
      std::printf("churn: FAILED: the %ld s limit passed first\n", options.limitSeconds);
      failed = 1;
    }
    if (counts.unexpected.load() != 0) {
      std::printf("churn: FAILED: %ld requests ended with a status they should not have:",
                  counts.unexpected.load());
      for (const auto& [status, n] : unexpectedStatuses)
        std::printf(" 0x%08X x%ld", static_cast<unsigned>(status), n);
      std::printf("\n");
      failed = 1;
    }
    for (hk::DeviceObject* device = machine.kernel().FirstDevice(machine.FindDriver(kService));
         device != nullptr; device = machine.kernel().NextDevice(device)) {
      hk::DeviceObject* below = device->attachedTo;
      hk::DevNode* node = below != nullptr ? machine.NodeOf(below) : nullptr;
      const auto* record = *reinterpret_cast<TowerDevice* const*>(device->extension.data());
      std::printf(
          "churn: left: device %llu, %d open, removing %d; below: %s%s; unit %lu, "
          "attached %d, started %ld, surprise-removed %ld, removed %ld, open count %ld, "
          "drained %d\n",
          static_cast<unsigned long long>(device->id), device->openFiles, device->removing ? 1 : 0,
          below == nullptr ? "none" : (below->deleted ? "deleted" : "there"),
          node == nullptr ? ", no node" : (node->present ? ", present" : ", absent"),
          static_cast<unsigned long>(record->UnitNumber), record->Attached ? 1 : 0,
          static_cast<long>(record->Dispatch.Started),
          static_cast<long>(record->Dispatch.SurpriseRemoved),
          static_cast<long>(record->Dispatch.Removed),
          static_cast<long>(record->Dispatch.OpenCount), record->Dispatch.Life.Drained ? 1 : 0);
    }
    // Every unit number is free again once every tower is gone.
    const auto* driverState =
        static_cast<const TowerDriver*>(machine.FindDriver(kService)->context);
    if (driverState->UnitMask != 0) {
      std::printf("churn: FAILED: unit numbers still taken: mask 0x%08lX\n",
                  static_cast<unsigned long>(driverState->UnitMask));
      failed = 1;
    }
    if (devicesAfter != devicesBefore || poolAfter != poolBefore) {
      std::printf("churn: FAILED: a removed tower's device or pool outlived its last close\n");
      failed = 1;
    }
    const std::vector<std::string> violations = machine.Shutdown();
    for (const auto& v : violations) std::printf("churn: verifier: %s\n", v.c_str());
    std::printf("churn: verifier findings: %zu\n", violations.size());
    if (!violations.empty()) failed = 1;
  }
  std::filesystem::remove_all(state);
  std::printf("churn: %s\n", failed ? "FAILED" : "passed");
  return failed;
}
