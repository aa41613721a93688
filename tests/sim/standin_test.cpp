// The libusb-1.0 stand-in seen as a libusb program sees it: hot-plug from the
// event loop, descriptors, transfers, cancellation, time limits, unplug, and
// the control directory another process drives it through.
#include "sim/libusb/standin.h"

#include <gtest/gtest.h>
#include <libusb-1.0/libusb.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tower/values.h"

namespace {

using namespace std::chrono_literals;

struct Heard {
  libusb_hotplug_event event;
  libusb_device* device;
};

int LIBUSB_CALL Record(libusb_context*, libusb_device* device, libusb_hotplug_event event,
                       void* user) {
  static_cast<std::vector<Heard>*>(user)->push_back({event, device});
  return 0;
}

void LIBUSB_CALL Finished(libusb_transfer* transfer) { ++*static_cast<int*>(transfer->user_data); }

class Standin : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(libusb_init(&ctx_), 0); }
  void TearDown() override {
    for (int n : standin::Plugged()) standin::Unplug(n);
    Pump();
    if (handle_ != nullptr) libusb_close(handle_);
    libusb_exit(ctx_);
    EXPECT_EQ(standin::TransfersInFlight(), 0u);
  }
  void Pump() {
    timeval tv{0, 20'000};
    for (int i = 0; i < 3; ++i) libusb_handle_events_timeout(ctx_, &tv);
  }
  // Runs the event loop until `done` counts `n` callbacks.
  void WaitFor(const int& done, int n) {
    for (int i = 0; i < 200 && done < n; ++i) {
      timeval tv{0, 10'000};
      libusb_handle_events_timeout_completed(ctx_, &tv, nullptr);
    }
    ASSERT_EQ(done, n);
  }
  libusb_device_handle* OpenTower(int number, sim::TowerOptions options = {.linkDelay = false}) {
    EXPECT_NE(standin::Plug(number, options), nullptr);
    libusb_device_handle* handle = libusb_open_device_with_vid_pid(ctx_, 0x0F5C, 0x0001);
    EXPECT_NE(handle, nullptr);
    handle_ = handle;
    return handle;
  }
  libusb_transfer* In(uint8_t* buffer, int length, int* done, unsigned timeout = 0) {
    libusb_transfer* t = libusb_alloc_transfer(0);
    libusb_fill_interrupt_transfer(t, handle_, tower::kEndpointIn, buffer, length, Finished, done,
                                   timeout);
    return t;
  }

  libusb_context* ctx_ = nullptr;
  libusb_device_handle* handle_ = nullptr;
  // What hot-plug callbacks heard; they outlive the context.
  std::vector<Heard> early_;
  std::vector<Heard> later_;
};

TEST_F(Standin, HotplugEventsArriveFromTheEventLoopAndEnumerateShowsTowersAlreadyThere) {
  ASSERT_NE(standin::Plug(3), nullptr);
  Pump();  // its arrival is delivered before anyone listens
  std::vector<Heard>& early = early_;
  std::vector<Heard>& later = later_;
  libusb_hotplug_callback_handle a = 0;
  libusb_hotplug_callback_handle b = 0;
  ASSERT_EQ(
      libusb_hotplug_register_callback(
          ctx_, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
          LIBUSB_HOTPLUG_ENUMERATE, 0x0F5C, 0x0001, LIBUSB_HOTPLUG_MATCH_ANY, Record, &early, &a),
      0);
  // The tower already there arrives inside the registration.
  ASSERT_EQ(early.size(), 1u);
  EXPECT_EQ(libusb_get_port_number(early[0].device), 3);
  ASSERT_EQ(libusb_hotplug_register_callback(
                ctx_, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, 0,
                LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                Record, &later, &b),
            0);
  EXPECT_TRUE(later.empty());

  ASSERT_NE(standin::Plug(5), nullptr);
  EXPECT_EQ(early.size(), 1u);  // nothing before the event loop runs
  Pump();
  ASSERT_EQ(early.size(), 2u);
  ASSERT_EQ(later.size(), 1u);
  EXPECT_EQ(later[0].event, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
  EXPECT_EQ(libusb_get_port_number(later[0].device), 5);

  libusb_hotplug_deregister_callback(ctx_, a);
  ASSERT_TRUE(standin::Unplug(5));
  EXPECT_FALSE(standin::Unplug(5));
  Pump();
  EXPECT_EQ(early.size(), 2u);
  ASSERT_EQ(later.size(), 2u);
  EXPECT_EQ(later[1].event, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
  libusb_hotplug_deregister_callback(ctx_, b);
}

TEST_F(Standin, DescriptorsAndConfigurationsAreTheTowersOwn) {
  libusb_device_handle* h = OpenTower(1);
  libusb_device* dev = libusb_get_device(h);
  libusb_device_descriptor d{};
  ASSERT_EQ(libusb_get_device_descriptor(dev, &d), 0);
  EXPECT_EQ(d.idVendor, 0x0F5C);
  EXPECT_EQ(d.idProduct, 0x0001);
  EXPECT_EQ(d.bNumConfigurations, 2);

  // Configured by the system at enumeration, as Linux does.
  libusb_config_descriptor* c = nullptr;
  ASSERT_EQ(libusb_get_active_config_descriptor(dev, &c), 0);
  EXPECT_EQ(c->bConfigurationValue, 1);
  ASSERT_EQ(c->bNumInterfaces, 1);
  ASSERT_EQ(c->interface[0].num_altsetting, 1);
  const libusb_interface_descriptor& alt = c->interface[0].altsetting[0];
  ASSERT_EQ(alt.bNumEndpoints, 2);
  EXPECT_EQ(alt.endpoint[0].bEndpointAddress | alt.endpoint[1].bEndpointAddress, 0x83);
  libusb_free_config_descriptor(c);

  // The configuration cannot change under a claimed interface.
  ASSERT_EQ(libusb_claim_interface(h, 0), 0);
  EXPECT_EQ(libusb_claim_interface(h, 1), LIBUSB_ERROR_NOT_FOUND);
  EXPECT_EQ(libusb_set_configuration(h, 2), LIBUSB_ERROR_BUSY);
  ASSERT_EQ(libusb_release_interface(h, 0), 0);
  ASSERT_EQ(libusb_set_configuration(h, 2), 0);
  int value = 0;
  ASSERT_EQ(libusb_get_configuration(h, &value), 0);
  EXPECT_EQ(value, 2);
  EXPECT_EQ(libusb_set_configuration(h, 7), LIBUSB_ERROR_NOT_FOUND);
  ASSERT_EQ(libusb_get_config_descriptor_by_value(dev, 2, &c), 0);
  EXPECT_EQ(c->MaxPower, 250);
  libusb_free_config_descriptor(c);

  // Standard requests on endpoint 0 are the bus's to answer.
  uint8_t buffer[64] = {};
  EXPECT_EQ(
      libusb_control_transfer(h, 0x80, LIBUSB_REQUEST_GET_DESCRIPTOR, 0x0100, 0, buffer, 64, 0),
      18);
  EXPECT_EQ(libusb_control_transfer(h, 0x80, LIBUSB_REQUEST_GET_CONFIGURATION, 0, 0, buffer, 1, 0),
            1);
  EXPECT_EQ(buffer[0], 2);
  EXPECT_EQ(
      libusb_control_transfer(h, 0x80, LIBUSB_REQUEST_GET_DESCRIPTOR, 0x0300, 0, buffer, 64, 0),
      LIBUSB_ERROR_PIPE);
}

TEST_F(Standin, VendorRequestsReachTheFirmwareAndTheLinkEchoes) {
  libusb_device_handle* h = OpenTower(2);
  auto tower = standin::Tower(2);
  ASSERT_EQ(libusb_claim_interface(h, 0), 0);
  uint8_t reply[8] = {};
  // SET_PARM range (2) to short (1).
  EXPECT_EQ(libusb_control_transfer(h, tower::kVendorRequestType, tower::TOWER_REQ_SET_PARM, 0x0102,
                                    0, reply, sizeof(reply), 0),
            4);
  EXPECT_EQ(reply[2], 0);  // carried out
  ASSERT_EQ(tower->SetupLog().size(), 1u);
  EXPECT_EQ(tower->SetupLog()[0].wValue, 0x0102);

  uint8_t hello[] = {'h', 'e', 'l', 'l', 'o'};
  int moved = 0;
  ASSERT_EQ(libusb_bulk_transfer(h, tower::kEndpointOut, hello, 5, &moved, 1000), 0);
  EXPECT_EQ(moved, 5);
  std::string heard;
  while (heard.size() < 5) {
    uint8_t in[8];
    ASSERT_EQ(libusb_interrupt_transfer(h, tower::kEndpointIn, in, 8, &moved, 1000), 0);
    heard.append(reinterpret_cast<char*>(in), static_cast<size_t>(moved));
  }
  EXPECT_EQ(heard, "hello");
  // A stalled request says so.
  sim::RequestFault stall;
  stall.stall = true;
  tower->SetRequestFault(tower::TOWER_REQ_GET_PARM, stall);
  EXPECT_EQ(libusb_control_transfer(h, tower::kVendorRequestType, tower::TOWER_REQ_GET_PARM, 2, 0,
                                    reply, sizeof(reply), 0),
            LIBUSB_ERROR_PIPE);
}

TEST_F(Standin, CancelTimeoutAndUnplugEachEndATransferOnceWithTheirOwnStatus) {
  libusb_device_handle* h = OpenTower(1, {.farSide = sim::FarSide::Silence});
  uint8_t a[8];
  uint8_t b[8];
  int doneA = 0;
  int doneB = 0;
  libusb_transfer* ta = In(a, 8, &doneA);
  ASSERT_EQ(libusb_submit_transfer(ta), 0);
  EXPECT_EQ(libusb_submit_transfer(ta), LIBUSB_ERROR_BUSY);
  ASSERT_EQ(libusb_cancel_transfer(ta), 0);
  EXPECT_EQ(libusb_cancel_transfer(ta), LIBUSB_ERROR_NOT_FOUND);
  WaitFor(doneA, 1);
  EXPECT_EQ(ta->status, LIBUSB_TRANSFER_CANCELLED);
  EXPECT_EQ(libusb_cancel_transfer(ta), LIBUSB_ERROR_NOT_FOUND);

  // A time limit ends a transfer nothing answers.
  libusb_transfer* tb = In(b, 8, &doneB, 30);
  ASSERT_EQ(libusb_submit_transfer(tb), 0);
  WaitFor(doneB, 1);
  EXPECT_EQ(tb->status, LIBUSB_TRANSFER_TIMED_OUT);

  // Unplugged with a read out: it ends with NO_DEVICE, and so does every
  // call on the handle afterwards.
  ASSERT_EQ(libusb_submit_transfer(ta), 0);
  ASSERT_TRUE(standin::Unplug(1));
  WaitFor(doneA, 2);
  EXPECT_EQ(ta->status, LIBUSB_TRANSFER_NO_DEVICE);
  EXPECT_EQ(libusb_submit_transfer(ta), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(libusb_claim_interface(h, 0), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(libusb_set_configuration(h, 1), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(libusb_reset_device(h), LIBUSB_ERROR_NO_DEVICE);
  Pump();
  EXPECT_EQ(doneA, 2);
  EXPECT_EQ(doneB, 1);
  libusb_free_transfer(ta);
  libusb_free_transfer(tb);
}

TEST_F(Standin, AResetPowersTheTowerAgainAndKeepsTheDevice) {
  libusb_device_handle* h = OpenTower(4, {.farSide = sim::FarSide::Silence});
  auto tower = standin::Tower(4);
  ASSERT_EQ(tower->SetParameter(tower::TOWER_PARM_RANGE, tower::TOWER_RANGE_SHORT), 0);
  ASSERT_EQ(libusb_set_configuration(h, 2), 0);
  uint8_t in[8];
  int done = 0;
  libusb_transfer* t = In(in, 8, &done);
  t->flags = LIBUSB_TRANSFER_FREE_TRANSFER;
  ASSERT_EQ(libusb_submit_transfer(t), 0);
  ASSERT_EQ(libusb_reset_device(h), 0);
  WaitFor(done, 1);  // and the library freed it
  EXPECT_EQ(tower->Parameter(tower::TOWER_PARM_RANGE), tower::TOWER_RANGE_LONG);
  EXPECT_EQ(tower->Configuration(), 2);
  EXPECT_EQ(standin::Plugged(), std::vector<int>{4});
}

TEST_F(Standin, OpeningARefusedTowerSaysAccessDenied) {
  ASSERT_NE(standin::Plug(6), nullptr);
  standin::RefuseOpen(6, LIBUSB_ERROR_ACCESS);
  libusb_device** list = nullptr;
  ASSERT_EQ(libusb_get_device_list(ctx_, &list), 1);
  libusb_device_handle* h = nullptr;
  EXPECT_EQ(libusb_open(list[0], &h), LIBUSB_ERROR_ACCESS);
  standin::RefuseOpen(6, 0);
  ASSERT_EQ(libusb_open(list[0], &h), 0);
  libusb_close(h);
  libusb_free_device_list(list, 1);
}

// The environment names the control directory before the library first
// looks (see the test's properties); without it there is nothing to test.
TEST_F(Standin, CommandFilesPlugAndUnplugAndTheStatusFileFollows) {
  const char* dir = std::getenv(standin::kControlDirVariable);
  if (dir == nullptr) GTEST_SKIP() << "TOWER_LIBUSB_STANDIN is not set";
  namespace fs = std::filesystem;
  fs::create_directories(dir);
  const fs::path status = fs::path(dir) / "status";
  auto statusText = [&] {
    std::ifstream in(status);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  std::vector<Heard>& heard = early_;
  ASSERT_EQ(libusb_hotplug_register_callback(
                ctx_, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, 0,
                LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                Record, &heard, nullptr),
            0);
  std::ofstream(fs::path(dir) / "plug-7") << "silent denied";
  for (int i = 0; i < 100 && heard.empty(); ++i) Pump();
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].event, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
  EXPECT_FALSE(fs::exists(fs::path(dir) / "plug-7"));
  EXPECT_EQ(statusText().rfind("7 bus 1 address ", 0), 0u) << statusText();
  libusb_device_handle* h = nullptr;
  EXPECT_EQ(libusb_open(heard[0].device, &h), LIBUSB_ERROR_ACCESS);

  {
    std::ofstream touch(fs::path(dir) / "unplug-7");  // an empty command file
  }
  for (int i = 0; i < 100 && heard.size() < 2; ++i) Pump();
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[1].event, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
  EXPECT_EQ(statusText(), "");
  standin::RefuseOpen(7, 0);
}

}  // namespace
