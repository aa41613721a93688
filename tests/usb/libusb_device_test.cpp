// The libusb backend's device model on its own, over the libusb stand-in,
// with a recording port in place of the host stack: every transfer the
// stack gives comes back exactly once, whatever races it.
#include "usb/libusb/device.h"

#include <gtest/gtest.h>
#include <libusb-1.0/libusb.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/descriptors.h"
#include "sim/libusb/standin.h"
#include "tests/sim/fake_port.h"
#include "tower/values.h"

namespace {

using namespace std::chrono_literals;
using hk::usb::LibusbDevice;
using hk::usb::Transfer;
using hk::usb::TransferKind;
using sim_test::FakePort;
using namespace tower;

class LibusbDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { Start({.linkDelay = false}); }
  void Start(sim::TowerOptions options) {
    ASSERT_EQ(libusb_init(&ctx_), 0);
    loop_ = std::thread([this] {
      while (!stop_.load()) {
        timeval tv{0, 20'000};
        std::lock_guard gate(gate_);
        libusb_handle_events_timeout_completed(ctx_, &tv, nullptr);
      }
    });
    tower_ = standin::Plug(1, options);
    ASSERT_NE(tower_, nullptr);
    libusb_device_handle* handle = libusb_open_device_with_vid_pid(ctx_, 0x0F5C, 0x0001);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(libusb_claim_interface(handle, 0), 0);
    device_ = std::make_unique<LibusbDevice>(handle);
    device_->Attach(&port_);
  }
  void TearDown() override {
    if (device_) {
      device_->Attach(nullptr);
      for (int i = 0; i < 400 && !device_->Close(); ++i) std::this_thread::sleep_for(5ms);
      EXPECT_TRUE(device_->Close()) << "libusb kept transfers";
      device_.reset();
    }
    standin::Unplug(1);
    stop_.store(true);
    libusb_interrupt_event_handler(ctx_);
    if (loop_.joinable()) loop_.join();
    libusb_exit(ctx_);
    EXPECT_EQ(standin::TransfersInFlight(), 0u);
  }
  static std::unique_ptr<Transfer> In(std::vector<uint8_t>& buffer) {
    auto t = std::make_unique<Transfer>();
    t->kind = TransferKind::BulkIn;
    t->endpoint = kEndpointIn;
    t->buffer = buffer.data();
    t->length = static_cast<uint32_t>(buffer.size());
    t->shortOk = true;
    return t;
  }
  static std::unique_ptr<Transfer> Out(std::vector<uint8_t>& bytes) {
    auto t = In(bytes);
    t->kind = TransferKind::BulkOut;
    t->endpoint = kEndpointOut;
    return t;
  }
  static std::unique_ptr<Transfer> Vendor(uint8_t request, std::vector<uint8_t>& reply) {
    auto t = In(reply);
    t->kind = TransferKind::Control;
    t->endpoint = 0;
    t->setup = {kVendorRequestType, request, 0, 0, static_cast<uint16_t>(reply.size())};
    return t;
  }

  libusb_context* ctx_ = nullptr;
  std::atomic<bool> stop_{false};
  // Held by a test, it keeps libusb's completions from being delivered.
  std::mutex gate_;
  std::thread loop_;
  std::shared_ptr<sim::TowerModel> tower_;
  FakePort port_;
  std::unique_ptr<LibusbDevice> device_;
};

TEST_F(LibusbDeviceTest, DescriptorsAreTheDevicesOwnByteForByte) {
  EXPECT_EQ(device_->DeviceDescriptor(), sim::TowerDeviceDescriptor());
  EXPECT_EQ(device_->ConfigurationDescriptor(0), sim::TowerConfigurationDescriptor(0));
  EXPECT_EQ(device_->ConfigurationDescriptor(1), sim::TowerConfigurationDescriptor(1));
  EXPECT_TRUE(device_->ConfigurationDescriptor(2).empty());
}

TEST_F(LibusbDeviceTest, VendorRequestsAndTheLinkCarryTheirBytes) {
  std::vector<uint8_t> reply(64);
  auto version = Vendor(TOWER_REQ_GET_VERSION, reply);
  device_->Submit(version.get());
  ASSERT_TRUE(port_.WaitFor(version.get()));
  EXPECT_EQ(version->status, STATUS_SUCCESS);
  EXPECT_GE(version->actual, 4u);
  ASSERT_EQ(tower_->SetupLog().size(), 1u);
  EXPECT_EQ(tower_->SetupLog()[0].bRequest, TOWER_REQ_GET_VERSION);
  EXPECT_EQ(tower_->SetupLog()[0].wLength, 64);

  std::vector<uint8_t> hello = {'h', 'e', 'l', 'l', 'o'};
  auto out = Out(hello);
  device_->Submit(out.get());
  ASSERT_TRUE(port_.WaitFor(out.get()));
  EXPECT_EQ(out->actual, 5u);
  std::vector<uint8_t> buffer(8);
  auto in = In(buffer);
  device_->Submit(in.get());
  ASSERT_TRUE(port_.WaitFor(in.get()));
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + in->actual), hello);

  // A stall is the stack's stall.
  sim::RequestFault stall;
  stall.stall = true;
  tower_->SetRequestFault(TOWER_REQ_GET_VERSION, stall);
  auto refused = Vendor(TOWER_REQ_GET_VERSION, reply);
  device_->Submit(refused.get());
  ASSERT_TRUE(port_.WaitFor(refused.get()));
  EXPECT_EQ(refused->usbdStatus, hk::usb::USBD_STATUS_STALL_PID);
}

TEST_F(LibusbDeviceTest, UnplugHandsBackEveryTransferAtOnceAndLateCompletionsTouchNothing) {
  tower_->SetOutFault(sim::OutFault::NeverAccept);
  sim::RequestFault silent;
  silent.neverAnswer = true;
  tower_->SetDefaultRequestFault(silent);
  auto inBuffer = std::make_unique<std::vector<uint8_t>>(8);
  auto outBuffer = std::make_unique<std::vector<uint8_t>>(4, 0x11);
  auto replyBuffer = std::make_unique<std::vector<uint8_t>>(8);
  auto in = In(*inBuffer);
  auto out = Out(*outBuffer);
  auto vendor = Vendor(TOWER_REQ_GET_PARM, *replyBuffer);
  FakePort again;
  {
    // libusb's completions wait: the IN transfer's data is on its way to
    // the backend when the stack lets go of the device.
    std::lock_guard gate(gate_);
    for (Transfer* t : {in.get(), out.get(), vendor.get()}) device_->Submit(t);
    tower_->Inject({1, 2, 3});
    EXPECT_EQ(device_->InFlight(), 3u);

    device_->Attach(nullptr);
    for (Transfer* t : {in.get(), out.get(), vendor.get()}) {
      EXPECT_EQ(port_.CountFor(t), 1);
      EXPECT_EQ(t->status, STATUS_DEVICE_NOT_CONNECTED);
      EXPECT_EQ(t->usbdStatus, hk::usb::USBD_STATUS_DEVICE_GONE);
    }
    // The stack frees what it gave, and the port is cycled before libusb
    // hands its own transfers back.
    in.reset();
    out.reset();
    vendor.reset();
    inBuffer.reset();
    outBuffer.reset();
    replyBuffer.reset();
    device_->Attach(&again);
  }
  for (int i = 0; i < 200 && device_->InFlight() != 0; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(device_->InFlight(), 0u);
  EXPECT_EQ(port_.Records().size(), 3u);
  EXPECT_TRUE(again.Records().empty()) << "a transfer completed twice, on the new port";
}

TEST_F(LibusbDeviceTest, ADeviceThatLeftVanishesAndRefusesNewTransfers) {
  std::vector<uint8_t> buffer(8);
  auto pending = In(buffer);
  device_->Submit(pending.get());
  standin::Unplug(1);
  device_->Left();
  ASSERT_TRUE(port_.WaitFor(pending.get()));
  EXPECT_EQ(pending->status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(port_.Vanished(), 1);
  auto late = In(buffer);
  device_->Submit(late.get());
  ASSERT_TRUE(port_.WaitFor(late.get(), 0ms));
  EXPECT_EQ(late->usbdStatus, hk::usb::USBD_STATUS_DEVICE_GONE);
  EXPECT_FALSE(device_->SetConfiguration(1));
  EXPECT_EQ(port_.CountFor(pending.get()), 1);
}

TEST_F(LibusbDeviceTest, ANewConfigurationEndsTheDataTransfersAndTheDeviceWorksOn) {
  std::vector<uint8_t> buffer(8);
  auto pending = In(buffer);
  device_->Submit(pending.get());
  ASSERT_TRUE(device_->SetConfiguration(2));
  ASSERT_TRUE(port_.WaitFor(pending.get()));
  EXPECT_EQ(pending->status, STATUS_CANCELLED);
  EXPECT_EQ(tower_->Configuration(), 2);
  EXPECT_FALSE(device_->SetConfiguration(9));

  std::vector<uint8_t> bytes = {7};
  auto out = Out(bytes);
  auto in = In(buffer);
  device_->Submit(out.get());
  device_->Submit(in.get());
  ASSERT_TRUE(port_.WaitFor(in.get()));
  EXPECT_EQ(in->actual, 1u);
  EXPECT_EQ(buffer[0], 7);
  ASSERT_TRUE(device_->SetConfiguration(0));
  EXPECT_EQ(tower_->Configuration(), 0);
}

TEST_F(LibusbDeviceTest, AttachingAgainAfterAPortCycleResetsTheTower) {
  ASSERT_EQ(tower_->SetParameter(TOWER_PARM_RANGE, TOWER_RANGE_SHORT), 0);
  device_->Attach(nullptr);
  FakePort again;
  device_->Attach(&again);
  EXPECT_EQ(tower_->Parameter(TOWER_PARM_RANGE), TOWER_RANGE_LONG);
  EXPECT_EQ(again.Vanished(), 0);
  std::vector<uint8_t> reply(8);
  auto request = Vendor(TOWER_REQ_GET_PARM, reply);
  device_->Submit(request.get());
  ASSERT_TRUE(again.WaitFor(request.get()));
  EXPECT_EQ(request->status, STATUS_SUCCESS);
  device_->Attach(nullptr);

  // A device gone meanwhile cannot be reset: the new port hears it vanish.
  standin::Unplug(1);
  FakePort third;
  device_->Attach(&third);
  EXPECT_EQ(third.Vanished(), 1);
  device_->Attach(nullptr);
}

// Cancels race the tower's own completions; each transfer still ends once,
// either with its data or cancelled with none.
TEST_F(LibusbDeviceTest, CancelRacingCompletionEndsEachTransferOnce) {
  std::vector<uint8_t> buffer(8);
  int delivered = 0;
  int cancelled = 0;
  // Every transfer stays allocated, so each has an address of its own.
  std::vector<std::unique_ptr<Transfer>> all;
  for (int round = 0; round < 200; ++round) {
    all.push_back(In(buffer));
    Transfer* t = all.back().get();
    device_->Submit(t);
    std::thread injector([this] { tower_->Inject({0x42}); });
    if (round % 2 == 0) std::this_thread::yield();
    device_->Cancel(t);
    injector.join();
    ASSERT_TRUE(port_.WaitFor(t)) << "round " << round;
    device_->Cancel(t);  // already back: nothing happens
    if (t->status == STATUS_SUCCESS) {
      ++delivered;
      EXPECT_EQ(t->actual, 1u);
    } else {
      ++cancelled;
      EXPECT_EQ(t->status, STATUS_CANCELLED);
      EXPECT_EQ(t->actual, 0u);
    }
    // Drain what the tower still holds for the next round.
    while (tower_->QueuedBytes() > 0) {
      all.push_back(In(buffer));
      device_->Submit(all.back().get());
      ASSERT_TRUE(port_.WaitFor(all.back().get()));
    }
  }
  EXPECT_EQ(delivered + cancelled, 200);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(device_->InFlight(), 0u);
  for (const auto& t : all) EXPECT_EQ(port_.CountFor(t.get()), 1);
}

}  // namespace
