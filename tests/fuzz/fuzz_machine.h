// What the driver's fuzz targets share: a host machine with the driver
// loaded and short read limits, the input as a stream of choices, a tower
// model that can be pulled out on demand, and the checks every input ends
// with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "kernel/machine.h"
#include "sim/tower.h"
#include "usb/model.h"

namespace towerfuzz {

// The rest of an input, read as choices; an exhausted input reads as zeros.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return at_ >= size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
  uint32_t Long() { return static_cast<uint32_t>(Word()) | static_cast<uint32_t>(Word()) << 16; }
  // A length: mostly small, now and then anything up to 128 KiB.
  uint32_t Length();
  void Fill(uint8_t* out, size_t bytes);

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// A caller's buffer of exactly `bytes` bytes on the heap, so that the
// address sanitizer catches a byte written or read past either end.
class ExactBuffer {
 public:
  explicit ExactBuffer(size_t bytes)
      : bytes_(bytes), data_(bytes > 0 ? new uint8_t[bytes] : nullptr) {}
  uint8_t* data() { return data_.get(); }
  size_t size() const { return bytes_; }

 private:
  size_t bytes_;
  std::unique_ptr<uint8_t[]> data_;
};

// The simulated tower, with its port kept so that the fuzzer can pull it
// out at any moment (and a port cycle's new port followed).
class PullableTower final : public hk::usb::DeviceModel {
 public:
  explicit PullableTower(std::shared_ptr<hk::usb::DeviceModel> inner) : inner_(std::move(inner)) {}
  void Attach(hk::usb::Port* port) override;
  std::vector<uint8_t> DeviceDescriptor() override { return inner_->DeviceDescriptor(); }
  std::vector<uint8_t> ConfigurationDescriptor(uint8_t index) override {
    return inner_->ConfigurationDescriptor(index);
  }
  bool SetConfiguration(uint8_t value) override { return inner_->SetConfiguration(value); }
  void Submit(hk::usb::Transfer* transfer) override { inner_->Submit(transfer); }
  void Cancel(hk::usb::Transfer* transfer) override { inner_->Cancel(transfer); }
  // Leaves the bus as an unplugged device does; false when it is not on one.
  bool Pull();
  bool Plugged();

 private:
  std::shared_ptr<hk::usb::DeviceModel> inner_;
  std::mutex mutex_;
  hk::usb::Port* port_ = nullptr;
};

[[noreturn]] void Broken(const char* target, const std::string& what);

// A state directory of its own for this process, in memory where the
// system has a memory file system: the registry is written through to disk
// at every change, and millions of plugs would otherwise wait on the disk.
std::filesystem::path StateDir(const char* name);
// The driver's clock on machines booted from now on (hk::Kernel::
// SetClockSpeed). Every limit a hostile device or caller lets run out (200 ms
// for a vendor reply, a second for requests at removal) is otherwise paid in
// full by each input. A limit must still outlast a completion's trip
// through the bus's thread on a loaded machine, so the speed-up stays
// modest; the corpus replay keeps real time.
void SetClockSpeed(uint32_t times);
// A machine with the driver loaded, its hardware id bound and read limits of
// 1 ms in the registry, so that a read never holds an input up for long.
hk::Machine* Boot(const std::filesystem::path& stateDir);
// Shuts a machine down and frees it; the verifier's findings.
std::vector<std::string> Shutdown(hk::Machine* machine, const std::filesystem::path& stateDir);

std::u16string LinkOf(uint32_t unit);
// Empty when the tower behind unit N opens, reads 15 (present, started,
// open, receiving), answers its version and closes; else what failed.
std::string TowerWorks(hk::Machine& machine, uint32_t unit);
// The driver's pool blocks now.
size_t DriverPoolBlocks(hk::Machine& machine);

}  // namespace towerfuzz
