// What the tower stack costs next to what the machine allows: each figure is
// measured on the host machine with simulated towers that add no delay of
// their own, in the same run as a bare baseline of the same mechanism (plain
// threads, a mutex and condition variables), and reported as a ratio.
//
// Every figure runs its baseline and its stack case alternately, several
// times, so that both see the same machine load; the table gives the median
// with the minimum and maximum of the repetitions, which is the noise.
//
//   tower_bench [--reps N] [--only NAME]   (names: receive write control
//                                            wakeup timeout many idle)
//   tower_bench --lockstep N | --sim-lockstep N   (workloads for callgrind)
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Tavrix.h"
#include "kernel/machine.h"
#include "sim/tower.h"
#include "tower/ids.h"

namespace {

using Clock = std::chrono::steady_clock;

// ------------------------------------------------------------------ measuring

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// CPU time of every thread of the process: the stack's threads (the bus, the
// simulated towers' workers) count as much as the caller's.
double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Context switches of every thread of the process (voluntary ones are the
// sleeps a hand-over between threads costs).
double ContextSwitches() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_nvcsw + usage.ru_nivcsw);
}

// CPU time of the calling thread alone: the simulated tower's feeding
// thread is the hardware, whose cost is shown apart from the stack's.
double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Times the calling thread went to sleep and was woken again.
double ThreadSleeps() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return static_cast<double>(usage.ru_nvcsw);
}

double Percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const auto at = static_cast<size_t>(std::lround(p * static_cast<double>(samples.size() - 1)));
  return samples[std::min(at, samples.size() - 1)];
}

// The repetitions of one quantity: min, median, max.
struct Spread {
  std::vector<double> values;
  void Add(double v) { values.push_back(v); }
  double Min() const { return *std::min_element(values.begin(), values.end()); }
  double Max() const { return *std::max_element(values.begin(), values.end()); }
  double Median() const { return Percentile(values, 0.5); }
};

struct Row {
  std::string figure;
  std::string unit;
  Spread stack;
  Spread base;
  // Ratio stack / baseline, with what it must stay within (0 = no target).
  double ratioTarget = 0;
  // An absolute limit on the stack's median (0 = none), in the row's unit.
  double absoluteTarget = 0;
  bool lowerIsBetter = true;
  // The stack's median must not exceed the baseline's largest repetition:
  // for costs that should be nothing beyond what the idle process spends.
  bool withinBaselineSpread = false;
};

// A deque: rows are filled through references while later rows are added.
std::deque<Row> rows;

Row& AddRow(const std::string& figure, const std::string& unit, bool lowerIsBetter = true) {
  rows.push_back(Row{figure, unit, {}, {}, 0, 0, lowerIsBetter, false});
  return rows.back();
}

void PrintTable() {
  std::printf("\n%-52s %-8s %26s %26s %7s  %s\n", "figure", "unit", "stack med [min..max]",
              "baseline med [min..max]", "ratio", "target");
  for (const Row& r : rows) {
    const double s = r.stack.Median();
    const double b = r.base.values.empty() ? 0 : r.base.Median();
    char stack[64];
    char base[64];
    std::snprintf(stack, sizeof(stack), "%.3g [%.3g..%.3g]", s, r.stack.Min(), r.stack.Max());
    if (r.base.values.empty()) {
      std::snprintf(base, sizeof(base), "-");
    } else {
      std::snprintf(base, sizeof(base), "%.3g [%.3g..%.3g]", b, r.base.Min(), r.base.Max());
    }
    char ratio[32] = "-";
    if (b > 0) std::snprintf(ratio, sizeof(ratio), "%.2f", s / b);
    std::string target;
    if (r.ratioTarget > 0 && b > 0) {
      char t[64];
      std::snprintf(t, sizeof(t), "ratio <= %.1f: %s", r.ratioTarget,
                    s / b <= r.ratioTarget ? "met" : "MISSED");
      target = t;
    } else if (r.withinBaselineSpread && b > 0) {
      target = s <= r.base.Max() ? "within baseline spread: met" : "within baseline spread: MISSED";
    }
    if (r.absoluteTarget > 0) {
      char t[64];
      std::snprintf(t, sizeof(t), "<= %.3g %s: %s", r.absoluteTarget, r.unit.c_str(),
                    s <= r.absoluteTarget ? "met" : "MISSED");
      target += target.empty() ? t : std::string("; ") + t;
    }
    std::printf("%-52s %-8s %26s %26s %7s  %s\n", r.figure.c_str(), r.unit.c_str(), stack, base,
                ratio, target.c_str());
  }
}

// ------------------------------------------------------------------ bare mechanisms

// Two threads handing bytes through a mutex and condition variables into a
// ring, as the driver's receive ring sits between its completion and reads.
class BareRing {
 public:
  explicit BareRing(size_t capacity) : data_(capacity) {}

  // Blocks while the ring has no room for all n bytes (false once stopped).
  bool Put(const uint8_t* bytes, size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    notFull_.wait(lock, [&] { return stop_ || data_.size() - count_ >= n; });
    if (stop_) return false;
    for (size_t i = 0; i < n; ++i) {
      data_[(head_ + count_) % data_.size()] = bytes[i];
      ++count_;
    }
    if (count_ >= wakeAt_) notEmpty_.notify_one();
    return true;
  }
  // Takes what is there, up to n, waiting until at least `minimum` bytes
  // wait (0 once stopped): a minimum of 1 wakes the reader for every chunk,
  // a larger one only once a whole batch is there.
  size_t Get(uint8_t* out, size_t n, size_t minimum = 1) {
    std::unique_lock<std::mutex> lock(mutex_);
    wakeAt_ = minimum;
    notEmpty_.wait(lock, [&] { return stop_ || count_ >= minimum; });
    wakeAt_ = 1;
    size_t taken = 0;
    while (taken < n && count_ > 0) {
      out[taken++] = data_[head_];
      head_ = (head_ + 1) % data_.size();
      --count_;
    }
    notFull_.notify_one();
    return taken;
  }
  void Stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    notEmpty_.notify_all();
    notFull_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable notEmpty_;
  std::condition_variable notFull_;
  std::vector<uint8_t> data_;
  size_t head_ = 0;
  size_t count_ = 0;
  size_t wakeAt_ = 1;  // what the waiting reader needs before it is woken
  bool stop_ = false;
};

// A request/response ping-pong with a worker thread: the request's trip to
// another thread and back.
class PingPong {
 public:
  PingPong() : worker_([this] { Serve(); }) {}
  ~PingPong() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    worker_.join();
  }
  PingPong(const PingPong&) = delete;
  PingPong& operator=(const PingPong&) = delete;

  void RoundTrip() {
    std::unique_lock<std::mutex> lock(mutex_);
    request_ = true;
    cv_.notify_all();
    cv_.wait(lock, [this] { return !request_; });
  }

 private:
  void Serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      cv_.wait(lock, [this] { return stop_ || request_; });
      if (stop_) return;
      request_ = false;
      cv_.notify_all();
    }
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  bool request_ = false;
  bool stop_ = false;
  std::thread worker_;
};

// ------------------------------------------------------------------ the host machine

// A host machine with the driver loaded and `count` simulated towers, each
// opened as an application opens it.
class Bench {
 public:
  // What the injecting thread does is the towers' far side, and some
  // figures leave its time out: theirs pass `injectorApart`, so that the
  // completions the injected bytes cause run on the bus's thread, where they
  // are counted, and not on the injecting thread.
  enum class Injector { Counted, Apart };
  explicit Bench(size_t count, bool open = true, Injector injector = Injector::Counted) {
    dir_ = std::filesystem::temp_directory_path() /
           ("tower-bench-" + std::to_string(static_cast<long>(::getpid())));
    std::filesystem::remove_all(dir_);
    machine_ = std::make_unique<hk::Machine>(hk::Machine::Options{dir_, false});
    if (!tower::NtSuccess(machine_->LoadDriver("QIROUSBTower", TOWER_DRIVER_MODULE))) Die("load");
    machine_->BindHardwareId(tower::kTowerHardwareId, "QIROUSBTower");
    for (size_t i = 0; i < count; ++i) {
      sim::TowerOptions options;
      options.linkDelay = false;  // a tower that adds no delay of its own
      options.farSide = sim::FarSide::Silence;
      options.completeOnInjector = injector == Injector::Counted;
      auto model = std::make_shared<sim::TowerModel>(options);
      NTSTATUS status = tower::STATUS_UNSUCCESSFUL;
      machine_->PlugUsb(model, tower::kTowerHardwareId, &status);
      if (!tower::NtSuccess(status)) Die("plug");
      towers_.push_back(model);
    }
    if (!open) return;
    // Found and opened as an application finds and opens them; the search
    // lists them in the order they were plugged.
    QIROTOWER_FIND* find = QIROTowerFindFirst(QIROTOWER_FIND_PRESENT);
    for (bool more = find != nullptr; more; more = QIROTowerFindNext(find)) {
      HANDLE h = CreateFileA(QIROTowerGetPathName(find), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (h == INVALID_HANDLE_VALUE) Die("open");
      handles_.push_back(h);
    }
    if (find != nullptr) QIROTowerFindStop(find);
    if (handles_.size() != count) Die("find");
  }
  ~Bench() {
    for (HANDLE h : handles_) CloseHandle(h);
    for (const auto& v : machine_->Shutdown()) std::fprintf(stderr, "verifier: %s\n", v.c_str());
    machine_.reset();
    std::filesystem::remove_all(dir_);
  }
  Bench(const Bench&) = delete;
  Bench& operator=(const Bench&) = delete;

  HANDLE handle(size_t i = 0) { return handles_.at(i); }
  sim::TowerModel& tower(size_t i = 0) { return *towers_.at(i); }
  void Timeouts(DWORD firstByte, DWORD interChar, DWORD write) {
    for (HANDLE h : handles_)
      if (!QIROTowerSetTimeouts(h, firstByte, interChar, write)) Die("timeouts");
  }

  [[noreturn]] static void Die(const char* what) {
    std::fprintf(stderr, "tower_bench: %s failed\n", what);
    std::exit(2);
  }

 private:
  std::filesystem::path dir_;
  std::unique_ptr<hk::Machine> machine_;
  std::vector<std::shared_ptr<sim::TowerModel>> towers_;
  std::vector<HANDLE> handles_;
};

constexpr auto kRunFor = std::chrono::milliseconds(400);
int reps = 3;

// ------------------------------------------------------------------ receive throughput

struct Throughput {
  double bytesPerSecond = 0;
  double cpuPerPacketUs = 0;  // per delivered packet, the simulated tower's feeding left out
  double switchesPerPacket = 0;
  double delivered = 0;             // packets the tower handed to the host
  double received = 0;              // packets' worth of bytes the reader got
  double dropped = 0;               // delivered but lost to a full ring
  double feederCpuPerPacketUs = 0;  // the simulated hardware: bytes arriving over IR
};

Throughput BareReceive() {
  BareRing ring(1024);
  std::atomic<bool> stop{false};
  uint64_t received = 0;
  const double cpu0 = ProcessCpuSeconds();
  const double switches0 = ContextSwitches();
  const auto start = Clock::now();
  std::thread producer([&] {
    const uint8_t packet[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    while (!stop.load(std::memory_order_relaxed) && ring.Put(packet, sizeof(packet))) {
    }
  });
  std::thread consumer([&] {
    uint8_t buffer[1024];
    for (size_t n; (n = ring.Get(buffer, sizeof(buffer))) > 0;) received += n;
  });
  std::this_thread::sleep_for(kRunFor);
  stop = true;
  ring.Stop();
  producer.join();
  consumer.join();
  const double wall = Seconds(Clock::now() - start);
  const double cpu = ProcessCpuSeconds() - cpu0;
  // The producer waits for room: every packet it hands over is received.
  const double packets = static_cast<double>(received) / 8;
  Throughput t;
  t.bytesPerSecond = static_cast<double>(received) / wall;
  t.cpuPerPacketUs = cpu / packets * 1e6;
  t.switchesPerPacket = (ContextSwitches() - switches0) / packets;
  t.delivered = t.received = packets;
  return t;
}

Throughput StackReceive(Bench& bench) {
  sim::TowerModel& tower = bench.tower();
  std::atomic<bool> stop{false};
  std::atomic<bool> measuring{false};
  double feederCpu = 0;
  // The far side keeps the tower's receive queue from running dry, so the
  // bus delivers a packet every time the driver's receive transfer is back.
  // Its thread is the simulated hardware: its CPU is counted apart.
  std::thread feeder([&] {
    const std::vector<uint8_t> block(2048, 0x55);
    double begin = 0;
    bool counting = false;
    while (!stop.load(std::memory_order_relaxed)) {
      if (!counting && measuring.load()) {
        counting = true;
        begin = ThreadCpuSeconds();
      }
      if (tower.QueuedBytes() < 2048) {
        tower.Inject(block);
      } else {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    }
    if (counting) feederCpu = ThreadCpuSeconds() - begin;
  });
  while (tower.QueuedBytes() < 1024) std::this_thread::yield();
  uint64_t received = 0;
  const uint32_t delivered0 = tower.Stats().delivered;
  measuring = true;
  const double cpu0 = ProcessCpuSeconds();
  const double switches0 = ContextSwitches();
  const auto start = Clock::now();
  uint8_t buffer[1024];
  while (Clock::now() - start < kRunFor) {
    DWORD got = 0;
    if (!ReadFile(bench.handle(), buffer, sizeof(buffer), &got, nullptr)) Bench::Die("ReadFile");
    received += got;
  }
  stop = true;
  feeder.join();
  const double wall = Seconds(Clock::now() - start);
  const double cpu = ProcessCpuSeconds() - cpu0;
  const double switches = ContextSwitches() - switches0;
  // Every IN transfer carries 8 bytes here (the queue never runs dry), so a
  // delivered packet the reader did not get was dropped by the full ring.
  Throughput t;
  t.delivered = static_cast<double>(tower.Stats().delivered - delivered0);
  t.received = static_cast<double>(received) / 8;
  t.dropped = std::max(0.0, t.delivered - t.received);
  t.bytesPerSecond = static_cast<double>(received) / wall;
  t.cpuPerPacketUs = (cpu - feederCpu) / t.delivered * 1e6;
  t.feederCpuPerPacketUs = feederCpu / t.delivered * 1e6;
  t.switchesPerPacket = switches / t.delivered;
  return t;
}

// The simulated tower alone, without the host's USB stack or the driver: one
// IN transfer submitted, 8 bytes injected, the completion handed to a port
// that only notes it. What the hardware's stand-in costs per packet.
class NotingPort final : public hk::usb::Port {
 public:
  void Complete(hk::usb::Transfer* transfer, NTSTATUS status, uint32_t usbdStatus,
                uint32_t actual) override {
    transfer->status = status;
    transfer->usbdStatus = usbdStatus;
    transfer->actual = actual;
    ++completions;
  }
  void Vanish() override {}
  uint64_t completions = 0;
};

// Runs `packets` packets through the simulated tower alone; false if one went astray.
bool SimulatedTowerPackets(long packets, double* cpuPerPacketUs) {
  sim::TowerOptions options;
  options.linkDelay = false;
  options.farSide = sim::FarSide::Silence;
  sim::TowerModel tower(options);
  NotingPort port;
  tower.Attach(&port);
  if (!tower.SetConfiguration(1)) return false;
  uint8_t buffer[8];
  hk::usb::Transfer transfer;
  const std::vector<uint8_t> packet{1, 2, 3, 4, 5, 6, 7, 8};
  const double cpu0 = ThreadCpuSeconds();
  for (long i = 0; i < packets; ++i) {
    transfer = hk::usb::Transfer{};
    transfer.kind = hk::usb::TransferKind::BulkIn;
    transfer.endpoint = 0x81;
    transfer.buffer = buffer;
    transfer.length = sizeof(buffer);
    transfer.shortOk = true;
    tower.Submit(&transfer);
    tower.Inject(packet);
    if (transfer.actual != sizeof(buffer)) return false;
  }
  if (cpuPerPacketUs != nullptr)
    *cpuPerPacketUs = (ThreadCpuSeconds() - cpu0) / static_cast<double>(packets) * 1e6;
  tower.Attach(nullptr);
  return port.completions == static_cast<uint64_t>(packets);
}

void ReceiveFigure() {
  Row& rate = AddRow("receive throughput", "MB/s", false);
  Row& cpu = AddRow("receive CPU per delivered packet", "us");
  cpu.ratioTarget = 4.0;
  Row& switches = AddRow("receive context switches per delivered packet", "count");
  Row& delivered = AddRow("receive: packets delivered by the tower", "k", false);
  Row& received = AddRow("receive: packets received by the reader", "k", false);
  Row& dropped = AddRow("receive: packets dropped (ring full)", "k");
  Row& feeder = AddRow("receive: simulated tower's feeding CPU per packet", "us");
  Row& alone = AddRow("simulated tower alone, CPU per packet", "us");
  Bench bench(1, true, Bench::Injector::Apart);
  bench.Timeouts(200, 100, 200);
  for (int i = 0; i < reps; ++i) {
    const Throughput b = BareReceive();
    const Throughput s = StackReceive(bench);
    rate.base.Add(b.bytesPerSecond / 1e6);
    rate.stack.Add(s.bytesPerSecond / 1e6);
    cpu.base.Add(b.cpuPerPacketUs);
    cpu.stack.Add(s.cpuPerPacketUs);
    switches.base.Add(b.switchesPerPacket);
    switches.stack.Add(s.switchesPerPacket);
    delivered.base.Add(b.delivered / 1e3);
    delivered.stack.Add(s.delivered / 1e3);
    received.base.Add(b.received / 1e3);
    received.stack.Add(s.received / 1e3);
    dropped.base.Add(b.dropped / 1e3);
    dropped.stack.Add(s.dropped / 1e3);
    feeder.stack.Add(s.feederCpuPerPacketUs);
    double simulated = 0;
    if (!SimulatedTowerPackets(20000, &simulated)) Bench::Die("simulated tower alone");
    alone.stack.Add(simulated);
  }
}

// ------------------------------------------------------------------ write throughput

double BareWrite(size_t size) {
  PingPong worker;
  std::vector<uint8_t> source(size, 0xAA);
  std::vector<uint8_t> buffer(size);
  uint64_t bytes = 0;
  const auto start = Clock::now();
  while (Clock::now() - start < kRunFor / 2) {
    std::memcpy(buffer.data(), source.data(), size);
    worker.RoundTrip();
    bytes += size;
  }
  return static_cast<double>(bytes) / Seconds(Clock::now() - start);
}

double StackWrite(Bench& bench, size_t size) {
  std::vector<uint8_t> source(size, 0xAA);
  uint64_t bytes = 0;
  uint64_t calls = 0;
  const auto start = Clock::now();
  while (Clock::now() - start < kRunFor / 2) {
    DWORD written = 0;
    if (!WriteFile(bench.handle(), source.data(), static_cast<DWORD>(size), &written, nullptr))
      Bench::Die("WriteFile");
    bytes += written;
    // The simulated tower keeps every byte it sent; keep that from growing.
    if (++calls % 64 == 0) bench.tower().ClearTransmitted();
  }
  return static_cast<double>(bytes) / Seconds(Clock::now() - start);
}

void WriteFigure() {
  Bench bench(1);
  for (size_t size : {1, 8, 64, 512, 4096}) {
    Row& row = AddRow("write throughput, " + std::to_string(size) + "-byte writes", "MB/s", false);
    for (int i = 0; i < reps; ++i) {
      row.base.Add(BareWrite(size) / 1e6);
      row.stack.Add(StackWrite(bench, size) / 1e6);
    }
  }
}

// ------------------------------------------------------------------ control round trip

double BareControl() {
  PingPong worker;
  uint64_t calls = 0;
  const auto start = Clock::now();
  while (Clock::now() - start < kRunFor) {
    worker.RoundTrip();
    ++calls;
  }
  return static_cast<double>(calls) / Seconds(Clock::now() - start);
}

double StackControl(Bench& bench) {
  uint64_t calls = 0;
  const auto start = Clock::now();
  while (Clock::now() - start < kRunFor) {
    WORD range = 0;
    if (!QIROTowerGetRange(bench.handle(), &range)) Bench::Die("QIROTowerGetRange");
    ++calls;
  }
  return static_cast<double>(calls) / Seconds(Clock::now() - start);
}

void ControlFigure() {
  Row& rate = AddRow("control round trips (GetRange)", "k/s", false);
  Row& time = AddRow("control round trip time", "us");
  time.ratioTarget = 2.0;
  Bench bench(1);
  for (int i = 0; i < reps; ++i) {
    const double b = BareControl();
    const double s = StackControl(bench);
    rate.base.Add(b / 1e3);
    rate.stack.Add(s / 1e3);
    time.base.Add(1e6 / b);
    time.stack.Add(1e6 / s);
  }
}

// ------------------------------------------------------------------ wake-up latency

// One sample at a time: a reader blocks, the other side hands over one byte
// and the reader stamps its return. The hand-over starts a little after the
// reader is known to be about to block, so that it is asleep by then.
class Handoff {
 public:
  // read: blocks until one byte arrives. send: delivers one byte.
  std::vector<double> Run(int samples, const std::function<void()>& read,
                          const std::function<void()>& send) {
    std::vector<double> latencies;
    std::thread reader([&] {
      for (int i = 0; i < samples; ++i) {
        Signal(ready_);
        read();
        const auto end = Clock::now();
        {
          std::lock_guard<std::mutex> lock(mutex_);
          latencies.push_back(std::chrono::duration<double, std::micro>(end - sent_).count());
        }
        Signal(done_);
      }
    });
    for (int i = 0; i < samples; ++i) {
      Await(ready_);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
      {
        std::lock_guard<std::mutex> lock(mutex_);
        sent_ = Clock::now();
      }
      send();
      Await(done_);
    }
    reader.join();
    return latencies;
  }

 private:
  void Signal(bool& flag) {
    std::lock_guard<std::mutex> lock(mutex_);
    flag = true;
    cv_.notify_all();
  }
  void Await(bool& flag) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [&] { return flag; });
    flag = false;
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  bool ready_ = false;
  bool done_ = false;
  Clock::time_point sent_;
};

// Two hand-overs in a row, as the stack makes them: the sender wakes a relay
// thread (the bus's completion thread), which puts the byte in the reader's
// ring and wakes the reader.
class BareChain {
 public:
  BareChain() : relay_([this] { Relay(); }) {}
  ~BareChain() {
    first_.Stop();
    relay_.join();
    second_.Stop();
  }
  BareChain(const BareChain&) = delete;
  BareChain& operator=(const BareChain&) = delete;
  void Send(uint8_t byte) { first_.Put(&byte, 1); }
  size_t Read(uint8_t* out, size_t n) { return second_.Get(out, n); }

 private:
  void Relay() {
    uint8_t buffer[64];
    for (size_t n; (n = first_.Get(buffer, sizeof(buffer))) > 0;) second_.Put(buffer, n);
  }
  BareRing first_{1024};
  BareRing second_{1024};
  std::thread relay_;
};

void WakeupFigure() {
  Row& p50 = AddRow("wake-up latency p50 (bare: two-hop chain)", "us");
  Row& p99 = AddRow("wake-up latency p99 (bare: two-hop chain)", "us");
  p50.ratioTarget = 2.0;
  p99.ratioTarget = 2.0;
  // On an idle bus the injecting thread completes the transfer and wakes
  // the reader itself: one hand-over, shown against one bare hand-over too.
  Row& p50Direct = AddRow("wake-up latency p50 (bare: one hop)", "us");
  Row& p99Direct = AddRow("wake-up latency p99 (bare: one hop)", "us");
  constexpr int kSamples = 500;
  Bench bench(1);
  bench.Timeouts(2000, 100, 200);
  for (int i = 0; i < reps; ++i) {
    BareChain chain;
    const uint8_t byte = 0x42;
    uint8_t out = 0;
    const auto bare = Handoff().Run(
        kSamples, [&] { chain.Read(&out, 1); }, [&] { chain.Send(byte); });
    const auto stack = Handoff().Run(
        kSamples,
        [&] {
          DWORD got = 0;
          if (!ReadFile(bench.handle(), &out, 1, &got, nullptr) || got != 1) Bench::Die("read");
        },
        [&] { bench.tower().Inject({byte}); });
    p50.base.Add(Percentile(bare, 0.5));
    p99.base.Add(Percentile(bare, 0.99));
    p50.stack.Add(Percentile(stack, 0.5));
    p99.stack.Add(Percentile(stack, 0.99));
    BareRing direct(1024);
    const auto oneHop = Handoff().Run(
        kSamples, [&] { direct.Get(&out, 1); }, [&] { direct.Put(&byte, 1); });
    p50Direct.base.Add(Percentile(oneHop, 0.5));
    p99Direct.base.Add(Percentile(oneHop, 0.99));
    p50Direct.stack.Add(Percentile(stack, 0.5));
    p99Direct.stack.Add(Percentile(stack, 0.99));
  }
}

// ------------------------------------------------------------------ timeout accuracy

void TimeoutFigure() {
  Row& p50 = AddRow("timeout overshoot past 20 ms, p50", "us");
  Row& p99 = AddRow("timeout overshoot past 20 ms, p99", "us");
  p50.absoluteTarget = 300;
  p99.ratioTarget = 1.5;
  // Enough samples that the 99th percentile is not simply the worst one.
  constexpr int kSamples = 200;
  constexpr auto kLimit = std::chrono::milliseconds(20);
  Bench bench(1);
  bench.Timeouts(20, 20, 200);
  for (int i = 0; i < reps; ++i) {
    std::vector<double> bare;
    std::vector<double> stack;
    std::mutex mutex;
    std::condition_variable cv;
    for (int k = 0; k < kSamples; ++k) {
      {
        std::unique_lock<std::mutex> lock(mutex);
        const auto start = Clock::now();
        cv.wait_for(lock, kLimit, [] { return false; });
        bare.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - start - kLimit).count());
      }
      uint8_t buffer[4];
      DWORD got = 0;
      const auto start = Clock::now();
      if (!ReadFile(bench.handle(), buffer, sizeof(buffer), &got, nullptr) || got != 0)
        Bench::Die("empty read");
      stack.push_back(
          std::chrono::duration<double, std::micro>(Clock::now() - start - kLimit).count());
    }
    p50.base.Add(Percentile(bare, 0.5));
    p99.base.Add(Percentile(bare, 0.99));
    p50.stack.Add(Percentile(stack, 0.5));
    p99.stack.Add(Percentile(stack, 0.99));
  }
}

// ------------------------------------------------------------------ many towers

constexpr size_t kTowers = 31;
constexpr auto kManyFor = std::chrono::milliseconds(1000);

// One ticker thread delivers 8 bytes to each of the 31 receivers every
// millisecond: the full-speed rate of one 8-byte transfer per frame.
template <typename Deliver>
void Tick(std::atomic<bool>& stop, Deliver deliver) {
  auto next = Clock::now();
  while (!stop.load(std::memory_order_relaxed)) {
    next += std::chrono::milliseconds(1);
    std::this_thread::sleep_until(next);
    for (size_t t = 0; t < kTowers; ++t) deliver(t);
  }
}

struct Many {
  double bytesPerSecond = 0;
  double corePercent = 0;       // the whole process but the ticker
  double tickerPercent = 0;     // the ticker: the towers' far side
  double wakeupsPerPacket = 0;  // the readers' sleeps, per 8-byte packet delivered
};

// Runs the readers and the ticker for kManyFor and measures them.
template <typename ReadOnce, typename Deliver>
Many RunMany(ReadOnce readOnce, Deliver deliver, const std::function<void()>& stopReaders) {
  std::atomic<bool> stop{false};
  std::atomic<bool> measuring{false};
  std::atomic<uint64_t> received{0};
  std::atomic<uint64_t> sleeps{0};
  std::vector<std::thread> readers;
  for (size_t t = 0; t < kTowers; ++t) {
    readers.emplace_back([&, t] {
      double sleeps0 = 0;
      bool counting = false;
      for (;;) {
        if (!counting && measuring.load()) {
          counting = true;
          sleeps0 = ThreadSleeps();
        }
        if (counting && !measuring.load()) {
          sleeps += static_cast<uint64_t>(ThreadSleeps() - sleeps0);
          counting = false;
        }
        if (stop.load(std::memory_order_relaxed)) break;
        const size_t n = readOnce(t);
        if (counting) received += n;
      }
    });
  }
  // Readers settle into their first waits before the clock starts.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  double tickerCpu = 0;
  std::atomic<bool> tickerStop{false};
  measuring = true;
  const double cpu0 = ProcessCpuSeconds();
  const auto start = Clock::now();
  std::thread ticker([&] {
    const double begin = ThreadCpuSeconds();
    Tick(tickerStop, deliver);
    tickerCpu = ThreadCpuSeconds() - begin;
  });
  std::this_thread::sleep_for(kManyFor);
  tickerStop = true;
  ticker.join();
  measuring = false;
  const double cpu = ProcessCpuSeconds() - cpu0;
  const double wall = Seconds(Clock::now() - start);
  stop = true;
  stopReaders();
  for (auto& r : readers) r.join();
  Many m;
  m.bytesPerSecond = static_cast<double>(received.load()) / wall;
  const double tickerShare = tickerCpu;
  m.corePercent = (cpu - tickerShare) / wall * 100;
  m.tickerPercent = tickerShare / wall * 100;
  const double packets = static_cast<double>(received.load()) / 8;
  m.wakeupsPerPacket = packets > 0 ? static_cast<double>(sleeps.load()) / packets : 0;
  return m;
}

// The bare rings read 64 bytes at a time: woken for every packet
// (minimum 1) or only once 64 bytes wait (minimum 64).
Many BareMany(size_t minimum) {
  std::vector<std::unique_ptr<BareRing>> rings;
  for (size_t t = 0; t < kTowers; ++t) rings.push_back(std::make_unique<BareRing>(1024));
  const uint8_t packet[8] = {};
  return RunMany(
      [&](size_t t) {
        uint8_t buffer[64];
        return rings[t]->Get(buffer, sizeof(buffer), minimum);
      },
      [&](size_t t) { rings[t]->Put(packet, sizeof(packet)); },
      [&] {
        for (auto& ring : rings) ring->Stop();
      });
}

Many StackMany(Bench& bench) {
  const std::vector<uint8_t> packet(8, 0);
  // Each read ends within its first-byte limit once the ticker has stopped.
  return RunMany(
      [&](size_t t) -> size_t {
        uint8_t buffer[64];
        DWORD got = 0;
        if (!ReadFile(bench.handle(t), buffer, sizeof(buffer), &got, nullptr)) Bench::Die("read");
        return got;
      },
      [&](size_t t) { bench.tower(t).Inject(packet); }, [] {});
}

void ManyFigure() {
  Row& rate = AddRow("31 towers at 8 KB/s: aggregate", "KB/s", false);
  Row& cpuPerPacket = AddRow("31 towers: CPU (bare: woken per packet)", "% core");
  Row& cpuBatched = AddRow("31 towers: CPU (bare: woken at 64 bytes)", "% core");
  cpuBatched.ratioTarget = 2.0;
  Row& wakes = AddRow("31 towers: reader wake-ups/packet (bare: at 64 B)", "count");
  wakes.absoluteTarget = 0.3;
  Row& ticker = AddRow("31 towers: far side's ticker CPU", "% core");
  Bench bench(kTowers, true, Bench::Injector::Apart);
  // Reads of 64 bytes: eight packets fill one.
  bench.Timeouts(100, 50, 200);
  for (int i = 0; i < reps; ++i) {
    const Many perPacket = BareMany(1);
    const Many batched = BareMany(64);
    const Many s = StackMany(bench);
    rate.base.Add(perPacket.bytesPerSecond / 1e3);
    rate.stack.Add(s.bytesPerSecond / 1e3);
    cpuPerPacket.base.Add(perPacket.corePercent);
    cpuPerPacket.stack.Add(s.corePercent);
    cpuBatched.base.Add(batched.corePercent);
    cpuBatched.stack.Add(s.corePercent);
    wakes.base.Add(batched.wakeupsPerPacket);
    wakes.stack.Add(s.wakeupsPerPacket);
    ticker.base.Add(batched.tickerPercent);
    ticker.stack.Add(s.tickerPercent);
  }
}

// ------------------------------------------------------------------ idle

// CPU over a second of a process with a machine and a plugged tower but no
// handle, against the same with the tower open and idle (its receive
// transfer outstanding): the open tower must cost nothing while nothing comes.
void IdleFigure() {
  Row& cpu = AddRow("idle open tower: CPU per second", "us");
  Row& wakes = AddRow("idle open tower: context switches per second", "count");
  // CPU time of a sleeping process is mostly clock noise at this scale; the
  // thread wake-ups are the sharper test that nothing polls.
  wakes.withinBaselineSpread = true;
  auto measure = [&](bool open, Spread& cpuOut, Spread& wakesOut) {
    Bench bench(1, open);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const double cpu0 = ProcessCpuSeconds();
    const double switches0 = ContextSwitches();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    cpuOut.Add((ProcessCpuSeconds() - cpu0) * 1e6);
    wakesOut.Add(ContextSwitches() - switches0);
  };
  for (int i = 0; i < reps; ++i) {
    measure(false, cpu.base, wakes.base);
    measure(true, cpu.stack, wakes.stack);
  }
}

// The noise-free figure's workload: one tower, one packet at a time. The
// far side hands over 8 bytes and the reader reads exactly those 8, so each
// round trip carries one packet through the whole stack and nothing else
// runs. Run under callgrind at two counts, the difference of the totals
// divided by the difference of the counts is the stack's instructions per
// packet, free of start-up and of the machine's load
// (bench/instructions-per-packet.sh).
int Lockstep(long packets) {
  Bench bench(1);
  bench.Timeouts(1000, 1000, 200);
  const std::vector<uint8_t> packet{1, 2, 3, 4, 5, 6, 7, 8};
  uint8_t buffer[8];
  for (long i = 0; i < packets; ++i) {
    bench.tower().Inject(packet);
    DWORD got = 0;
    if (!ReadFile(bench.handle(), buffer, sizeof(buffer), &got, nullptr) || got != sizeof(buffer))
      Bench::Die("lockstep read");
  }
  std::printf("lockstep: %ld packets\n", packets);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string only;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--lockstep" && i + 1 < argc) {
      return Lockstep(std::atol(argv[++i]));
    } else if (arg == "--sim-lockstep" && i + 1 < argc) {
      // The simulated tower's share of the lockstep figure, measured alone.
      const long packets = std::atol(argv[++i]);
      if (!SimulatedTowerPackets(packets, nullptr)) Bench::Die("simulated tower alone");
      std::printf("simulated tower: %ld packets\n", packets);
      return 0;
    } else if (arg == "--reps" && i + 1 < argc) {
      reps = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: tower_bench [--reps N] [--only NAME] | --lockstep PACKETS"
                   " | --sim-lockstep PACKETS\n");
      return 2;
    }
  }
  const std::vector<std::pair<const char*, void (*)()>> figures = {
      {"receive", ReceiveFigure}, {"write", WriteFigure},     {"control", ControlFigure},
      {"wakeup", WakeupFigure},   {"timeout", TimeoutFigure}, {"many", ManyFigure},
      {"idle", IdleFigure}};
  const auto start = Clock::now();
  for (const auto& [name, run] : figures) {
    if (!only.empty() && only != name) continue;
    std::fprintf(stderr, "running %s...\n", name);
    run();
  }
  std::printf("%u cores, %d repetitions per figure, %.1f s\n", std::thread::hardware_concurrency(),
              reps, Seconds(Clock::now() - start));
  PrintTable();
  return 0;
}
