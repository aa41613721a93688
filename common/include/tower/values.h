// What the tower's firmware understands: vendor requests, parameters and
// their values.
#pragma once

#include <stdint.h>

namespace tower {

// Setup packet request type of every vendor request: device-to-host, vendor,
// device recipient.
inline constexpr uint8_t kVendorRequestType = 0xC0;

// Vendor requests (bRequest).
inline constexpr uint8_t TOWER_REQ_GET_PARM = 0x01;
inline constexpr uint8_t TOWER_REQ_SET_PARM = 0x02;
inline constexpr uint8_t TOWER_REQ_WRITE_ERROR = 0x03;
inline constexpr uint8_t TOWER_REQ_RESET = 0x04;
inline constexpr uint8_t TOWER_REQ_GET_COMM_STATS = 0x05;
inline constexpr uint8_t TOWER_REQ_GET_LED = 0x08;
inline constexpr uint8_t TOWER_REQ_SET_LED = 0x09;
inline constexpr uint8_t TOWER_REQ_RESET_COMM_STATS = 0x10;
inline constexpr uint8_t TOWER_REQ_GET_IRC_PARM = 0x11;
inline constexpr uint8_t TOWER_REQ_SET_IRC_PARM = 0x12;
inline constexpr uint8_t TOWER_REQ_GET_TX_SPEED = 0xEE;
inline constexpr uint8_t TOWER_REQ_SET_TX_SPEED = 0xEF;
inline constexpr uint8_t TOWER_REQ_GET_RX_SPEED = 0xF0;
inline constexpr uint8_t TOWER_REQ_SET_RX_SPEED = 0xF1;
inline constexpr uint8_t TOWER_REQ_GET_CARRIER_FREQUENCY = 0xF3;
inline constexpr uint8_t TOWER_REQ_SET_CARRIER_FREQUENCY = 0xF4;
inline constexpr uint8_t TOWER_REQ_GET_CARRIER_DUTY_CYCLE = 0xF5;
inline constexpr uint8_t TOWER_REQ_SET_CARRIER_DUTY_CYCLE = 0xF6;
inline constexpr uint8_t TOWER_REQ_GET_CAPS = 0xFC;
inline constexpr uint8_t TOWER_REQ_GET_VERSION = 0xFD;
inline constexpr uint8_t TOWER_REQ_GET_COPYRIGHT = 0xFE;
inline constexpr uint8_t TOWER_REQ_GET_CREDITS = 0xFF;

// Reply lengths (wLength) the driver asks for.
inline constexpr uint16_t kReplyParm = 4;
inline constexpr uint16_t kReplyCommStats = 12;
inline constexpr uint16_t kReplyLed = 6;
inline constexpr uint16_t kReplySpeed = 6;
inline constexpr uint16_t kReplyCarrierFrequency = 6;
inline constexpr uint16_t kReplyDutyCycle = 8;
inline constexpr uint16_t kReplyCaps = 18;
inline constexpr uint16_t kReplyVersion = 8;
inline constexpr uint16_t kReplyTextHeader = 4;

// The reply records themselves are declared in tower/replies.h.

// Tower parameters (requests 0x01, 0x02).
inline constexpr uint8_t TOWER_PARM_LINK_MODE = 1;
inline constexpr uint8_t TOWER_PARM_RANGE = 2;
inline constexpr uint8_t TOWER_PARM_ERROR_STATE = 4;
inline constexpr uint8_t TOWER_PARM_ENDIANNESS = 0x97;
inline constexpr uint8_t TOWER_PARM_LED_MODE = 0x98;

// IRC parameters (requests 0x11, 0x12).
inline constexpr uint8_t TOWER_IRC_PARM_PACKET_SIZE = 1;
inline constexpr uint8_t TOWER_IRC_PARM_TIME_FRAME = 2;

// Link modes.
inline constexpr uint8_t TOWER_LINK_VLL = 1;
inline constexpr uint8_t TOWER_LINK_IR = 2;
inline constexpr uint8_t TOWER_LINK_IRC = 4;

// Ranges.
inline constexpr uint8_t TOWER_RANGE_SHORT = 1;
inline constexpr uint8_t TOWER_RANGE_MEDIUM = 2;
inline constexpr uint8_t TOWER_RANGE_LONG = 3;

// Endianness.
inline constexpr uint8_t TOWER_ENDIAN_LITTLE = 1;
inline constexpr uint8_t TOWER_ENDIAN_BIG = 2;

// LED modes, ids and states.
inline constexpr uint8_t TOWER_LED_MODE_HARDWARE = 1;
inline constexpr uint8_t TOWER_LED_MODE_SOFTWARE = 2;
inline constexpr uint8_t TOWER_LED_1 = 1;
inline constexpr uint8_t TOWER_LED_2 = 2;
inline constexpr uint8_t TOWER_LED_OFF = 0;
inline constexpr uint8_t TOWER_LED_ON = 255;

// IR speed codes, one bit each.
inline constexpr uint16_t TOWER_SPEED_300 = 0x0001;
inline constexpr uint16_t TOWER_SPEED_600 = 0x0002;
inline constexpr uint16_t TOWER_SPEED_1200 = 0x0004;
inline constexpr uint16_t TOWER_SPEED_2400 = 0x0008;
inline constexpr uint16_t TOWER_SPEED_4800 = 0x0010;
inline constexpr uint16_t TOWER_SPEED_9600 = 0x0020;
inline constexpr uint16_t TOWER_SPEED_19200 = 0x0040;
inline constexpr uint16_t TOWER_SPEED_38400 = 0x0080;

// Bits per second for a speed code, 0 for anything that is not one code.
constexpr uint32_t SpeedCodeToBitRate(uint16_t code) {
  uint32_t rate = 300;
  for (uint16_t bit = 1; bit <= TOWER_SPEED_38400; bit = static_cast<uint16_t>(bit << 1)) {
    if (code == bit) return rate;
    rate *= 2;
  }
  return 0;
}

// Flush bits.
inline constexpr uint16_t TOWER_FLUSH_TX = 1;
inline constexpr uint16_t TOWER_FLUSH_RX = 2;

// USB binding: configuration 1, or 2 for high power; interface 0, alternate
// setting 0; one IN and one OUT endpoint.
inline constexpr uint8_t kConfigurationNormal = 1;
inline constexpr uint8_t kConfigurationHighPower = 2;
inline constexpr uint8_t kTowerInterface = 0;
inline constexpr uint8_t kTowerAltSetting = 0;
inline constexpr uint8_t kEndpointIn = 0x81;
inline constexpr uint8_t kEndpointOut = 0x02;
inline constexpr uint32_t kReceivePacket = 8;

}  // namespace tower
