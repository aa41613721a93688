#include "sim/firmware.h"

#include "tower/replies.h"

namespace sim {

namespace {

using namespace tower;

// A reply record of the request's type, its header filled in: the length is
// the record's own, the status and value as given.
template <typename Record>
Record Make(uint8_t status, uint8_t value = 0) {
  Record record{};
  TOWER_REPLY* header = reinterpret_cast<TOWER_REPLY*>(&record);
  header->Length = sizeof(Record);
  header->Status = status;
  header->Value = value;
  return record;
}

template <typename Record>
std::vector<uint8_t> Bytes(const Record& record) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
  return std::vector<uint8_t>(bytes, bytes + sizeof(record));
}

std::vector<uint8_t> Reply(uint8_t status, uint8_t value) {
  return Bytes(Make<TOWER_REPLY_PARM>(status, value));
}

// UTF-16LE text after the header; the length counts header and text.
std::vector<uint8_t> TextReply(const std::u16string& text) {
  TOWER_REPLY header{};
  header.Length = static_cast<uint16_t>(sizeof(header) + 2 * text.size());
  header.Status = kTowerOk;
  std::vector<uint8_t> reply = Bytes(header);
  for (char16_t c : text) {
    reply.push_back(static_cast<uint8_t>(c));
    reply.push_back(static_cast<uint8_t>(c >> 8));
  }
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
    if (!p) return Reply(kTowerErrUnknownParameter, 0);
    if (!p->valid) return Reply(kTowerErrReadOnly, *p->slot);
    if (!p->valid(High(wValue))) return Reply(kTowerErrBadValue, *p->slot);
    *p->slot = High(wValue);
    return Reply(kTowerOk, *p->slot);
  };
  auto getParm = [&](std::optional<Parm> p) {
    if (!p) return Reply(kTowerErrUnknownParameter, 0);
    return Reply(kTowerOk, *p->slot);
  };
  auto ledReply = [&](uint8_t id, bool set) {
    auto reply = Make<TOWER_REPLY_LED>(kTowerOk);
    reply.Led = id;
    if (id != TOWER_LED_1 && id != TOWER_LED_2) {
      reply.Header.Status = kTowerErrUnknownLed;
      return Bytes(reply);
    }
    uint8_t& led = s.leds[id - TOWER_LED_1];
    if (set) led = High(wValue);
    reply.State = led;
    return Bytes(reply);
  };
  auto speedReply = [&](uint16_t& speed, bool set) {
    auto reply = Make<TOWER_REPLY_SPEED>(kTowerOk);
    if (set) {
      if (SpeedCodeToBitRate(wValue) != 0)
        speed = wValue;
      else
        reply.Header.Status = kTowerErrBadSpeed;
    }
    reply.Speed = speed;
    return Bytes(reply);
  };
  auto dutyReply = [&](bool set) {
    auto reply = Make<TOWER_REPLY_DUTY_CYCLE>(kTowerOk);
    reply.Selector = Low(setup.wIndex);
    if (setup.wIndex >= kDutyCycleSelectors) {
      reply.Header.Status = kTowerErrUnknownSelector;
      return Bytes(reply);
    }
    uint16_t& duty = s.dutyCycle[setup.wIndex];
    if (set) duty = wValue;
    reply.DutyCycle = duty;
    return Bytes(reply);
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
      return Reply(kTowerOk, 0);
    case TOWER_REQ_RESET:
      FactoryReset();
      return Reply(kTowerOk, 0);
    case TOWER_REQ_GET_COMM_STATS: {
      auto reply = Make<TOWER_REPLY_COMM_STATS>(kTowerOk);
      reply.Counters[0] = static_cast<uint16_t>(stats.transmitted);
      reply.Counters[1] = static_cast<uint16_t>(stats.received);
      reply.Counters[2] = static_cast<uint16_t>(stats.delivered);
      reply.Counters[3] = static_cast<uint16_t>(stats.errors);
      return Bytes(reply);
    }
    case TOWER_REQ_RESET_COMM_STATS:
      stats = CommStats{};
      return Reply(kTowerOk, 0);
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
      auto reply = Make<TOWER_REPLY_CARRIER_FREQUENCY>(kTowerOk);
      reply.Frequency = Low(s.carrierFrequency);
      return Bytes(reply);
    }
    case TOWER_REQ_GET_CARRIER_DUTY_CYCLE:
      return dutyReply(false);
    case TOWER_REQ_SET_CARRIER_DUTY_CYCLE:
      return dutyReply(true);
    case TOWER_REQ_GET_CAPS: {
      auto reply = Make<TOWER_REPLY_CAPS>(kTowerOk);
      if (wValue == kCapsLink) {
        reply.Byte4 = TOWER_LINK_VLL | TOWER_LINK_IR | TOWER_LINK_IRC;  // link modes
        reply.Byte5 = 0x07;                                             // ranges 1..3, bit r-1
        reply.Word6 = 0x00FF;                                           // transmit speed codes
        reply.Word8 = 0x00FF;                                           // receive speed codes
        reply.Byte10 = static_cast<uint8_t>(kReceivePacket);            // IN packet
        reply.Byte11 = 8;                                               // OUT packet
        reply.Word12 = receiveCapacity;                                 // receive queue, bytes
        reply.Word14 = kIrcMaxPacketSize;
        reply.Byte16 = static_cast<uint8_t>(s.leds.size());
        reply.Byte17 = kDutyCycleSelectors;
      } else if (wValue == kCapsPower) {
        const Settings factory;
        reply.Byte4 = 2;     // configurations
        reply.Byte5 = 0x80;  // bus powered
        reply.Word6 = 100;   // mA, configuration 1
        reply.Word8 = 500;   // mA, configuration 2
        reply.Byte10 = Low(factory.carrierFrequency);
        reply.Byte11 = Low(factory.dutyCycle[0]);
        reply.Word12 = factory.txSpeed;
        reply.Word14 = factory.rxSpeed;
        reply.Byte16 = identity.major;
        reply.Byte17 = identity.minor;
      } else {
        reply.Header.Status = kTowerErrUnknownSelector;
      }
      return Bytes(reply);
    }
    case TOWER_REQ_GET_VERSION: {
      auto reply = Make<TOWER_REPLY_VERSION>(kTowerOk);
      reply.Major = identity.major;
      reply.Minor = identity.minor;
      reply.Build = identity.build;
      return Bytes(reply);
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
