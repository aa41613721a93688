// The names, codes and values that both sides of the driver boundary share.
#include <gtest/gtest.h>

#include <string>

#include "tower/ids.h"
#include "tower/ioctl.h"
#include "tower/names.h"
#include "tower/ntstatus.h"
#include "tower/values.h"

namespace {

using namespace tower;

std::string Narrow(const char16_t* text) {
  std::string out;
  for (; *text != 0; ++text) out += static_cast<char>(*text);
  return out;
}

TEST(Names, BuiltFromTheUnitNumberInDecimal) {
  char16_t buffer[kMaxNameChars];
  ASSERT_GT(FormatDeviceName(1, buffer, kMaxNameChars), 0u);
  EXPECT_EQ(Narrow(buffer), "\\Device\\QIROUSBTowerDevice1");
  ASSERT_GT(FormatLinkName(31, false, buffer, kMaxNameChars), 0u);
  EXPECT_EQ(Narrow(buffer), "\\??\\QIROTOWER31");
  ASSERT_GT(FormatLinkName(10, true, buffer, kMaxNameChars), 0u);
  EXPECT_EQ(Narrow(buffer), "\\DosDevices\\QIROTOWER10");
  char path[kMaxNameChars];
  ASSERT_GT(FormatUserPath(7, path, kMaxNameChars), 0u);
  EXPECT_EQ(std::string(path), "\\\\.\\QIROTOWER7");
}

TEST(Names, TooSmallABufferGetsNothingHalfWritten) {
  char16_t buffer[16];
  EXPECT_EQ(FormatDeviceName(1, buffer, 16), 0u);
  char path[16];  // "\\.\QIROTOWER12" needs 15 characters and a terminator
  EXPECT_EQ(FormatUserPath(12, path, 15), 0u);
  EXPECT_EQ(FormatUserPath(12, path, 16), 15u);
}

TEST(Codes, FunctionsMapOntoBufferedUnknownDeviceCodes) {
  EXPECT_EQ(IOCTL_TOWER_GET_RANGE, 0x222004u);
  EXPECT_EQ(IOCTL_TOWER_GET_TIMEOUTS, 0x222020u);
  EXPECT_EQ(IOCTL_TOWER_GET_COPYRIGHT, 0x222034u);
  EXPECT_EQ(IOCTL_TOWER_GET_ERROR_STATE, 0x222050u);
  EXPECT_EQ(IOCTL_TOWER_GET_CARRIER_DUTY_CYCLE, 0x222078u);
  EXPECT_EQ(IOCTL_TOWER_GET_IRC_PARM, 0x22208Cu);
}

TEST(Values, StatusClassesAndSpeedCodes) {
  EXPECT_TRUE(NtSuccess(STATUS_TIMEOUT));
  EXPECT_FALSE(NtError(STATUS_TIMEOUT));
  EXPECT_FALSE(NtSuccess(STATUS_DEVICE_BUSY));
  EXPECT_FALSE(NtError(STATUS_DEVICE_BUSY));  // a warning, not an error
  EXPECT_TRUE(NtError(STATUS_DEVICE_NOT_READY));
  EXPECT_EQ(SpeedCodeToBitRate(TOWER_SPEED_300), 300u);
  EXPECT_EQ(SpeedCodeToBitRate(TOWER_SPEED_38400), 38400u);
  EXPECT_EQ(SpeedCodeToBitRate(0x0003), 0u);
  EXPECT_EQ(GUID_DEVINTERFACE_TOWER.Data1, 0xDA12761Au);
  EXPECT_EQ(kPoolTag, static_cast<uint32_t>('W' | 'd' << 8 | 'm' << 16 | ' ' << 24));
}

}  // namespace
