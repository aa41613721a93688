// Device control: each family of codes against the simulated tower, with the
// records built byte for byte, the preconditions, and the odd answers.
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fixture.h"
#include "tower/values.h"

namespace towertest {
namespace {

struct Result {
  NTSTATUS status;
  uint32_t bytes;
};

class ControlTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    physical_ = PlugTower();
    ASSERT_EQ(OpenUnit(1, &file_), STATUS_SUCCESS);
    Tower().ClearSetupLog();
  }
  void TearDown() override {
    if (file_ != nullptr) {
      EXPECT_EQ(machine_->io().Close(file_), STATUS_SUCCESS);
    }
    MachineTest::TearDown();
  }
  Result Call(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength) {
    uint32_t got = 0;
    const NTSTATUS status = machine_->io().Control(file_, code, in, inLength, out, outLength, &got);
    return {status, got};
  }
  // A 12-byte record as the library writes it: size, status 0, payload.
  static QIROTOWER_CTLREC Rec(std::initializer_list<uint8_t> payload) {
    QIROTOWER_CTLREC r{};
    r.Size = sizeof(r);
    size_t i = 0;
    for (uint8_t b : payload) r.Payload[i++] = b;
    return r;
  }
  Result CallRec(uint32_t code, const QIROTOWER_CTLREC& in, QIROTOWER_CTLREC* out) {
    return Call(code, &in, sizeof(in), out, sizeof(*out));
  }
  size_t Requests() { return Tower().SetupLog().size(); }
  static uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
  static uint32_t U32(const uint8_t* p) { return U16(p) | static_cast<uint32_t>(U16(p + 2)) << 16; }

  hk::DeviceObject* physical_ = nullptr;
  hk::FileObject* file_ = nullptr;
};

TEST_F(ControlTest, ParametersRoundTripThroughTheTower) {
  QIROTOWER_CTLREC out{};
  Result r = CallRec(IOCTL_TOWER_SET_RANGE, Rec({TOWER_RANGE_SHORT, 0, 0, 0}), &out);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 12u);
  EXPECT_EQ(out.Size, 12u);
  EXPECT_EQ(out.Status, 0);
  EXPECT_EQ(U32(out.Payload), TOWER_RANGE_SHORT);
  EXPECT_EQ(Tower().Parameter(TOWER_PARM_RANGE), TOWER_RANGE_SHORT);
  std::memset(&out, 0xEE, sizeof(out));
  r = Call(IOCTL_TOWER_GET_RANGE, nullptr, 0, &out, sizeof(out));
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(U32(out.Payload), TOWER_RANGE_SHORT);
  EXPECT_EQ(out.Reserved, 0);

  ASSERT_EQ(CallRec(IOCTL_TOWER_SET_LINK_MODE, Rec({TOWER_LINK_VLL}), &out).status, STATUS_SUCCESS);
  ASSERT_EQ(Call(IOCTL_TOWER_GET_LINK_MODE, nullptr, 0, &out, 12).status, STATUS_SUCCESS);
  EXPECT_EQ(U32(out.Payload), TOWER_LINK_VLL);

  // The LED mode travels at offset 10; offset 8 comes back 0.
  ASSERT_EQ(CallRec(IOCTL_TOWER_SET_LED_MODE, Rec({1, 0, TOWER_LED_MODE_SOFTWARE, 0}), &out).status,
            STATUS_SUCCESS);
  EXPECT_EQ(U16(out.Payload), 0);
  EXPECT_EQ(U16(out.Payload + 2), TOWER_LED_MODE_SOFTWARE);
  ASSERT_EQ(Call(IOCTL_TOWER_GET_LED_MODE, nullptr, 0, &out, 12).status, STATUS_SUCCESS);
  EXPECT_EQ(U16(out.Payload + 2), TOWER_LED_MODE_SOFTWARE);

  ASSERT_EQ(CallRec(IOCTL_TOWER_SET_ENDIANNESS, Rec({2, 0}), &out).status, STATUS_SUCCESS);
  ASSERT_EQ(Call(IOCTL_TOWER_GET_ENDIANNESS, nullptr, 0, &out, 12).status, STATUS_SUCCESS);
  EXPECT_EQ(U16(out.Payload), 2);

  Tower().SetErrorState(9);
  ASSERT_EQ(Call(IOCTL_TOWER_GET_ERROR_STATE, nullptr, 0, &out, 12).status, STATUS_SUCCESS);
  EXPECT_EQ(U16(out.Payload), 9);

  // Any parameter id, and the IRC parameters, with the index echoed.
  ASSERT_EQ(
      CallRec(IOCTL_TOWER_SET_IRC_PARM, Rec({TOWER_IRC_PARM_PACKET_SIZE, 32, 0x34, 0x12}), &out)
          .status,
      STATUS_SUCCESS);
  EXPECT_EQ(out.Payload[0], TOWER_IRC_PARM_PACKET_SIZE);
  EXPECT_EQ(out.Payload[1], 32);
  EXPECT_EQ(U16(out.Payload + 2), 0x1234);
  ASSERT_EQ(CallRec(IOCTL_TOWER_GET_IRC_PARM, Rec({TOWER_IRC_PARM_PACKET_SIZE}), &out).status,
            STATUS_SUCCESS);
  EXPECT_EQ(out.Payload[1], 32);
  EXPECT_EQ(U16(out.Payload + 2), 0);
  ASSERT_EQ(CallRec(IOCTL_TOWER_GET_PARM, Rec({TOWER_PARM_RANGE}), &out).status, STATUS_SUCCESS);
  EXPECT_EQ(out.Payload[1], TOWER_RANGE_SHORT);
}

TEST_F(ControlTest, LedsSpeedsCarrierAndCapabilities) {
  QIROTOWER_CTLREC out{};
  ASSERT_EQ(CallRec(IOCTL_TOWER_SET_LED_STATE, Rec({2, 0, 255, 0}), &out).status, STATUS_SUCCESS);
  EXPECT_EQ(Tower().SetupLog().back().wValue, 0xFF02);
  EXPECT_EQ(U16(out.Payload), 2);
  EXPECT_EQ(U16(out.Payload + 2), 255);
  ASSERT_EQ(CallRec(IOCTL_TOWER_GET_LED_STATE, Rec({2, 0}), &out).status, STATUS_SUCCESS);
  EXPECT_EQ(U16(out.Payload + 2), 255);

  QIROTOWER_SPEEDREC speed{sizeof(speed), 0, 0, TOWER_SPEED_9600, TOWER_SPEED_4800, 2, 0};
  QIROTOWER_SPEEDREC speedOut{};
  Result r = Call(IOCTL_TOWER_SET_IR_SPEED, &speed, sizeof(speed), &speedOut, sizeof(speedOut));
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 16u);
  EXPECT_EQ(speedOut.TxSpeed, TOWER_SPEED_9600);
  EXPECT_EQ(speedOut.RxSpeed, TOWER_SPEED_4800);
  EXPECT_EQ(speedOut.Unused, 0);
  std::memset(&speedOut, 0, sizeof(speedOut));
  ASSERT_EQ(Call(IOCTL_TOWER_GET_IR_SPEED, &speed, sizeof(speed), &speedOut, 16).status,
            STATUS_SUCCESS);
  EXPECT_EQ(speedOut.TxSpeed, TOWER_SPEED_9600);
  EXPECT_EQ(speedOut.RxSpeed, TOWER_SPEED_4800);

  ASSERT_EQ(CallRec(IOCTL_TOWER_SET_CARRIER_FREQUENCY, Rec({40, 0}), &out).status, STATUS_SUCCESS);
  ASSERT_EQ(Call(IOCTL_TOWER_GET_CARRIER_FREQUENCY, nullptr, 0, &out, 12).status, STATUS_SUCCESS);
  EXPECT_EQ(U16(out.Payload), 40);

  // The selector sits at 8 and the duty cycle at 10; on the wire they swap places.
  ASSERT_EQ(CallRec(IOCTL_TOWER_SET_CARRIER_DUTY_CYCLE, Rec({1, 0, 33, 0}), &out).status,
            STATUS_SUCCESS);
  EXPECT_EQ(Tower().SetupLog().back().wValue, 33);
  EXPECT_EQ(Tower().SetupLog().back().wIndex, 1);
  EXPECT_EQ(U16(out.Payload), 1);
  EXPECT_EQ(U16(out.Payload + 2), 33);
  ASSERT_EQ(CallRec(IOCTL_TOWER_GET_CARRIER_DUTY_CYCLE, Rec({1, 0, 0, 0}), &out).status,
            STATUS_SUCCESS);
  EXPECT_EQ(U16(out.Payload + 2), 33);

  QIROTOWER_CAPS caps{};
  caps.Size = sizeof(caps);
  caps.Selector = 0;
  QIROTOWER_CAPS capsOut{};
  r = Call(IOCTL_TOWER_GET_CAPS, &caps, sizeof(caps), &capsOut, sizeof(capsOut));
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 24u);
  EXPECT_EQ(capsOut.Size, 24u);
  EXPECT_EQ(capsOut.Selector, 0);
  EXPECT_EQ(Tower().SetupLog().back().wLength, 18);
}

TEST_F(ControlTest, TimeoutsStateFlushAndCounters) {
  QIROTOWER_TIMEOUTSREC t{sizeof(t), 0, 0, 0, 300, 500, 40};
  QIROTOWER_TIMEOUTSREC tOut{};
  Result r = Call(IOCTL_TOWER_SET_TIMEOUTS, &t, sizeof(t), &tOut, sizeof(tOut));
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 24u);
  EXPECT_EQ(Requests(), 0u);  // the driver's own state only
  std::memset(&tOut, 0xEE, sizeof(tOut));
  ASSERT_EQ(Call(IOCTL_TOWER_GET_TIMEOUTS, nullptr, 0, &tOut, sizeof(tOut)).status, STATUS_SUCCESS);
  EXPECT_EQ(tOut.Size, 24u);
  EXPECT_EQ(tOut.Reserved2, 0u);
  EXPECT_EQ(tOut.Timeout_Write, 300u);
  EXPECT_EQ(tOut.Timeout_Read_1st, 500u);
  EXPECT_EQ(tOut.Timeout_Read_ic, 40u);

  // Set by control, a timeout survives a reopen when the registry has no value.
  EXPECT_EQ(machine_->io().Close(file_), STATUS_SUCCESS);
  ASSERT_EQ(OpenUnit(1, &file_), STATUS_SUCCESS);
  ASSERT_EQ(Call(IOCTL_TOWER_GET_TIMEOUTS, nullptr, 0, &tOut, sizeof(tOut)).status, STATUS_SUCCESS);
  EXPECT_EQ(tOut.Timeout_Read_1st, 500u);

  // Flush: bit 1 empties the ring, bit 0 does nothing in the driver.
  Tower().Inject({1, 2, 3});
  for (int i = 0; i < 500 && RingCount(1) < 3; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  QIROTOWER_CTLREC out{};
  ASSERT_EQ(CallRec(IOCTL_TOWER_FLUSH, Rec({1, 0}), &out).status, STATUS_SUCCESS);
  EXPECT_EQ(RingCount(1), 3);
  ASSERT_EQ(CallRec(IOCTL_TOWER_FLUSH, Rec({2, 0}), &out).status, STATUS_SUCCESS);
  EXPECT_EQ(RingCount(1), 0);

  uint8_t data[4] = {5, 6, 7, 8};
  uint32_t written = 0;
  ASSERT_EQ(machine_->io().Write(file_, data, 4, &written), STATUS_SUCCESS);
  QIROTOWER_COMMSTATS stats{};
  ASSERT_EQ(Call(IOCTL_TOWER_GET_COMM_STATS, nullptr, 0, &stats, sizeof(stats)).status,
            STATUS_SUCCESS);
  EXPECT_EQ(stats.Size, 24u);
  EXPECT_EQ(stats.Counter1, Tower().Stats().transmitted & 0xFFFF);
  EXPECT_GE(stats.Counter1, 4u);
  ASSERT_EQ(Call(IOCTL_TOWER_RESET_COMM_STATS, nullptr, 0, &stats, sizeof(stats)).status,
            STATUS_SUCCESS);
  EXPECT_EQ(stats.Counter1, 0u);
  EXPECT_EQ(Tower().Stats().transmitted, 0u);
}

TEST_F(ControlTest, PreconditionsRefuseWithoutTouchingTheTower) {
  QIROTOWER_CTLREC out{};
  const QIROTOWER_CTLREC in = Rec({TOWER_RANGE_LONG});
  EXPECT_EQ(Call(IOCTL_TOWER_SET_RANGE, &in, 11, &out, 12).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Call(IOCTL_TOWER_SET_RANGE, nullptr, 0, nullptr, 0).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Call(IOCTL_TOWER_GET_RANGE, nullptr, 0, &out, 11).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Call(IOCTL_TOWER_GET_PARM, &in, 12, &out, 11).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(CallRec(IOCTL_TOWER_SET_ENDIANNESS, Rec({0, 0}), &out).status,
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(CallRec(IOCTL_TOWER_SET_ENDIANNESS, Rec({3, 0}), &out).status,
            STATUS_INVALID_PARAMETER);
  QIROTOWER_CAPS caps{};
  EXPECT_EQ(Call(IOCTL_TOWER_GET_CAPS, &caps, 23, &caps, 24).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Call(IOCTL_TOWER_GET_VERSION, nullptr, 0, &out, 12).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Call(IOCTL_TOWER_GET_COPYRIGHT, nullptr, 0, nullptr, 0).status,
            STATUS_INVALID_PARAMETER);
  // Unassigned functions are refused like unknown codes.
  for (uint32_t function : {0x809u, 0x80Au, 0x80Bu, 0x813u, 0x81Fu, 0x824u, 0x827u})
    EXPECT_EQ(Call(TOWER_CTL_CODE(function), &in, 12, &out, 12).status, STATUS_INVALID_PARAMETER)
        << std::hex << function;
  EXPECT_EQ(Requests(), 0u);

  // Only the driver's own check applies: a range of 7 goes to the tower,
  // which answers with a nonzero status that travels in the record.
  Result r = CallRec(IOCTL_TOWER_SET_RANGE, Rec({7}), &out);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 12u);
  EXPECT_NE(out.Status, 0);
  EXPECT_EQ(Requests(), 1u);
}

TEST_F(ControlTest, SetsAndResetsReachTheTowerWithoutRoomForTheReply) {
  const QIROTOWER_CTLREC medium = Rec({TOWER_RANGE_MEDIUM});
  Result r = Call(IOCTL_TOWER_SET_RANGE, &medium, 12, nullptr, 0);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(Tower().Parameter(TOWER_PARM_RANGE), TOWER_RANGE_MEDIUM);
  // RESET needs no buffer at all, and puts the factory settings back.
  r = Call(IOCTL_TOWER_RESET, nullptr, 0, nullptr, 0);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(Tower().Parameter(TOWER_PARM_RANGE), TOWER_RANGE_LONG);
  EXPECT_EQ(Call(IOCTL_TOWER_GET_COMM_STATS, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Requests(), 3u);
}

TEST_F(ControlTest, TowerAnswersShapeTheResult) {
  // A nonzero status byte is not a failure of the request.
  sim::RequestFault fault;
  fault.status = 0x2A;
  Tower().SetRequestFault(TOWER_REQ_GET_PARM, fault);
  QIROTOWER_CTLREC out{};
  Result r = Call(IOCTL_TOWER_GET_RANGE, nullptr, 0, &out, 12);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 12u);
  EXPECT_EQ(out.Status, 0x2A);

  // The larger of the two speed statuses wins, and the second is sent anyway.
  sim::RequestFault three;
  three.status = 3;
  sim::RequestFault five;
  five.status = 5;
  Tower().SetRequestFault(TOWER_REQ_SET_TX_SPEED, three);
  Tower().SetRequestFault(TOWER_REQ_SET_RX_SPEED, five);
  QIROTOWER_SPEEDREC speed{sizeof(speed), 0, 0, TOWER_SPEED_300, TOWER_SPEED_300, 2, 0};
  QIROTOWER_SPEEDREC speedOut{};
  ASSERT_EQ(Call(IOCTL_TOWER_SET_IR_SPEED, &speed, 16, &speedOut, 16).status, STATUS_SUCCESS);
  EXPECT_EQ(speedOut.Status, 5);
  Tower().ClearRequestFaults();

  // A silent tower: the request times out, which is a success with 0 bytes.
  sim::RequestFault silent;
  silent.neverAnswer = true;
  Tower().SetRequestFault(TOWER_REQ_GET_PARM, silent);
  std::memset(&out, 0x77, sizeof(out));
  r = Call(IOCTL_TOWER_GET_LINK_MODE, nullptr, 0, &out, 12);
  EXPECT_EQ(r.status, STATUS_TIMEOUT);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(out.Size, 0x77777777u);
  EXPECT_EQ(Tower().HeldTransfers(), 1u);  // only the receive transfer
  Tower().ClearRequestFaults();

  // A stalled request fails with the stack's status.
  sim::RequestFault stall;
  stall.stall = true;
  Tower().SetRequestFault(TOWER_REQ_GET_PARM, stall);
  r = Call(IOCTL_TOWER_GET_LINK_MODE, nullptr, 0, &out, 12);
  EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(r.bytes, 0u);
}

TEST_F(ControlTest, VersionAndTexts) {
  Tower().SetVersion(3, 4, 0x0506);
  QIROTOWER_VERSION v{};
  Result r = Call(IOCTL_TOWER_GET_VERSION, nullptr, 0, &v, sizeof(v));
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 16u);
  EXPECT_EQ(v.DriverMajor, 1);
  EXPECT_EQ(v.DriverMinor, 0);
  EXPECT_EQ(v.DriverBuild, 160);
  EXPECT_EQ(v.FirmwareMajor, 3);
  EXPECT_EQ(v.FirmwareMinor, 4);
  EXPECT_EQ(v.FirmwareBuild, 0x0506);
  sim::RequestFault longer;
  longer.lengthExtra = 2;
  Tower().SetRequestFault(TOWER_REQ_GET_VERSION, longer);
  EXPECT_EQ(Call(IOCTL_TOWER_GET_VERSION, nullptr, 0, &v, sizeof(v)).status,
            STATUS_BUFFER_TOO_SMALL);
  sim::RequestFault refused;
  refused.status = 1;
  Tower().SetRequestFault(TOWER_REQ_GET_VERSION, refused);
  EXPECT_EQ(Call(IOCTL_TOWER_GET_VERSION, nullptr, 0, &v, sizeof(v)).status, STATUS_UNSUCCESSFUL);

  // Ten characters into 100 bytes: the text and its terminator, 22 bytes.
  Tower().SetCopyright(u"0123456789");
  uint8_t text[100];
  std::memset(text, 0xCC, sizeof(text));
  r = Call(IOCTL_TOWER_GET_COPYRIGHT, nullptr, 0, text, sizeof(text));
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 22u);
  EXPECT_EQ(U16(text), u'0');
  EXPECT_EQ(U16(text + 18), u'9');
  EXPECT_EQ(U16(text + 20), 0);
  EXPECT_EQ(Tower().SetupLog().back().wLength, 104);
  // Fifty characters fill all 100 bytes, with no room for a terminator.
  Tower().SetCredits(std::u16string(50, u'x'));
  r = Call(IOCTL_TOWER_GET_CREDITS, nullptr, 0, text, sizeof(text));
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 100u);
  EXPECT_EQ(U16(text + 98), u'x');
  // More than fits: the length field gives it away.
  Tower().SetCredits(std::u16string(51, u'y'));
  EXPECT_EQ(Call(IOCTL_TOWER_GET_CREDITS, nullptr, 0, text, sizeof(text)).status,
            STATUS_BUFFER_TOO_SMALL);
  // No scratch buffer, no request.
  machine_->kernel().FailNthAllocation(1);
  EXPECT_EQ(Call(IOCTL_TOWER_GET_CREDITS, nullptr, 0, text, sizeof(text)).status, STATUS_NO_MEMORY);
}

TEST_F(ControlTest, RestartCyclesThePortAndTheTowerComesBackNew) {
  TowerDevice* old = Record(1);
  ASSERT_EQ(
      machine_->io().Control(file_, IOCTL_TOWER_SET_TIMEOUTS, nullptr, 0, nullptr, 0, nullptr),
      STATUS_INVALID_PARAMETER);
  Result r = Call(IOCTL_TOWER_RESTART, nullptr, 0, nullptr, 0);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_FALSE(Flag(&old->Started));
  EXPECT_EQ(machine_->io().Close(file_), STATUS_SUCCESS);
  file_ = nullptr;
  machine_->SettlePnp();
  // A fresh record under the same number, with the defaults.
  ASSERT_NE(Record(1), nullptr);
  hk::FileObject* file = nullptr;
  ASSERT_EQ(OpenUnit(1, &file), STATUS_SUCCESS);
  EXPECT_EQ(StateWord(file), 0xF);
  EXPECT_EQ(Record(1)->Timeout_Read_1st, 200u);
  EXPECT_EQ(machine_->io().Close(file), STATUS_SUCCESS);
}

TEST_F(ControlTest, RestartWithoutARequestPacketSaysSo) {
  machine_->kernel().FailNthDriverIrp(1);
  EXPECT_EQ(Call(IOCTL_TOWER_RESTART, nullptr, 0, nullptr, 0).status,
            STATUS_INSUFFICIENT_RESOURCES);
}

// Every code that asks the tower fails the same way when memory runs out
// at any of its points: no transfer block gives STATUS_NO_MEMORY, no request
// packet STATUS_INSUFFICIENT_RESOURCES; either way 0 bytes, and nothing more
// goes to the tower after the point that failed.
TEST_F(ControlTest, EachTowerCodeFailsWithItsOwnStatusAtEachAllocationPoint) {
  struct Case {
    const char* name;
    uint32_t code;
    std::vector<uint8_t> in;
    uint32_t outLength;
    int requests;  // vendor requests the code sends
    bool scratch;  // a text code allocates its scratch buffer first
  };
  const auto rec = [](std::initializer_list<uint8_t> payload) {
    const QIROTOWER_CTLREC r = Rec(payload);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&r);
    return std::vector<uint8_t>(bytes, bytes + sizeof(r));
  };
  QIROTOWER_SPEEDREC speed{sizeof(speed), 0, 0, TOWER_SPEED_9600, TOWER_SPEED_4800, 2, 0};
  const auto* speedBytes = reinterpret_cast<const uint8_t*>(&speed);
  const std::vector<uint8_t> speedIn(speedBytes, speedBytes + sizeof(speed));
  QIROTOWER_CAPS caps{};
  caps.Size = sizeof(caps);
  const auto* capsBytes = reinterpret_cast<const uint8_t*>(&caps);
  const std::vector<uint8_t> capsIn(capsBytes, capsBytes + sizeof(caps));
  const std::vector<Case> cases = {
      {"SET_RANGE", IOCTL_TOWER_SET_RANGE, rec({TOWER_RANGE_SHORT}), 12, 1, false},
      {"GET_RANGE", IOCTL_TOWER_GET_RANGE, {}, 12, 1, false},
      {"SET_LINK_MODE", IOCTL_TOWER_SET_LINK_MODE, rec({TOWER_LINK_VLL}), 12, 1, false},
      {"GET_LINK_MODE", IOCTL_TOWER_GET_LINK_MODE, {}, 12, 1, false},
      {"GET_CAPS", IOCTL_TOWER_GET_CAPS, capsIn, 24, 1, false},
      {"GET_VERSION", IOCTL_TOWER_GET_VERSION, {}, 16, 1, false},
      {"RESET", IOCTL_TOWER_RESET, {}, 0, 1, false},
      {"GET_COPYRIGHT", IOCTL_TOWER_GET_COPYRIGHT, {}, 256, 1, true},
      {"GET_CREDITS", IOCTL_TOWER_GET_CREDITS, {}, 256, 1, true},
      {"SET_LED_MODE", IOCTL_TOWER_SET_LED_MODE, rec({1, 0, TOWER_LED_MODE_SOFTWARE, 0}), 12, 1,
       false},
      {"GET_LED_MODE", IOCTL_TOWER_GET_LED_MODE, {}, 12, 1, false},
      {"SET_LED_STATE", IOCTL_TOWER_SET_LED_STATE, rec({2, 0, 255, 0}), 12, 1, false},
      {"GET_LED_STATE", IOCTL_TOWER_GET_LED_STATE, rec({2, 0}), 12, 1, false},
      {"GET_ERROR_STATE", IOCTL_TOWER_GET_ERROR_STATE, {}, 12, 1, false},
      {"SET_ENDIANNESS", IOCTL_TOWER_SET_ENDIANNESS, rec({2, 0}), 12, 1, false},
      {"GET_ENDIANNESS", IOCTL_TOWER_GET_ENDIANNESS, {}, 12, 1, false},
      {"SET_IR_SPEED", IOCTL_TOWER_SET_IR_SPEED, speedIn, 16, 2, false},
      {"GET_IR_SPEED", IOCTL_TOWER_GET_IR_SPEED, speedIn, 16, 2, false},
      {"RESET_COMM_STATS", IOCTL_TOWER_RESET_COMM_STATS, {}, 24, 1, false},
      {"GET_COMM_STATS", IOCTL_TOWER_GET_COMM_STATS, {}, 24, 1, false},
      {"SET_CARRIER_FREQUENCY", IOCTL_TOWER_SET_CARRIER_FREQUENCY, rec({40, 0}), 12, 1, false},
      {"GET_CARRIER_FREQUENCY", IOCTL_TOWER_GET_CARRIER_FREQUENCY, {}, 12, 1, false},
      {"SET_CARRIER_DUTY_CYCLE", IOCTL_TOWER_SET_CARRIER_DUTY_CYCLE, rec({1, 0, 33, 0}), 12, 1,
       false},
      {"GET_CARRIER_DUTY_CYCLE", IOCTL_TOWER_GET_CARRIER_DUTY_CYCLE, rec({1, 0, 0, 0}), 12, 1,
       false},
      {"SET_PARM", IOCTL_TOWER_SET_PARM, rec({TOWER_PARM_RANGE, TOWER_RANGE_SHORT}), 12, 1, false},
      {"GET_PARM", IOCTL_TOWER_GET_PARM, rec({TOWER_PARM_RANGE}), 12, 1, false},
      {"SET_IRC_PARM", IOCTL_TOWER_SET_IRC_PARM, rec({TOWER_IRC_PARM_PACKET_SIZE, 32, 0x34, 0x12}),
       12, 1, false},
      {"GET_IRC_PARM", IOCTL_TOWER_GET_IRC_PARM, rec({TOWER_IRC_PARM_PACKET_SIZE}), 12, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> out(c.outLength + 1, 0xEE);
    const auto call = [&] {
      return Call(c.code, c.in.empty() ? nullptr : c.in.data(), static_cast<uint32_t>(c.in.size()),
                  c.outLength == 0 ? nullptr : out.data(), c.outLength);
    };
    // Pool allocations, in order: the scratch buffer of a text code, then
    // one transfer block per vendor request.
    const int blocks = c.requests + (c.scratch ? 1 : 0);
    for (int point = 1; point <= blocks; ++point) {
      SCOPED_TRACE("pool allocation " + std::to_string(point));
      Tower().ClearSetupLog();
      machine_->kernel().FailNthAllocation(static_cast<uint64_t>(point));
      const Result r = call();
      machine_->kernel().FailNthAllocation(0);
      EXPECT_EQ(r.status, STATUS_NO_MEMORY);
      EXPECT_EQ(r.bytes, 0u);
      const int before = point - 1 - (c.scratch ? 1 : 0);
      EXPECT_EQ(Requests(), static_cast<size_t>(before > 0 ? before : 0));
    }
    for (int point = 1; point <= c.requests; ++point) {
      SCOPED_TRACE("request packet " + std::to_string(point));
      Tower().ClearSetupLog();
      machine_->kernel().FailNthDriverIrp(static_cast<uint64_t>(point));
      const Result r = call();
      machine_->kernel().FailNthDriverIrp(0);
      EXPECT_EQ(r.status, STATUS_INSUFFICIENT_RESOURCES);
      EXPECT_EQ(r.bytes, 0u);
      EXPECT_EQ(Requests(), static_cast<size_t>(point - 1));
    }
    // Nothing was left behind: the same call goes through now.
    Tower().ClearSetupLog();
    EXPECT_EQ(call().status, STATUS_SUCCESS);
    EXPECT_EQ(Requests(), static_cast<size_t>(c.requests));
  }
}

}  // namespace
}  // namespace towertest
