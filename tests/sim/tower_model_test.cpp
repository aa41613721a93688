#include "sim/tower.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "fake_port.h"

namespace {

using namespace std::chrono_literals;
using hk::usb::Transfer;
using hk::usb::TransferKind;
using sim::TowerModel;
using sim_test::FakePort;
using namespace tower;

uint16_t U16(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

struct Answer {
  NTSTATUS status;
  uint32_t usbd;
  uint32_t actual;
  std::vector<uint8_t> bytes;  // the whole buffer, wLength bytes
};

class TowerTest : public ::testing::Test {
 protected:
  void SetUp() override { Start({.linkDelay = false}); }

  // A fresh tower on a fresh port.
  void Start(sim::TowerOptions options) {
    model_.reset();
    port_ = std::make_unique<FakePort>();
    model_ = std::make_unique<TowerModel>(options);
    model_->Attach(port_.get());
    ASSERT_TRUE(model_->SetConfiguration(kConfigurationNormal));
  }

  Answer Request(uint8_t bRequest, uint16_t wValue = 0, uint16_t wIndex = 0, uint16_t wLength = 64,
                 uint8_t type = kVendorRequestType) {
    std::vector<uint8_t> buffer(wLength, 0xAA);
    Transfer t{.kind = TransferKind::Control,
               .setup = {type, bRequest, wValue, wIndex, wLength},
               .buffer = buffer.data(),
               .length = wLength};
    model_->Submit(&t);
    EXPECT_TRUE(port_->WaitFor(&t));
    return {t.status, t.usbdStatus, t.actual, buffer};
  }
  // The reply's status byte and value byte, checking the reply is whole.
  std::pair<uint8_t, uint8_t> Parm(uint8_t bRequest, uint16_t wValue) {
    Answer a = Request(bRequest, wValue, 0, kReplyParm);
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(a.actual, kReplyParm);
    EXPECT_EQ(U16(a.bytes, 0), kReplyParm);
    return {a.bytes[2], a.bytes[3]};
  }

  Transfer In(uint8_t* buffer, uint32_t length = 8) {
    return {.kind = TransferKind::BulkIn,
            .endpoint = kEndpointIn,
            .setup = {},
            .buffer = buffer,
            .length = length,
            .shortOk = true};
  }
  Transfer Out(std::vector<uint8_t>& bytes) {
    return {.kind = TransferKind::BulkOut,
            .endpoint = kEndpointOut,
            .setup = {},
            .buffer = bytes.data(),
            .length = static_cast<uint32_t>(bytes.size())};
  }
  Transfer Version(uint8_t* buffer) {
    return {.kind = TransferKind::Control,
            .setup = {kVendorRequestType, TOWER_REQ_GET_VERSION, 0, 0, 8},
            .buffer = buffer,
            .length = 8};
  }
  // Reads IN packets until `count` bytes came back; each packet at most 8.
  std::vector<uint8_t> ReadBack(size_t count) {
    std::vector<uint8_t> got;
    while (got.size() < count) {
      std::array<uint8_t, 8> buf{};
      Transfer t = In(buf.data());
      model_->Submit(&t);
      if (!port_->WaitFor(&t)) break;
      EXPECT_LE(t.actual, 8u);
      got.insert(got.end(), buf.begin(), buf.begin() + t.actual);
    }
    return got;
  }

  std::unique_ptr<FakePort> port_;  // outlives the model
  std::unique_ptr<TowerModel> model_;
};

// ---------------------------------------------------------------- USB identity

TEST_F(TowerTest, DescriptorsDescribeTheTower) {
  std::vector<uint8_t> d = model_->DeviceDescriptor();
  ASSERT_EQ(d.size(), 18u);
  EXPECT_EQ(U16(d, 2), 0x0110);
  EXPECT_EQ(d[7], 8);
  EXPECT_EQ(U16(d, 8), 0x0F5C);
  EXPECT_EQ(U16(d, 10), 0x0001);
  EXPECT_EQ(d[17], 2);

  const uint8_t power[] = {50, 250};
  for (uint8_t index = 0; index < 2; ++index) {
    std::vector<uint8_t> c = model_->ConfigurationDescriptor(index);
    ASSERT_EQ(c.size(), 32u);
    EXPECT_EQ(U16(c, 2), 32);
    EXPECT_EQ(c[5], index + 1);
    EXPECT_EQ(c[8], power[index]);
    std::vector<uint8_t> endpoints;
    for (size_t at = 0; at < c.size(); at += c[at]) {
      ASSERT_GT(c[at], 0);
      if (c[at + 1] == 4) {
        EXPECT_EQ(c[at + 5], 0xFF);
      }
      if (c[at + 1] != 5) continue;
      endpoints.push_back(c[at + 2]);
      EXPECT_EQ(c[at + 3], 0x03);
      EXPECT_EQ(U16(c, at + 4), 8);
    }
    EXPECT_EQ(endpoints, (std::vector<uint8_t>{0x81, 0x02}));
  }
  EXPECT_TRUE(model_->ConfigurationDescriptor(2).empty());
}

TEST_F(TowerTest, ConfigurationGatesTheDataEndpoints) {
  EXPECT_FALSE(model_->SetConfiguration(3));
  EXPECT_EQ(model_->Configuration(), kConfigurationNormal);
  EXPECT_TRUE(model_->SetConfiguration(0));
  std::array<uint8_t, 8> buf{};
  Transfer in = In(buf.data());
  model_->Submit(&in);
  ASSERT_TRUE(port_->WaitFor(&in));
  EXPECT_EQ(in.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(in.usbdStatus, hk::usb::USBD_STATUS_STALL_PID);
  // Vendor requests still work on endpoint 0.
  EXPECT_EQ(Request(TOWER_REQ_GET_VERSION).status, STATUS_SUCCESS);
}

// ---------------------------------------------------------------- vendor requests

TEST_F(TowerTest, ParametersRoundTripAndRefusedValuesKeepTheOldOne) {
  struct Case {
    uint8_t id, factory, good, bad;
  };
  const Case cases[] = {{TOWER_PARM_LINK_MODE, 2, 4, 3},
                        {TOWER_PARM_RANGE, 3, 1, 7},
                        {TOWER_PARM_ENDIANNESS, 1, 2, 0},
                        {TOWER_PARM_LED_MODE, 1, 2, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    EXPECT_EQ(Parm(TOWER_REQ_GET_PARM, c.id), std::make_pair(sim::kTowerOk, c.factory));
    EXPECT_EQ(Parm(TOWER_REQ_SET_PARM, c.good << 8 | c.id), std::make_pair(sim::kTowerOk, c.good));
    EXPECT_EQ(Parm(TOWER_REQ_SET_PARM, c.bad << 8 | c.id),
              std::make_pair(sim::kTowerErrBadValue, c.good));
    EXPECT_EQ(Parm(TOWER_REQ_GET_PARM, c.id), std::make_pair(sim::kTowerOk, c.good));
    EXPECT_EQ(model_->Parameter(c.id), c.good);
  }
  EXPECT_EQ(Parm(TOWER_REQ_SET_PARM, 0x0104), std::make_pair(sim::kTowerErrReadOnly, uint8_t{0}));
  model_->SetErrorState(9);
  EXPECT_EQ(Parm(TOWER_REQ_GET_PARM, TOWER_PARM_ERROR_STATE),
            std::make_pair(sim::kTowerOk, uint8_t{9}));
  EXPECT_EQ(Parm(TOWER_REQ_GET_PARM, 0x33).first, sim::kTowerErrUnknownParameter);
  EXPECT_EQ(Parm(TOWER_REQ_SET_PARM, 0x0133).first, sim::kTowerErrUnknownParameter);

  EXPECT_EQ(Parm(TOWER_REQ_GET_IRC_PARM, 1), std::make_pair(sim::kTowerOk, uint8_t{16}));
  EXPECT_EQ(Parm(TOWER_REQ_GET_IRC_PARM, 2), std::make_pair(sim::kTowerOk, uint8_t{4}));
  EXPECT_EQ(Parm(TOWER_REQ_SET_IRC_PARM, 0x2001), std::make_pair(sim::kTowerOk, uint8_t{32}));
  EXPECT_EQ(Parm(TOWER_REQ_SET_IRC_PARM, 0x0002),
            std::make_pair(sim::kTowerErrBadValue, uint8_t{4}));
  EXPECT_EQ(model_->IrcParameter(1), 32);
}

TEST_F(TowerTest, LedsSpeedsAndCarrierKeepWhatTheyAreGiven) {
  Answer led = Request(TOWER_REQ_SET_LED, 0x4202, 0, kReplyLed);
  EXPECT_EQ(led.bytes[2], sim::kTowerOk);
  EXPECT_EQ(led.bytes[4], 2);
  EXPECT_EQ(led.bytes[5], 0x42);
  EXPECT_EQ(Request(TOWER_REQ_GET_LED, 1, 0, kReplyLed).bytes[5], TOWER_LED_OFF);
  EXPECT_EQ(model_->Led(2), 0x42);
  EXPECT_EQ(Request(TOWER_REQ_SET_LED, 0xFF03, 0, kReplyLed).bytes[2], sim::kTowerErrUnknownLed);

  for (auto [get, set] : {std::pair{TOWER_REQ_GET_TX_SPEED, TOWER_REQ_SET_TX_SPEED},
                          std::pair{TOWER_REQ_GET_RX_SPEED, TOWER_REQ_SET_RX_SPEED}}) {
    EXPECT_EQ(U16(Request(get, 0, 0, kReplySpeed).bytes, 4), TOWER_SPEED_2400);
    EXPECT_EQ(U16(Request(set, TOWER_SPEED_38400, 0, kReplySpeed).bytes, 4), TOWER_SPEED_38400);
    for (uint16_t bad : {0x0000, 0x0003, 0x0100}) {
      Answer a = Request(set, bad, 0, kReplySpeed);
      EXPECT_EQ(a.bytes[2], sim::kTowerErrBadSpeed);
      EXPECT_EQ(U16(a.bytes, 4), TOWER_SPEED_38400);
    }
  }
  EXPECT_EQ(model_->TxSpeed(), TOWER_SPEED_38400);

  EXPECT_EQ(Request(TOWER_REQ_GET_CARRIER_FREQUENCY, 0, 0, 6).bytes[4], 38);
  EXPECT_EQ(Request(TOWER_REQ_SET_CARRIER_FREQUENCY, 40, 0, 6).bytes[4], 40);
  EXPECT_EQ(model_->CarrierFrequency(), 40);

  Answer duty = Request(TOWER_REQ_SET_CARRIER_DUTY_CYCLE, 33, 2, kReplyDutyCycle);
  EXPECT_EQ(duty.bytes[4], 2);
  EXPECT_EQ(U16(duty.bytes, 6), 33);
  EXPECT_EQ(U16(Request(TOWER_REQ_GET_CARRIER_DUTY_CYCLE, 0, 1, kReplyDutyCycle).bytes, 6), 50);
  EXPECT_EQ(Request(TOWER_REQ_GET_CARRIER_DUTY_CYCLE, 0, 4, kReplyDutyCycle).bytes[2],
            sim::kTowerErrUnknownSelector);
  EXPECT_EQ(model_->DutyCycle(2), 33);
}

TEST_F(TowerTest, IdentityCapabilitiesAndTexts) {
  Answer v = Request(TOWER_REQ_GET_VERSION, 0, 0, kReplyVersion);
  EXPECT_EQ(v.bytes[4], 2);
  EXPECT_EQ(v.bytes[5], 1);
  EXPECT_EQ(U16(v.bytes, 6), 7);
  model_->SetVersion(3, 0, 512);
  EXPECT_EQ(U16(Request(TOWER_REQ_GET_VERSION, 0, 0, kReplyVersion).bytes, 6), 512);

  Answer caps = Request(TOWER_REQ_GET_CAPS, sim::kCapsLink, 0, kReplyCaps);
  EXPECT_EQ(caps.bytes[2], sim::kTowerOk);
  EXPECT_EQ(caps.bytes[4], TOWER_LINK_VLL | TOWER_LINK_IR | TOWER_LINK_IRC);
  EXPECT_EQ(U16(caps.bytes, 6), 0x00FF);
  EXPECT_EQ(U16(caps.bytes, 12), 4096);
  EXPECT_EQ(U16(Request(TOWER_REQ_GET_CAPS, sim::kCapsPower, 0, kReplyCaps).bytes, 8), 500);
  Answer none = Request(TOWER_REQ_GET_CAPS, 9, 0, kReplyCaps);
  EXPECT_EQ(none.bytes[2], sim::kTowerErrUnknownSelector);
  EXPECT_EQ(std::vector<uint8_t>(none.bytes.begin() + 4, none.bytes.end()),
            std::vector<uint8_t>(14, 0));

  model_->SetCopyright(u"(C) Zq");
  Answer text = Request(TOWER_REQ_GET_COPYRIGHT);
  EXPECT_EQ(text.actual, 16u);
  EXPECT_EQ(U16(text.bytes, 0), 16);
  EXPECT_EQ(std::vector<uint8_t>(text.bytes.begin() + 4, text.bytes.begin() + 16),
            (std::vector<uint8_t>{'(', 0, 'C', 0, ')', 0, ' ', 0, 'Z', 0, 'q', 0}));
  Answer credits = Request(TOWER_REQ_GET_CREDITS, 0, 0, 4);
  EXPECT_EQ(credits.actual, 4u);        // only what was asked for arrives...
  EXPECT_GT(U16(credits.bytes, 0), 4);  // ...but the length says how much there is
}

TEST_F(TowerTest, ResetRestoresFactorySettingsAndEmptiesTheQueue) {
  Parm(TOWER_REQ_SET_PARM, 0x0102);
  Request(TOWER_REQ_SET_TX_SPEED, TOWER_SPEED_300);
  Request(TOWER_REQ_WRITE_ERROR, 1, 0, kReplyParm);
  model_->Inject({1, 2, 3});
  EXPECT_EQ(Parm(TOWER_REQ_RESET, 0).first, sim::kTowerOk);
  EXPECT_EQ(model_->Parameter(TOWER_PARM_RANGE), 3);
  EXPECT_EQ(model_->TxSpeed(), TOWER_SPEED_2400);
  EXPECT_EQ(model_->QueuedBytes(), 0u);
  EXPECT_EQ(model_->WriteErrors(), 1u);
  EXPECT_EQ(model_->Stats().received, 3u);  // counters survive a reset
}

TEST_F(TowerTest, UnknownRequestsAndOtherRequestTypesStall) {
  for (auto [type, request] : {std::pair<uint8_t, uint8_t>{0xC0, 0x07},
                               {0xC0, 0x13},
                               {0x40, TOWER_REQ_GET_VERSION},
                               {0x80, TOWER_REQ_GET_VERSION}}) {
    Answer a = Request(request, 0, 0, 8, type);
    EXPECT_EQ(a.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(a.usbd, hk::usb::USBD_STATUS_STALL_PID);
    EXPECT_EQ(a.actual, 0u);
  }
  std::vector<hk::usb::SetupPacket> log = model_->SetupLog();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[1].bRequest, 0x13);
  EXPECT_EQ(log[2].bmRequestType, 0x40);
  model_->ClearSetupLog();
  EXPECT_TRUE(model_->SetupLog().empty());
}

// ---------------------------------------------------------------- the link

TEST_F(TowerTest, LoopbackReturnsTheBytesInOrderInPacketsOfEight) {
  std::vector<uint8_t> sent(20);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 7);
  Transfer out = Out(sent);
  model_->Submit(&out);
  ASSERT_TRUE(port_->WaitFor(&out));
  EXPECT_EQ(out.status, STATUS_SUCCESS);
  EXPECT_EQ(out.actual, 20u);
  EXPECT_EQ(model_->Transmitted(), sent);
  EXPECT_EQ(ReadBack(20), sent);

  sim::CommStats stats = model_->Stats();
  EXPECT_EQ(stats.transmitted, 20u);
  EXPECT_EQ(stats.received, 20u);
  EXPECT_EQ(stats.delivered, 3u);  // 8 + 8 + 4
  EXPECT_EQ(stats.errors, 0u);
  Answer a = Request(TOWER_REQ_GET_COMM_STATS, 0, 0, kReplyCommStats);
  EXPECT_EQ(U16(a.bytes, 4), 20);
  EXPECT_EQ(U16(a.bytes, 8), 3);
  Request(TOWER_REQ_RESET_COMM_STATS);
  EXPECT_EQ(model_->Stats().transmitted, 0u);
}

TEST_F(TowerTest, InWaitsForBytesAndTakesNoMoreThanItsLength) {
  std::array<uint8_t, 8> buf{};
  Transfer in = In(buf.data(), 3);
  model_->Submit(&in);
  EXPECT_FALSE(port_->WaitFor(&in, 20ms));
  model_->Inject({9, 8, 7, 6, 5});
  ASSERT_TRUE(port_->WaitFor(&in));
  EXPECT_EQ(in.actual, 3u);
  EXPECT_EQ(model_->QueuedBytes(), 2u);
}

TEST_F(TowerTest, SilenceAndScriptedFarSides) {
  model_->SetFarSide(sim::FarSide::Silence);
  std::vector<uint8_t> ping{1, 2, 3};
  Transfer out = Out(ping);
  model_->Submit(&out);
  ASSERT_TRUE(port_->WaitFor(&out));
  EXPECT_EQ(model_->QueuedBytes(), 0u);

  std::vector<std::vector<uint8_t>> heard;
  model_->SetResponder([&](const std::vector<uint8_t>& sent) {
    heard.push_back(sent);  // only the worker thread calls this
    std::vector<uint8_t> reply(sent.rbegin(), sent.rend());
    reply.push_back(0xEE);
    return reply;
  });
  std::vector<uint8_t> first{1, 2}, second{3, 4, 5};
  Transfer o1 = Out(first), o2 = Out(second);
  model_->Submit(&o1);
  model_->Submit(&o2);
  EXPECT_EQ(ReadBack(7), (std::vector<uint8_t>{2, 1, 0xEE, 5, 4, 3, 0xEE}));
  EXPECT_EQ(heard, (std::vector<std::vector<uint8_t>>{first, second}));
}

TEST_F(TowerTest, LinkTimeScalesWithSpeed) {
  // Slow enough that 30 bytes at 300 bps (200 ms) stay far above the
  // scheduling delays of a loaded machine, which the fast case also sees.
  Start({.timeScale = 0.2, .farSide = sim::FarSide::Silence});
  EXPECT_NEAR(model_->ByteTime(TOWER_SPEED_2400) / 1.0ns, 4.1667e6 * 0.2, 1e4);
  auto timeOut = [&](uint16_t speed) {
    Request(TOWER_REQ_SET_TX_SPEED, speed);
    std::vector<uint8_t> bytes(30, 0x55);
    Transfer out = Out(bytes);
    const auto start = std::chrono::steady_clock::now();
    model_->Submit(&out);
    EXPECT_TRUE(port_->WaitFor(&out));
    return std::chrono::steady_clock::now() - start;
  };
  const auto slow = timeOut(TOWER_SPEED_300);  // 30 bytes x 6.7 ms
  const auto fast = timeOut(TOWER_SPEED_38400);
  EXPECT_GE(slow, 30 * model_->ByteTime(TOWER_SPEED_300));
  EXPECT_LT(fast, slow / 2);

  // The far side's answer comes back at the receive speed.
  Request(TOWER_REQ_SET_RX_SPEED, TOWER_SPEED_300);
  model_->SetResponder([](const std::vector<uint8_t>&) { return std::vector<uint8_t>(10, 7); });
  std::vector<uint8_t> ping{1};
  Transfer out = Out(ping);
  const auto start = std::chrono::steady_clock::now();
  model_->Submit(&out);
  EXPECT_EQ(ReadBack(10), std::vector<uint8_t>(10, 7));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 10 * model_->ByteTime(TOWER_SPEED_300));
}

// Injected bytes complete their IN transfer inside the stack's caller scope,
// which closes only after the call, when the model holds no lock; a tower
// told to leave the injecting thread out never opens one.
TEST_F(TowerTest, InjectionCompletesInsideTheStacksCallerScopeWhenAllowed) {
  for (const bool allowed : {true, false}) {
    SCOPED_TRACE(allowed ? "allowed" : "left out");
    Start({.linkDelay = false, .completeOnInjector = allowed});
    FakePort::Scope scope;
    port_->OfferScope(&scope);
    std::array<uint8_t, 8> buf{};
    Transfer in = In(buf.data(), 8);
    model_->Submit(&in);
    model_->Inject({1, 2, 3});
    ASSERT_TRUE(port_->WaitFor(&in));
    EXPECT_EQ(scope.open, 0);
    EXPECT_EQ(scope.closed, allowed ? 1 : 0);
    EXPECT_EQ(port_->CompletedInScope(), allowed ? 1 : 0);
    port_->OfferScope(nullptr);
  }
}

TEST_F(TowerTest, AFullQueueDropsAndCountsTheRest) {
  Start({.linkDelay = false, .receiveCapacity = 16});
  model_->Inject(std::vector<uint8_t>(20, 1));
  EXPECT_EQ(model_->QueuedBytes(), 16u);
  EXPECT_EQ(model_->Stats().received, 20u);
  EXPECT_EQ(model_->Stats().errors, 4u);
}

// Bytes that find IN transfers waiting are counted, split and kept exactly as
// if they had passed through the queue first: a burst the queue could not
// hold loses what the queue would have lost, even though a transfer waits.
TEST_F(TowerTest, BytesForWaitingTransfersCountAsIfQueuedFirst) {
  Start({.linkDelay = false, .receiveCapacity = 16});
  std::array<uint8_t, 8> a{}, b{}, c{};
  Transfer first = In(a.data(), 4);
  Transfer second = In(b.data(), 8);
  model_->Submit(&first);
  model_->Submit(&second);
  model_->Inject({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14});
  ASSERT_TRUE(port_->WaitFor(&first));
  ASSERT_TRUE(port_->WaitFor(&second));
  EXPECT_EQ(std::vector<uint8_t>(a.begin(), a.begin() + first.actual),
            (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(std::vector<uint8_t>(b.begin(), b.begin() + second.actual),
            (std::vector<uint8_t>{5, 6, 7, 8, 9, 10, 11, 12}));
  EXPECT_EQ(model_->QueuedBytes(), 2u);
  EXPECT_EQ(model_->Stats().received, 14u);
  EXPECT_EQ(model_->Stats().delivered, 2u);
  EXPECT_EQ(model_->Stats().errors, 0u);

  // Older bytes wait in the queue: they go first.
  Transfer third = In(c.data(), 8);
  model_->Inject({15, 16});
  model_->Submit(&third);
  ASSERT_TRUE(port_->WaitFor(&third));
  EXPECT_EQ(std::vector<uint8_t>(c.begin(), c.begin() + third.actual),
            (std::vector<uint8_t>{13, 14, 15, 16}));

  // 20 bytes into room for 16, with a transfer waiting: 4 are lost.
  Transfer fourth = In(a.data(), 8);
  model_->Submit(&fourth);
  model_->Inject(std::vector<uint8_t>(20, 7));
  ASSERT_TRUE(port_->WaitFor(&fourth));
  EXPECT_EQ(fourth.actual, 8u);
  EXPECT_EQ(model_->QueuedBytes(), 8u);
  EXPECT_EQ(model_->Stats().received, 36u);
  EXPECT_EQ(model_->Stats().errors, 4u);
}

// However long the waiting transfer, it takes one packet's worth at most.
TEST_F(TowerTest, AWaitingTransferTakesAPacketAtMost) {
  std::array<uint8_t, 100> buf{};
  Transfer in = In(buf.data(), static_cast<uint32_t>(buf.size()));
  model_->Submit(&in);
  std::vector<uint8_t> sent(80);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i);
  model_->Inject(sent);
  ASSERT_TRUE(port_->WaitFor(&in));
  EXPECT_EQ(in.actual, kReceivePacket);
  EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + in.actual),
            std::vector<uint8_t>(sent.begin(), sent.begin() + kReceivePacket));
  EXPECT_EQ(model_->QueuedBytes(), sent.size() - kReceivePacket);
}

// A long burst is taken a packet at a time, in order, while more arrives
// behind it: the queue gives back exactly what it was given.
TEST_F(TowerTest, ALongBurstComesOutInOrderWhileMoreArrives) {
  Start({.linkDelay = false, .receiveCapacity = 1 << 16});
  std::vector<uint8_t> sent(20000);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 7 + i / 256);
  model_->Inject(std::vector<uint8_t>(sent.begin(), sent.begin() + 12000));
  std::vector<uint8_t> taken;
  while (taken.size() < sent.size()) {
    if (taken.size() == 6000)
      model_->Inject(std::vector<uint8_t>(sent.begin() + 12000, sent.end()));
    std::array<uint8_t, 8> buf{};
    Transfer in = In(buf.data(), 8);
    model_->Submit(&in);
    ASSERT_TRUE(port_->WaitFor(&in));
    taken.insert(taken.end(), buf.begin(), buf.begin() + in.actual);
  }
  EXPECT_EQ(taken, sent);
  EXPECT_EQ(model_->QueuedBytes(), 0u);
}

// ---------------------------------------------------------------- faults

TEST_F(TowerTest, RequestFaultsAlterTheReply) {
  model_->SetRequestFault(TOWER_REQ_GET_VERSION, {.status = 0x77, .lengthExtra = 5});
  model_->SetRequestFault(TOWER_REQ_GET_LED, {.shortReply = 2});
  model_->SetRequestFault(TOWER_REQ_GET_PARM, {.stall = true});
  model_->SetRequestFault(TOWER_REQ_GET_CAPS, {.fail = STATUS_IO_TIMEOUT});

  Answer v = Request(TOWER_REQ_GET_VERSION);
  EXPECT_EQ(v.actual, kReplyVersion);
  EXPECT_EQ(U16(v.bytes, 0), kReplyVersion + 5);
  EXPECT_EQ(v.bytes[2], 0x77);
  Answer led = Request(TOWER_REQ_GET_LED, 1, 0, kReplyLed);
  EXPECT_EQ(led.actual, 2u);
  EXPECT_EQ(led.bytes[2], 0xAA);  // the rest of the buffer is untouched
  EXPECT_EQ(Request(TOWER_REQ_GET_PARM, 1).usbd, hk::usb::USBD_STATUS_STALL_PID);
  Answer caps = Request(TOWER_REQ_GET_CAPS);
  EXPECT_EQ(caps.status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(caps.usbd, hk::usb::USBD_STATUS_DEV_NOT_RESPONDING);
  EXPECT_EQ(Request(TOWER_REQ_GET_RX_SPEED).status, STATUS_SUCCESS);  // others unaffected

  model_->ClearRequestFaults();
  EXPECT_EQ(Request(TOWER_REQ_GET_PARM, 1).status, STATUS_SUCCESS);
}

TEST_F(TowerTest, HeldTransfersEndOnCancelExactlyOnce) {
  model_->SetDefaultRequestFault({.neverAnswer = true});
  model_->SetOutFault(sim::OutFault::NeverAccept);
  std::array<uint8_t, 8> reply{}, buf{};
  std::vector<uint8_t> bytes{1, 2, 3};
  Transfer control = Version(reply.data()), in = In(buf.data()), out = Out(bytes);
  for (Transfer* t : {&control, &in, &out}) model_->Submit(t);
  EXPECT_FALSE(port_->WaitFor(&control, 20ms));
  EXPECT_EQ(model_->HeldTransfers(), 3u);
  for (Transfer* t : {&control, &in, &out}) {
    model_->Cancel(t);
    model_->Cancel(t);
    EXPECT_EQ(port_->CountFor(t), 1);
    EXPECT_EQ(t->status, STATUS_CANCELLED);
    EXPECT_EQ(t->usbdStatus, hk::usb::USBD_STATUS_CANCELED);
    EXPECT_EQ(t->actual, 0u);
  }
  EXPECT_TRUE(model_->Transmitted().empty());
}

TEST_F(TowerTest, CancelledOutReportsTheBytesAlreadySent) {
  Start({.timeScale = 1.0, .farSide = sim::FarSide::Silence});
  Request(TOWER_REQ_SET_TX_SPEED, TOWER_SPEED_300);  // 33 ms a byte
  std::vector<uint8_t> bytes(20, 0x11);
  Transfer out = Out(bytes);
  model_->Submit(&out);
  std::this_thread::sleep_for(40ms);
  model_->Cancel(&out);
  ASSERT_EQ(port_->CountFor(&out), 1);
  EXPECT_EQ(out.status, STATUS_CANCELLED);
  EXPECT_GE(out.actual, 1u);
  EXPECT_LT(out.actual, 20u);
  EXPECT_EQ(model_->Transmitted().size(), out.actual);
}

TEST_F(TowerTest, OutDataErrorIsCounted) {
  model_->SetOutFault(sim::OutFault::DataError);
  std::vector<uint8_t> bytes{1};
  Transfer out = Out(bytes);
  model_->Submit(&out);
  ASSERT_TRUE(port_->WaitFor(&out));
  EXPECT_EQ(out.status, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(out.usbdStatus, hk::usb::USBD_STATUS_CRC);
  EXPECT_EQ(model_->Stats().errors, 1u);
}

TEST_F(TowerTest, VanishingFailsEverythingHeldAndLaterTransfers) {
  for (bool onOut : {true, false}) {
    SCOPED_TRACE(onOut);
    Start({.linkDelay = false});
    std::array<uint8_t, 8> buf{};
    Transfer in = In(buf.data());
    model_->Submit(&in);
    onOut ? model_->VanishOnNextOut() : model_->VanishOnNextControl();
    std::vector<uint8_t> bytes{1, 2};
    std::array<uint8_t, 8> reply{};
    Transfer trigger = onOut ? Out(bytes) : Version(reply.data());
    const int vanishedBefore = port_->Vanished();
    model_->Submit(&trigger);
    for (Transfer* t : {&trigger, &in}) {
      ASSERT_EQ(port_->CountFor(t), 1);
      EXPECT_EQ(t->status, STATUS_DEVICE_NOT_CONNECTED);
      EXPECT_EQ(t->usbdStatus, hk::usb::USBD_STATUS_DEVICE_GONE);
    }
    EXPECT_EQ(port_->Vanished(), vanishedBefore + 1);
    EXPECT_EQ(Request(TOWER_REQ_GET_VERSION).status, STATUS_DEVICE_NOT_CONNECTED);
  }
}

// ---------------------------------------------------------------- plugging

TEST_F(TowerTest, UnplugCompletesHeldTransfersAndReplugPowersUpAfresh) {
  Parm(TOWER_REQ_SET_PARM, 0x0102);
  model_->SetDefaultRequestFault({.neverAnswer = true});
  std::array<uint8_t, 8> buf{}, reply{};
  Transfer in = In(buf.data()), control = Version(reply.data());
  model_->Submit(&in);
  model_->Submit(&control);
  model_->Attach(nullptr);
  for (Transfer* t : {&in, &control}) {
    EXPECT_EQ(port_->CountFor(t), 1);
    EXPECT_EQ(t->status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(t->usbdStatus, hk::usb::USBD_STATUS_DEVICE_GONE);
  }
  EXPECT_EQ(model_->HeldTransfers(), 0u);
  EXPECT_FALSE(model_->Attached());
  EXPECT_EQ(model_->Parameter(TOWER_PARM_RANGE), TOWER_RANGE_SHORT);  // still readable

  FakePort second;
  model_->Attach(&second);
  EXPECT_EQ(model_->Parameter(TOWER_PARM_RANGE), TOWER_RANGE_LONG);
  EXPECT_EQ(model_->Configuration(), 0);
  model_->Attach(nullptr);
}

TEST_F(TowerTest, ReconfiguringAndDestroyingEndHeldTransfers) {
  std::array<uint8_t, 8> buf{};
  Transfer in = In(buf.data());
  model_->Submit(&in);
  EXPECT_TRUE(model_->SetConfiguration(kConfigurationHighPower));
  EXPECT_EQ(in.status, STATUS_CANCELLED);

  in.status = STATUS_PENDING;
  model_->Submit(&in);
  model_.reset();
  EXPECT_EQ(port_->CountFor(&in), 2);
  EXPECT_EQ(in.status, STATUS_DEVICE_NOT_CONNECTED);
}

}  // namespace

namespace {

using TowerKnobs = TowerTest;

TEST_F(TowerKnobs, TransferFaultsEndTheNextTransfersOfTheirKindAndTheTowerStays) {
  // A write refused with a chosen status, twice; the third goes through.
  model_->FailTransfers(TransferKind::BulkOut,
                        sim::TransferFault{STATUS_UNSUCCESSFUL, hk::usb::USBD_STATUS_STALL_PID, 2});
  std::vector<uint8_t> bytes{1, 2, 3};
  for (int i = 0; i < 3; ++i) {
    Transfer out = Out(bytes);
    model_->Submit(&out);
    ASSERT_TRUE(port_->WaitFor(&out));
    if (i < 2) {
      EXPECT_EQ(out.status, STATUS_UNSUCCESSFUL);
      EXPECT_EQ(out.usbdStatus, hk::usb::USBD_STATUS_STALL_PID);
      EXPECT_EQ(out.actual, 0u);
    } else {
      EXPECT_EQ(out.status, STATUS_SUCCESS);
    }
  }
  EXPECT_TRUE(model_->Attached());
  EXPECT_EQ(model_->Stats().errors, 2u);
  EXPECT_EQ(model_->Transmitted(), bytes);

  // A vendor request fails once, and is still logged as received.
  model_->FailTransfers(TransferKind::Control,
                        sim::TransferFault{STATUS_UNSUCCESSFUL, hk::usb::USBD_STATUS_CRC, 1});
  model_->ClearSetupLog();
  EXPECT_EQ(Request(TOWER_REQ_GET_VERSION).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Request(TOWER_REQ_GET_VERSION).status, STATUS_SUCCESS);
  EXPECT_EQ(model_->SetupLog().size(), 2u);

  // A receive transfer fails at once until cleared, with or without data waiting.
  model_->FailTransfers(TransferKind::BulkIn,
                        sim::TransferFault{STATUS_DELETE_PENDING, hk::usb::USBD_STATUS_SUCCESS, 0});
  model_->Inject({9});
  for (int i = 0; i < 3; ++i) {
    std::array<uint8_t, 8> buf{};
    Transfer in = In(buf.data());
    model_->Submit(&in);
    ASSERT_TRUE(port_->WaitFor(&in));
    EXPECT_EQ(in.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(in.usbdStatus, hk::usb::USBD_STATUS_SUCCESS);
  }
  model_->ClearTransferFaults();
  // The write that went through was heard (loopback); the byte that waited
  // through the failed transfers is still there.
  EXPECT_EQ(ReadBack(4), (std::vector<uint8_t>{1, 2, 3, 9}));
}

TEST_F(TowerKnobs, SettingsChangedFromOutsideAreWhatTheHostReadsBack) {
  EXPECT_EQ(model_->SetParameter(TOWER_PARM_RANGE, TOWER_RANGE_SHORT), 0);
  EXPECT_EQ(Parm(TOWER_REQ_GET_PARM, TOWER_PARM_RANGE).second, TOWER_RANGE_SHORT);
  // The firmware's own rules hold: the error state cannot be set, an
  // unknown parameter is refused.
  EXPECT_NE(model_->SetParameter(TOWER_PARM_ERROR_STATE, 1), 0);
  EXPECT_NE(model_->SetParameter(0x55, 1), 0);
  model_->ChangeSettings([](sim::Settings& s) {
    s.endianness = TOWER_ENDIAN_BIG;
    s.txSpeed = TOWER_SPEED_4800;
  });
  EXPECT_EQ(Parm(TOWER_REQ_GET_PARM, TOWER_PARM_ENDIANNESS).second, TOWER_ENDIAN_BIG);
  EXPECT_EQ(model_->TxSpeed(), TOWER_SPEED_4800);
  EXPECT_EQ(model_->CurrentSettings().range, TOWER_RANGE_SHORT);
}

}  // namespace
