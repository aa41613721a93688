// The tower's firmware as the host sees it through vendor requests: the
// settings it keeps, the counters it reports and the reply record it answers
// every request with. Not thread-safe; TowerModel holds it under its lock.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tower/values.h"
#include "usb/model.h"

namespace sim {

// Status bytes the tower puts in a reply it could not carry out. 0 means done.
inline constexpr uint8_t kTowerOk = 0x00;
inline constexpr uint8_t kTowerErrUnknownParameter = 0x01;  // no parameter with that id
inline constexpr uint8_t kTowerErrBadValue = 0x02;          // value outside what the tower takes
inline constexpr uint8_t kTowerErrUnknownLed = 0x03;        // no LED with that id
inline constexpr uint8_t kTowerErrBadSpeed = 0x04;          // not exactly one speed code bit
inline constexpr uint8_t kTowerErrReadOnly = 0x05;          // the error state cannot be set
inline constexpr uint8_t kTowerErrUnknownSelector = 0x06;   // duty cycle or capability selector

// Duty-cycle selectors 0..kDutyCycleSelectors-1 exist, each with its own value.
inline constexpr uint8_t kDutyCycleSelectors = 4;

// Capability sets (GET_CAPS selector).
inline constexpr uint16_t kCapsLink = 0;   // link modes, ranges, speeds, packet sizes
inline constexpr uint16_t kCapsPower = 1;  // configurations, power, factory settings

// Largest IRC packet the tower takes (IRC parameter 1).
inline constexpr uint8_t kIrcMaxPacketSize = 64;

// What the host can change, at the values the tower leaves the factory with
// (and returns to on RESET and on power-up).
struct Settings {
  uint8_t linkMode = tower::TOWER_LINK_IR;
  uint8_t range = tower::TOWER_RANGE_LONG;
  uint8_t endianness = tower::TOWER_ENDIAN_LITTLE;
  uint8_t ledMode = tower::TOWER_LED_MODE_HARDWARE;
  std::array<uint8_t, 2> leds{tower::TOWER_LED_OFF, tower::TOWER_LED_OFF};
  uint8_t ircPacketSize = 16;
  uint8_t ircTimeFrame = 4;
  // 2400 bps both ways: the rate the controllers listen at when they start.
  uint16_t txSpeed = tower::TOWER_SPEED_2400;
  uint16_t rxSpeed = tower::TOWER_SPEED_2400;
  uint16_t carrierFrequency = 38;  // kHz
  std::array<uint16_t, kDutyCycleSelectors> dutyCycle{50, 50, 50, 50};
};

// Traffic counters, as GET_COMM_STATS reports them (each cut to 16 bits there).
struct CommStats {
  uint32_t transmitted = 0;  // bytes sent over IR
  uint32_t received = 0;     // bytes heard over IR, including those the queue had no room for
  uint32_t delivered = 0;    // IN packets handed to the host
  uint32_t errors = 0;       // bytes dropped for a full queue + OUT transfers that failed
};

// What the tower says about itself; tests may change it.
struct Identity {
  uint8_t major = 2;
  uint8_t minor = 1;
  uint16_t build = 7;
  std::u16string copyright = u"Copyright (C) 2024 Quillmoor Works. All rights reserved.";
  std::u16string credits = u"Tower firmware by the Quillmoor link team";
};

struct Firmware {
  // Answers one vendor request with its whole reply record (header, then
  // payload); nullopt for a request the tower does not know, which it stalls.
  std::optional<std::vector<uint8_t>> Handle(const hk::usb::SetupPacket& setup);

  // Factory settings. Counters, identity and error state stay.
  void FactoryReset() { settings = Settings{}; }

  Settings settings;
  CommStats stats;
  Identity identity;
  uint32_t writeErrors = 0;         // WRITE_ERROR requests received
  uint8_t errorState = 0;           // parameter 4, read-only to the host
  uint16_t receiveCapacity = 4096;  // reported in the link capabilities
};

}  // namespace sim
