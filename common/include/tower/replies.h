// The tower's reply records, as its firmware sends them on endpoint 0 and the
// driver reads them: a common header, then the payload of each request.
// Little-endian; one declaration for the driver and the simulated tower.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "tower/values.h"

namespace tower {

#pragma pack(push, 1)

struct TOWER_REPLY {
  uint16_t Length;  // of the whole reply the tower has to send, header included
  uint8_t Status;   // 0: carried out; otherwise the tower's error code
  uint8_t Value;    // parameter requests: the parameter's value now
};

// GET_PARM, SET_PARM, the IRC parameters, WRITE_ERROR, RESET, RESET_COMM_STATS.
using TOWER_REPLY_PARM = TOWER_REPLY;

struct TOWER_REPLY_COMM_STATS {
  TOWER_REPLY Header;
  uint16_t Counters[4];
};

struct TOWER_REPLY_LED {
  TOWER_REPLY Header;
  uint8_t Led;
  uint8_t State;
};

struct TOWER_REPLY_SPEED {  // transmit or receive
  TOWER_REPLY Header;
  uint16_t Speed;
};

struct TOWER_REPLY_CARRIER_FREQUENCY {
  TOWER_REPLY Header;
  uint8_t Frequency;
  uint8_t Unused;
};

struct TOWER_REPLY_DUTY_CYCLE {
  TOWER_REPLY Header;
  uint8_t Selector;
  uint8_t Unused;
  uint16_t DutyCycle;
};

// The capability fields are the tower's own; the driver passes them on.
struct TOWER_REPLY_CAPS {
  TOWER_REPLY Header;
  uint8_t Byte4;
  uint8_t Byte5;
  uint16_t Word6;
  uint16_t Word8;
  uint8_t Byte10;
  uint8_t Byte11;
  uint16_t Word12;
  uint16_t Word14;
  uint8_t Byte16;  // not passed on by the driver
  uint8_t Byte17;
};

struct TOWER_REPLY_VERSION {
  TOWER_REPLY Header;
  uint8_t Major;
  uint8_t Minor;
  uint16_t Build;
};

#pragma pack(pop)

#define TOWER_REPLY_LAYOUT(type, field, offset) \
  static_assert(offsetof(type, field) == (offset), #type "." #field)
static_assert(sizeof(TOWER_REPLY) == 4);
TOWER_REPLY_LAYOUT(TOWER_REPLY, Status, 2);
TOWER_REPLY_LAYOUT(TOWER_REPLY, Value, 3);
static_assert(sizeof(TOWER_REPLY_COMM_STATS) == 12);
TOWER_REPLY_LAYOUT(TOWER_REPLY_COMM_STATS, Counters, 4);
static_assert(sizeof(TOWER_REPLY_LED) == 6);
TOWER_REPLY_LAYOUT(TOWER_REPLY_LED, Led, 4);
TOWER_REPLY_LAYOUT(TOWER_REPLY_LED, State, 5);
static_assert(sizeof(TOWER_REPLY_SPEED) == 6);
TOWER_REPLY_LAYOUT(TOWER_REPLY_SPEED, Speed, 4);
static_assert(sizeof(TOWER_REPLY_CARRIER_FREQUENCY) == 6);
TOWER_REPLY_LAYOUT(TOWER_REPLY_CARRIER_FREQUENCY, Frequency, 4);
static_assert(sizeof(TOWER_REPLY_DUTY_CYCLE) == 8);
TOWER_REPLY_LAYOUT(TOWER_REPLY_DUTY_CYCLE, Selector, 4);
TOWER_REPLY_LAYOUT(TOWER_REPLY_DUTY_CYCLE, DutyCycle, 6);
static_assert(sizeof(TOWER_REPLY_CAPS) == 18);
TOWER_REPLY_LAYOUT(TOWER_REPLY_CAPS, Byte4, 4);
TOWER_REPLY_LAYOUT(TOWER_REPLY_CAPS, Word6, 6);
TOWER_REPLY_LAYOUT(TOWER_REPLY_CAPS, Word8, 8);
TOWER_REPLY_LAYOUT(TOWER_REPLY_CAPS, Byte10, 10);
TOWER_REPLY_LAYOUT(TOWER_REPLY_CAPS, Word12, 12);
TOWER_REPLY_LAYOUT(TOWER_REPLY_CAPS, Word14, 14);
static_assert(sizeof(TOWER_REPLY_VERSION) == 8);
TOWER_REPLY_LAYOUT(TOWER_REPLY_VERSION, Major, 4);
TOWER_REPLY_LAYOUT(TOWER_REPLY_VERSION, Build, 6);
#undef TOWER_REPLY_LAYOUT

// The lengths the driver asks for are the records' own.
static_assert(kReplyParm == sizeof(TOWER_REPLY_PARM));
static_assert(kReplyCommStats == sizeof(TOWER_REPLY_COMM_STATS));
static_assert(kReplyLed == sizeof(TOWER_REPLY_LED));
static_assert(kReplySpeed == sizeof(TOWER_REPLY_SPEED));
static_assert(kReplyCarrierFrequency == sizeof(TOWER_REPLY_CARRIER_FREQUENCY));
static_assert(kReplyDutyCycle == sizeof(TOWER_REPLY_DUTY_CYCLE));
static_assert(kReplyCaps == sizeof(TOWER_REPLY_CAPS));
static_assert(kReplyVersion == sizeof(TOWER_REPLY_VERSION));
static_assert(kReplyTextHeader == sizeof(TOWER_REPLY));

}  // namespace tower
