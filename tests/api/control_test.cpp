// The control and status functions through the library's exports, against a
// simulated tower opened as an application opens it.
#include <chrono>
#include <cstring>
#include <thread>

#include "Tavrix.h"
#include "app_fixture.h"
#include "tower/values.h"

namespace towertest {
namespace {

class Control : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    ASSERT_NE(PlugTower(), nullptr);
    QIROTOWER_FIND* find = QIROTowerFindFirst(QIROTOWER_FIND_PRESENT);
    ASSERT_NE(find, nullptr);
    tower_ = Open(QIROTowerGetPathName(find));
    QIROTowerFindStop(find);
    ASSERT_NE(tower_, INVALID_HANDLE_VALUE);
    Tower().ClearSetupLog();
  }
  // The last request that reached the tower.
  hk::usb::SetupPacket Last() {
    const auto log = Tower().SetupLog();
    return log.empty() ? hk::usb::SetupPacket{} : log.back();
  }

  HANDLE tower_ = INVALID_HANDLE_VALUE;
};

constexpr DWORD kTowerError = QIROTOWER_ERROR_BASE;

TEST_F(Control, SettingsTravelToTheTowerAndBack) {
  ASSERT_TRUE(QIROTowerSetRange(tower_, TOWER_RANGE_SHORT));
  EXPECT_EQ(Tower().Parameter(TOWER_PARM_RANGE), TOWER_RANGE_SHORT);
  WORD word = 0;
  ASSERT_TRUE(QIROTowerGetRange(tower_, &word));
  EXPECT_EQ(word, TOWER_RANGE_SHORT);

  ASSERT_TRUE(QIROTowerSetLinkMode(tower_, TOWER_LINK_VLL));
  ASSERT_TRUE(QIROTowerGetLinkMode(tower_, &word));
  EXPECT_EQ(word, TOWER_LINK_VLL);
  ASSERT_TRUE(QIROTowerSetEndianness(tower_, TOWER_ENDIAN_BIG));
  ASSERT_TRUE(QIROTowerGetEndianness(tower_, &word));
  EXPECT_EQ(word, TOWER_ENDIAN_BIG);

  BYTE byte = 0;
  ASSERT_TRUE(QIROTowerSetLedMode(tower_, TOWER_LED_MODE_SOFTWARE));
  ASSERT_TRUE(QIROTowerGetLedMode(tower_, &byte));
  EXPECT_EQ(byte, TOWER_LED_MODE_SOFTWARE);
  ASSERT_TRUE(QIROTowerSetLedState(tower_, TOWER_LED_2, TOWER_LED_ON));
  EXPECT_EQ(Tower().Led(TOWER_LED_2), TOWER_LED_ON);
  ASSERT_TRUE(QIROTowerGetLedState(tower_, TOWER_LED_2, &byte));
  EXPECT_EQ(byte, TOWER_LED_ON);

  ASSERT_TRUE(QIROTowerSetCarrierFrequency(tower_, 38));
  ASSERT_TRUE(QIROTowerGetCarrierFrequency(tower_, &word));
  EXPECT_EQ(word, Tower().CarrierFrequency());
  ASSERT_TRUE(QIROTowerSetCarrierDutyCycle(tower_, 1, 40));
  ASSERT_TRUE(QIROTowerGetCarrierDutyCycle(tower_, 1, &word));
  EXPECT_EQ(word, Tower().DutyCycle(1).value_or(0));

  // The IRC helpers are the general call with ids 1 and 2 and index 0.
  ASSERT_TRUE(QIROTowerSetIRCTimeFrame(tower_, 20));
  EXPECT_EQ(Last().bRequest, TOWER_REQ_SET_IRC_PARM);
  EXPECT_EQ(Last().wValue, 2 | 20 << 8);
  EXPECT_EQ(Last().wIndex, 0);
  EXPECT_EQ(Tower().IrcParameter(TOWER_IRC_PARM_TIME_FRAME), 20);
  ASSERT_TRUE(QIROTowerSetIRCPacketSize(tower_, 16));
  ASSERT_TRUE(QIROTowerGetIRCPacketSize(tower_, &byte));
  EXPECT_EQ(byte, 16);
  ASSERT_TRUE(QIROTowerGetIRCTimeFrame(tower_, &byte));
  EXPECT_EQ(byte, 20);

  ASSERT_TRUE(QIROTowerSetIRSpeed(tower_, TOWER_SPEED_4800, TOWER_SPEED_19200));
  WORD tx = 0, rx = 0;
  ASSERT_TRUE(QIROTowerGetIRSpeed(tower_, &tx, &rx));
  EXPECT_EQ(tx, TOWER_SPEED_4800);
  EXPECT_EQ(rx, TOWER_SPEED_19200);
  // Null pointers are skipped, and the tower is still asked.
  const size_t before = Requests();
  EXPECT_TRUE(QIROTowerGetIRSpeed(tower_, nullptr, nullptr));
  EXPECT_EQ(Requests(), before + 2);

  // Timeouts live in the driver, in their record's order.
  ASSERT_TRUE(QIROTowerSetTimeouts(tower_, 300, 40, 7));
  DWORD first = 0, inter = 0, write = 0;
  ASSERT_TRUE(QIROTowerGetTimeouts(tower_, &first, &inter, &write));
  EXPECT_EQ(first, 300u);
  EXPECT_EQ(inter, 40u);
  EXPECT_EQ(write, 7u);
  EXPECT_TRUE(QIROTowerGetTimeouts(tower_, nullptr, nullptr, nullptr));
  EXPECT_EQ(Requests(), before + 2);  // the driver answers those itself

  // Flush 2 empties what was received and not read.
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(tower_, "abc", 3, &written, nullptr));
  // The echo comes back on the bus's own thread: it must be in before the
  // flush that is to drop it, however late a loaded machine runs.
  for (int i = 0; i < 10000 && RingCount(1) < 3; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(RingCount(1), 3);
  ASSERT_TRUE(QIROTowerFlush(tower_, TOWER_FLUSH_RX));
  ASSERT_TRUE(QIROTowerSetTimeouts(tower_, 0, 0, 200));
  char echo[4];
  DWORD read = 99;
  ASSERT_TRUE(ReadFile(tower_, echo, 3, &read, nullptr));
  EXPECT_EQ(read, 0u);
}

TEST_F(Control, ArgumentsAreCheckedInTheirOrderBeforeAnythingIsSent) {
  const HANDLE bad = INVALID_HANDLE_VALUE;
  // Value before handle for the checked settings; pointer before handle for
  // the first get functions; handle first everywhere else.
  EXPECT_FALSE(QIROTowerSetRange(bad, 0));
  EXPECT_EQ(GetLastError(), 87u);
  EXPECT_FALSE(QIROTowerSetRange(bad, 1));
  EXPECT_EQ(GetLastError(), 6u);
  EXPECT_FALSE(QIROTowerSetRange(tower_, 4));
  EXPECT_EQ(GetLastError(), 87u);
  EXPECT_FALSE(QIROTowerSetLinkMode(tower_, 5));
  EXPECT_EQ(GetLastError(), 87u);
  EXPECT_FALSE(QIROTowerSetLinkMode(tower_, 0));
  EXPECT_FALSE(QIROTowerSetEndianness(tower_, 3));
  EXPECT_EQ(GetLastError(), 87u);
  EXPECT_FALSE(QIROTowerGetRange(bad, nullptr));
  EXPECT_EQ(GetLastError(), 87u);
  EXPECT_FALSE(QIROTowerGetLedMode(bad, nullptr));
  EXPECT_EQ(GetLastError(), 87u);
  EXPECT_FALSE(QIROTowerGetErrorState(bad, nullptr));
  EXPECT_EQ(GetLastError(), 6u);
  EXPECT_FALSE(QIROTowerGetErrorState(tower_, nullptr));
  EXPECT_EQ(GetLastError(), 87u);
  EXPECT_FALSE(QIROTowerGetLedState(tower_, 1, nullptr));
  EXPECT_EQ(GetLastError(), 87u);
  EXPECT_FALSE(QIROTowerGetIRCTimeFrame(tower_, nullptr));
  EXPECT_EQ(GetLastError(), 87u);
  EXPECT_FALSE(QIROTowerGetState(tower_, nullptr));
  EXPECT_EQ(GetLastError(), 87u);
  EXPECT_FALSE(QIROTowerGetVersion(bad, nullptr));
  EXPECT_EQ(GetLastError(), 6u);
  EXPECT_FALSE(QIROTowerGetIRSpeed(bad, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), 6u);
  EXPECT_FALSE(QIROTowerReset(bad));
  EXPECT_EQ(GetLastError(), 6u);
  EXPECT_FALSE(QIROTowerGetCopyright(bad, nullptr, 4));
  EXPECT_EQ(GetLastError(), 6u);
  EXPECT_FALSE(QIROTowerGetCredits(tower_, nullptr, 4));
  EXPECT_EQ(GetLastError(), 87u);

  // Caller records too small for the reply are refused.
  QIROTOWER_COMMSTATS stats{};
  stats.Size = 16;
  EXPECT_FALSE(QIROTowerGetCommStats(tower_, &stats));
  EXPECT_EQ(GetLastError(), 122u);
  EXPECT_EQ(stats.Size, 16u);
  QIROTOWER_CAPS caps{};
  EXPECT_FALSE(QIROTowerGetCaps(tower_, 0, &caps));
  EXPECT_EQ(GetLastError(), 122u);
  EXPECT_FALSE(QIROTowerGetCaps(tower_, 0, nullptr));
  EXPECT_EQ(GetLastError(), 87u);
  EXPECT_EQ(Requests(), 0u);

  // A null handle is not the library's to test: the platform refuses it.
  WORD word = 0;
  EXPECT_FALSE(QIROTowerGetRange(nullptr, &word));
  EXPECT_EQ(GetLastError(), 6u);
}

TEST_F(Control, ATowerStatusByteBecomesTheLibrarysError) {
  sim::RequestFault seven;
  seven.status = 7;
  Tower().SetRequestFault(TOWER_REQ_RESET, seven);
  EXPECT_FALSE(QIROTowerReset(tower_));
  EXPECT_EQ(GetLastError(), kTowerError | 7);
  Tower().SetRequestFault(TOWER_REQ_GET_COMM_STATS, seven);
  QIROTOWER_COMMSTATS stats{};
  stats.Size = sizeof(stats);
  EXPECT_FALSE(QIROTowerGetCommStats(tower_, &stats));
  EXPECT_EQ(GetLastError(), kTowerError | 7);
  Tower().ClearRequestFaults();

  // 3 passes the library's check; the tower itself refuses it.
  const size_t before = Requests();
  EXPECT_FALSE(QIROTowerSetLinkMode(tower_, 3));
  EXPECT_EQ(Requests(), before + 1);
  EXPECT_EQ(GetLastError(), kTowerError | sim::kTowerErrBadValue);
  EXPECT_FALSE(QIROTowerSetIRSpeed(tower_, 0x0003, TOWER_SPEED_2400));
  EXPECT_EQ(GetLastError(), kTowerError | sim::kTowerErrBadSpeed);
  WORD word = 0;
  EXPECT_FALSE(QIROTowerGetCarrierDutyCycle(tower_, 99, &word));
  EXPECT_EQ(GetLastError(), kTowerError | sim::kTowerErrUnknownSelector);
  BYTE byte = 0xAA;
  EXPECT_FALSE(QIROTowerGetLedState(tower_, 9, &byte));
  EXPECT_EQ(GetLastError(), kTowerError | sim::kTowerErrUnknownLed);
  EXPECT_EQ(byte, 0xAA);  // outputs are written only on success

  // The version's status byte is the driver's to judge: a refused request,
  // not the library's tower error.
  Tower().SetRequestFault(TOWER_REQ_GET_VERSION, seven);
  QIROTOWER_VERSION version;
  std::memset(&version, 0x5A, sizeof(version));
  EXPECT_FALSE(QIROTowerGetVersion(tower_, &version));
  EXPECT_EQ(GetLastError(), 31u);  // STATUS_UNSUCCESSFUL
  // A failed call leaves the caller's record as it was.
  EXPECT_EQ(version.DriverMajor, 0x5A);
  EXPECT_EQ(version.FirmwareBuild, 0x5A5A);

  // A tower that does not answer: the call succeeds with no bytes, and the
  // caller reads zeros, not what its memory held before.
  Tower().ClearRequestFaults();
  sim::RequestFault silent;
  silent.neverAnswer = true;
  Tower().SetRequestFault(TOWER_REQ_GET_VERSION, silent);
  std::memset(&version, 0x5A, sizeof(version));
  EXPECT_TRUE(QIROTowerGetVersion(tower_, &version));
  EXPECT_EQ(version.DriverMajor, 0);
  EXPECT_EQ(version.FirmwareBuild, 0);
  Tower().ClearRequestFaults();
}

TEST_F(Control, RecordsComeBackWhole) {
  Tower().SetVersion(3, 4, 0x0506);
  QIROTOWER_VERSION version{};
  ASSERT_TRUE(QIROTowerGetVersion(tower_, &version));
  EXPECT_EQ(version.DriverMajor, 1);
  EXPECT_EQ(version.DriverMinor, 0);
  EXPECT_EQ(version.DriverBuild, 160);
  EXPECT_EQ(version.FirmwareMajor, 3);
  EXPECT_EQ(version.FirmwareMinor, 4);
  EXPECT_EQ(version.FirmwareBuild, 0x0506);

  QIROTOWER_CAPS caps;
  std::memset(&caps, 0xEE, sizeof(caps));
  caps.Size = 100;
  ASSERT_TRUE(QIROTowerGetCaps(tower_, sim::kCapsLink, &caps));
  EXPECT_EQ(caps.Size, 24u);
  EXPECT_EQ(caps.Status, 0);
  EXPECT_EQ(caps.Selector, sim::kCapsLink);
  EXPECT_EQ(caps.Reply4, TOWER_LINK_VLL | TOWER_LINK_IR | TOWER_LINK_IRC);

  DWORD written = 0;
  ASSERT_TRUE(WriteFile(tower_, "hello", 5, &written, nullptr));
  QIROTOWER_COMMSTATS stats;
  std::memset(&stats, 0xEE, sizeof(stats));
  stats.Size = sizeof(stats);
  ASSERT_TRUE(QIROTowerGetCommStats(tower_, &stats));
  EXPECT_EQ(stats.Size, 24u);
  EXPECT_EQ(stats.Counter1, Tower().Stats().transmitted & 0xFFFF);
  EXPECT_GE(stats.Counter1, 5u);
  ASSERT_TRUE(QIROTowerResetCommStats(tower_));
  ASSERT_TRUE(QIROTowerGetCommStats(tower_, &stats));
  EXPECT_EQ(stats.Counter1, 0u);

  WORD state = 0xFFFF;
  ASSERT_TRUE(QIROTowerGetState(tower_, &state));
  EXPECT_EQ(state, TOWER_STATE_WORKING);
  ASSERT_TRUE(QIROTowerGetErrorState(tower_, &state));
  ASSERT_TRUE(QIROTowerReset(tower_));
}

TEST_F(Control, TextsAreCutToTheCallersBuffer) {
  Tower().SetCopyright(u"(C) Tower");
  Tower().SetCredits(u"Made by the link team");
  char text[64];
  std::memset(text, 'x', sizeof(text));
  ASSERT_TRUE(QIROTowerGetCopyright(tower_, text, sizeof(text)));
  EXPECT_STREQ(text, "(C) Tower");
  EXPECT_EQ(text[sizeof(text) - 1], '\0');  // the whole buffer was cleared
  // A buffer one character short: the driver hands over the text without
  // its terminator, and the library keeps the terminator inside the buffer.
  const std::string credits = "Made by the link team";
  std::memset(text, 'x', sizeof(text));
  ASSERT_TRUE(QIROTowerGetCredits(tower_, text, static_cast<DWORD>(credits.size())));
  EXPECT_EQ(std::string(text), credits.substr(0, credits.size() - 1));
  ASSERT_TRUE(QIROTowerGetCredits(tower_, text, static_cast<DWORD>(credits.size() + 1)));
  EXPECT_EQ(std::string(text), credits);
  // Shorter still, the tower's reply does not fit the driver's request.
  std::memset(text, 'x', sizeof(text));
  EXPECT_FALSE(QIROTowerGetCredits(tower_, text, 8));
  EXPECT_EQ(GetLastError(), 122u);  // STATUS_BUFFER_TOO_SMALL
  EXPECT_EQ(std::string(text, 8), std::string(8, '\0'));
  EXPECT_EQ(text[8], 'x');
  // A character the C locale cannot show ends the text after what came
  // before it.
  Tower().SetCopyright(u"Tower \u263A 2026");
  std::memset(text, 'x', sizeof(text));
  ASSERT_TRUE(QIROTowerGetCopyright(tower_, text, sizeof(text)));
  EXPECT_STREQ(text, "Tower ");
  // Size 1 yields an empty text.
  std::memset(text, 'x', sizeof(text));
  EXPECT_FALSE(QIROTowerGetCopyright(tower_, text, 1));
  EXPECT_EQ(text[0], '\0');
  EXPECT_EQ(text[1], 'x');
  // A refused text request still clears the buffer first.
  sim::RequestFault seven;
  seven.status = 7;
  Tower().SetRequestFault(TOWER_REQ_GET_CREDITS, seven);
  std::memset(text, 'x', sizeof(text));
  EXPECT_FALSE(QIROTowerGetCredits(tower_, text, 10));
  EXPECT_EQ(GetLastError(), 31u);
  EXPECT_EQ(std::string(text, 10), std::string(10, '\0'));
}

TEST_F(Control, ARefusedCallCarriesTheTranslatedStatus) {
  // The tower resets its endpoints: the receive transfer stops, and every
  // request but the state is refused with STATUS_DEVICE_NOT_READY.
  Tower().SetConfiguration(1);
  WORD state = 0;
  for (int i = 0; i < 500; ++i) {
    ASSERT_TRUE(QIROTowerGetState(tower_, &state));
    if (state != TOWER_STATE_WORKING) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(state, TOWER_STATE_PRESENT | TOWER_STATE_STARTED | TOWER_STATE_OPEN);
  EXPECT_FALSE(QIROTowerSetRange(tower_, TOWER_RANGE_LONG));
  EXPECT_EQ(GetLastError(), 21u);  // ERROR_NOT_READY
  DWORD first = 1;
  EXPECT_FALSE(QIROTowerGetTimeouts(tower_, &first, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), 21u);
  EXPECT_EQ(first, 1u);
  char text[8] = "xxxxxxx";
  EXPECT_FALSE(QIROTowerGetCopyright(tower_, text, sizeof(text)));
  EXPECT_EQ(GetLastError(), 21u);
  EXPECT_EQ(text[0], '\0');
}

TEST_F(Control, ATowerThatDoesNotAnswerLeavesZeroesAndSuccess) {
  // Each unanswered request costs the driver its 200 ms limit.
  sim::RequestFault silent;
  silent.neverAnswer = true;
  Tower().SetDefaultRequestFault(silent);
  EXPECT_TRUE(QIROTowerSetRange(tower_, TOWER_RANGE_MEDIUM));
  WORD word = 0xFFFF;
  EXPECT_TRUE(QIROTowerGetRange(tower_, &word));
  EXPECT_EQ(word, 0);
  // Functions that check the byte count fail and leave the last error alone.
  SetLastError(4242);
  EXPECT_FALSE(QIROTowerGetCarrierFrequency(tower_, &word));
  EXPECT_EQ(GetLastError(), 4242u);
  // The driver's own values still come back.
  DWORD first = 0;
  EXPECT_TRUE(QIROTowerGetTimeouts(tower_, &first, nullptr, nullptr));
  EXPECT_NE(first, 0u);
}

}  // namespace
}  // namespace towertest
