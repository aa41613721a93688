#include "sim/firmware.h"

namespace sim {

namespace {

using namespace tower;

void PutU16(std::vector<uint8_t>& reply, size_t at, uint16_t value) {
  reply[at] = static_cast<uint8_t>(value);
  reply[at + 1] = static_cast<uint8_t>(value >> 8);
}

std::vector<uint8_t> Reply(size_t size, uint8_t status, uint8_t value) {
  std::vector<uint8_t> reply(size, 0);
  PutU16(reply, 0, static_cast<uint16_t>(size));
  reply[2] = status;
  reply[3] = value;
  return reply;
}

std::vector<uint8_t> TextReply(const std::u16string& text) {
  std::vector<uint8_t> reply = Reply(kReplyTextHeader + 2 * text.size(), kTowerOk, 0);
  for (size_t i = 0; i < text.size(); ++i) PutU16(reply, kReplyTextHeader + 2 * i, text[i]);
  return reply;
}

uint8_t Low(uint16_t v) { return static_cast<uint8_t>(v); }
uint8_t High(uint16_t v) { return static_cast<uint8_t>(v >> 8); }

bool ValidLinkMode(uint8_t v) {
  return v == TOWER_LINK_VLL || v == TOWER_LINK_IR || v == TOWER_LINK_IRC;
}

}  // namespace

std::optional<std::vector<uint8_t>> Firmware::Handle(const hk::usb::SetupPacket& setup) {
  const uint16_t wValue = setup.wValue;
  Settings& s = settings;

  // A tower parameter by id: where it lives and what the tower takes.
  struct Parm {
    uint8_t* slot;
    bool (*valid)(uint8_t);
  };
  auto parm = [&](uint16_t id) -> std::optional<Parm> {
    switch (id) {
      case TOWER_PARM_LINK_MODE:
        return Parm{&s.linkMode, ValidLinkMode};
      case TOWER_PARM_RANGE:
        return Parm{&s.range,
                    [](uint8_t v) { return v >= TOWER_RANGE_SHORT && v <= TOWER_RANGE_LONG; }};
      case TOWER_PARM_ERROR_STATE:
        return Parm{&errorState, nullptr};
      case TOWER_PARM_ENDIANNESS:
        return Parm{&s.endianness,
                    [](uint8_t v) { return v == TOWER_ENDIAN_LITTLE || v == TOWER_ENDIAN_BIG; }};
      case TOWER_PARM_LED_MODE:
        return Parm{&s.ledMode, [](uint8_t v) {
                      return v == TOWER_LED_MODE_HARDWARE || v == TOWER_LED_MODE_SOFTWARE;
                    }};
      default:
        return std::nullopt;
    }
  };
  auto ircParm = [&](uint16_t id) -> std::optional<Parm> {
    switch (id) {
      case TOWER_IRC_PARM_PACKET_SIZE:
        return Parm{&s.ircPacketSize, [](uint8_t v) { return v >= 1 && v <= kIrcMaxPacketSize; }};
      case TOWER_IRC_PARM_TIME_FRAME:
        return Parm{&s.ircTimeFrame, [](uint8_t v) { return v != 0; }};
      default:
        return std::nullopt;
    }
  };
  // SET_PARM and SET_IRC_PARM: the value goes in only when the tower takes it;
  // the reply always carries the value in force afterwards.
  auto setParm = [&](std::optional<Parm> p) {
    if (!p) return Reply(kReplyParm, kTowerErrUnknownParameter, 0);
    if (!p->valid) return Reply(kReplyParm, kTowerErrReadOnly, *p->slot);
    if (!p->valid(High(wValue))) return Reply(kReplyParm, kTowerErrBadValue, *p->slot);
    *p->slot = High(wValue);
    return Reply(kReplyParm, kTowerOk, *p->slot);
  };
  auto getParm = [&](std::optional<Parm> p) {
    if (!p) return Reply(kReplyParm, kTowerErrUnknownParameter, 0);
    return Reply(kReplyParm, kTowerOk, *p->slot);
  };
  auto ledReply = [&](uint8_t id, bool set) {
    std::vector<uint8_t> reply = Reply(kReplyLed, kTowerOk, 0);
    reply[4] = id;
    if (id != TOWER_LED_1 && id != TOWER_LED_2) {
      reply[2] = kTowerErrUnknownLed;
      return reply;
    }
    uint8_t& led = s.leds[id - TOWER_LED_1];
    if (set) led = High(wValue);
    reply[5] = led;
    return reply;
  };
  auto speedReply = [&](uint16_t& speed, bool set) {
    std::vector<uint8_t> reply = Reply(kReplySpeed, kTowerOk, 0);
    if (set) {
      if (SpeedCodeToBitRate(wValue) != 0)
        speed = wValue;
      else
        reply[2] = kTowerErrBadSpeed;
    }
    PutU16(reply, 4, speed);
    return reply;
  };
  auto dutyReply = [&](bool set) {
    std::vector<uint8_t> reply = Reply(kReplyDutyCycle, kTowerOk, 0);
    reply[4] = Low(setup.wIndex);
    if (setup.wIndex >= kDutyCycleSelectors) {
      reply[2] = kTowerErrUnknownSelector;
      return reply;
    }
    uint16_t& duty = s.dutyCycle[setup.wIndex];
    if (set) duty = wValue;
    PutU16(reply, 6, duty);
    return reply;
  };

  switch (setup.bRequest) {
    case TOWER_REQ_GET_PARM:
      return getParm(parm(wValue));
    case TOWER_REQ_SET_PARM:
      return setParm(parm(Low(wValue)));
    case TOWER_REQ_GET_IRC_PARM:
      return getParm(ircParm(wValue));
    case TOWER_REQ_SET_IRC_PARM:
      return setParm(ircParm(Low(wValue)));
    case TOWER_REQ_WRITE_ERROR:
      ++writeErrors;
      return Reply(kReplyParm, kTowerOk, 0);
    case TOWER_REQ_RESET:
      FactoryReset();
      return Reply(kReplyParm, kTowerOk, 0);
    case TOWER_REQ_GET_COMM_STATS: {
      std::vector<uint8_t> reply = Reply(kReplyCommStats, kTowerOk, 0);
      PutU16(reply, 4, static_cast<uint16_t>(stats.transmitted));
      PutU16(reply, 6, static_cast<uint16_t>(stats.received));
      PutU16(reply, 8, static_cast<uint16_t>(stats.delivered));
      PutU16(reply, 10, static_cast<uint16_t>(stats.errors));
      return reply;
    }
    case TOWER_REQ_RESET_COMM_STATS:
      stats = CommStats{};
      return Reply(kReplyParm, kTowerOk, 0);
    case TOWER_REQ_GET_LED:
      return ledReply(Low(wValue), false);
    case TOWER_REQ_SET_LED:
      return ledReply(Low(wValue), true);
    case TOWER_REQ_GET_TX_SPEED:
      return speedReply(s.txSpeed, false);
    case TOWER_REQ_SET_TX_SPEED:
      return speedReply(s.txSpeed, true);
    case TOWER_REQ_GET_RX_SPEED:
      return speedReply(s.rxSpeed, false);
    case TOWER_REQ_SET_RX_SPEED:
      return speedReply(s.rxSpeed, true);
    case TOWER_REQ_SET_CARRIER_FREQUENCY:
      s.carrierFrequency = wValue;
      [[fallthrough]];
    case TOWER_REQ_GET_CARRIER_FREQUENCY: {
      std::vector<uint8_t> reply = Reply(kReplyCarrierFrequency, kTowerOk, 0);
      reply[4] = Low(s.carrierFrequency);
      return reply;
    }
    case TOWER_REQ_GET_CARRIER_DUTY_CYCLE:
      return dutyReply(false);
    case TOWER_REQ_SET_CARRIER_DUTY_CYCLE:
      return dutyReply(true);
    case TOWER_REQ_GET_CAPS: {
      std::vector<uint8_t> reply = Reply(kReplyCaps, kTowerOk, 0);
      if (wValue == kCapsLink) {
        reply[4] = TOWER_LINK_VLL | TOWER_LINK_IR | TOWER_LINK_IRC;  // link modes
        reply[5] = 0x07;                                             // ranges 1..3, bit r-1
        PutU16(reply, 6, 0x00FF);                                    // transmit speed codes
        PutU16(reply, 8, 0x00FF);                                    // receive speed codes
        reply[10] = static_cast<uint8_t>(kReceivePacket);            // IN packet
        reply[11] = 8;                                               // OUT packet
        PutU16(reply, 12, receiveCapacity);                          // receive queue, bytes
        PutU16(reply, 14, kIrcMaxPacketSize);
        reply[16] = static_cast<uint8_t>(s.leds.size());
        reply[17] = kDutyCycleSelectors;
      } else if (wValue == kCapsPower) {
        const Settings factory;
        reply[4] = 2;           // configurations
        reply[5] = 0x80;        // bus powered
        PutU16(reply, 6, 100);  // mA, configuration 1
        PutU16(reply, 8, 500);  // mA, configuration 2
        reply[10] = Low(factory.carrierFrequency);
        reply[11] = Low(factory.dutyCycle[0]);
        PutU16(reply, 12, factory.txSpeed);
        PutU16(reply, 14, factory.rxSpeed);
        reply[16] = identity.major;
        reply[17] = identity.minor;
      } else {
        reply[2] = kTowerErrUnknownSelector;
      }
      return reply;
    }
    case TOWER_REQ_GET_VERSION: {
      std::vector<uint8_t> reply = Reply(kReplyVersion, kTowerOk, 0);
      reply[4] = identity.major;
      reply[5] = identity.minor;
      PutU16(reply, 6, identity.build);
      return reply;
    }
    case TOWER_REQ_GET_COPYRIGHT:
      return TextReply(identity.copyright);
    case TOWER_REQ_GET_CREDITS:
      return TextReply(identity.credits);
    default:
      return std::nullopt;
  }
}

}  // namespace sim
