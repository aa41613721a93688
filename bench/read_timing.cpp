// Measures, on the host machine with one simulated tower, how long 10-byte
// reads take in the two timing cases of the read loop (limits 200 ms first
// byte, 100 ms between characters), and the round trip of one vendor request
// (GET_RANGE) in microseconds. Prints mean and worst of each.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <thread>
#include <vector>

#include "kernel/machine.h"
#include "sim/tower.h"
#include "tower/ids.h"
#include "tower/ioctl.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace tower;

void Report(const char* what, const std::vector<double>& samples, const char* unit) {
  const double mean = std::accumulate(samples.begin(), samples.end(), 0.0) / samples.size();
  std::vector<double> sorted = samples;
  std::sort(sorted.begin(), sorted.end());
  std::printf("%-44s n=%zu mean=%.2f %s min=%.2f median=%.2f worst=%.2f\n", what, samples.size(),
              mean, unit, sorted.front(), sorted[sorted.size() / 2], sorted.back());
}

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 20;
  const auto dir = std::filesystem::temp_directory_path() / "tower-read-timing";
  std::filesystem::remove_all(dir);
  hk::Machine machine(hk::Machine::Options{dir, false});
  if (!NtSuccess(machine.LoadDriver("QIROUSBTower", TOWER_DRIVER_MODULE))) return 1;
  machine.BindHardwareId(kTowerHardwareId, "QIROUSBTower");
  sim::TowerOptions options;
  options.linkDelay = false;
  options.farSide = sim::FarSide::Silence;
  auto tower = std::make_shared<sim::TowerModel>(options);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  machine.PlugUsb(tower, kTowerHardwareId, &status);
  hk::FileObject* file = nullptr;
  if (!NtSuccess(status) || !NtSuccess(machine.io().Open(u"\\??\\QIROTOWER1", &file))) return 1;

  std::vector<double> present, late, roundTrip;
  uint8_t buffer[10];
  uint32_t got = 0;
  for (int i = 0; i < runs; ++i) {
    // Three bytes already in the ring, nothing more arriving.
    tower->Inject({1, 2, 3});
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto start = Clock::now();
    machine.io().Read(file, buffer, sizeof(buffer), &got);
    present.push_back(MsSince(start));

    // Four bytes 50 ms into the read, nothing after.
    std::thread sender([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      tower->Inject({4, 5, 6, 7});
    });
    start = Clock::now();
    machine.io().Read(file, buffer, sizeof(buffer), &got);
    late.push_back(MsSince(start));
    sender.join();
  }
  for (int i = 0; i < runs * 50; ++i) {
    QIROTOWER_CTLREC record{};
    const auto start = Clock::now();
    machine.io().Control(file, IOCTL_TOWER_GET_RANGE, nullptr, 0, &record, sizeof(record), &got);
    roundTrip.push_back(MsSince(start) * 1000.0);
  }
  Report("read 10, 3 bytes present (ms)", present, "ms");
  Report("read 10, 4 bytes after 50 ms (ms)", late, "ms");
  Report("GET_RANGE vendor request round trip (us)", roundTrip, "us");
  machine.io().Close(file);
  const auto violations = machine.Shutdown();
  for (const auto& v : violations) std::fprintf(stderr, "verifier: %s\n", v.c_str());
  std::filesystem::remove_all(dir);
  return violations.empty() ? 0 : 1;
}
