#include "commands.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <nlohmann/json.hpp>

#include "tower/values.h"

namespace towerctl {

namespace {

using namespace tower;
using Json = nlohmann::ordered_json;

// Windows' own texts for the errors the library and the platform leave.
const char* SystemMeaning(DWORD error) {
  switch (error) {
    case 0:
      return "The operation completed successfully.";
    case 1:
      return "Incorrect function.";
    case 2:
      return "The system cannot find the file specified.";
    case 3:
      return "The system cannot find the path specified.";
    case 5:
      return "Access is denied.";
    case 6:
      return "The handle is invalid.";
    case 8:
      return "Not enough memory resources are available to process this command.";
    case 21:
      return "The device is not ready.";
    case 23:
      return "Data error (cyclic redundancy check).";
    case 31:
      return "A device attached to the system is not functioning.";
    case 32:
      return "The process cannot access the file because it is being used by another process.";
    case 50:
      return "The request is not supported.";
    case 87:
      return "The parameter is incorrect.";
    case 121:
      return "The semaphore timeout period has expired.";
    case 122:
      return "The data area passed to a system call is too small.";
    case 170:
      return "The requested resource is in use.";
    case 234:
      return "More data is available.";
    case 259:
      return "No more data is available.";
    case 995:
      return "The I/O operation has been aborted because of either a thread exit or an "
             "application request.";
    case 1167:
      return "The device is not connected.";
    case 1450:
      return "Insufficient system resources exist to complete the requested service.";
    case 1460:
      return "This operation returned because the timeout period expired.";
    case 1784:
      return "The supplied user buffer is not valid for the requested operation.";
    default:
      return nullptr;
  }
}

std::string LedName(unsigned state) {
  if (state == TOWER_LED_ON) return "on";
  if (state == TOWER_LED_OFF) return "off";
  return std::to_string(state);
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A whole decimal (or 0x hexadecimal) number, no sign, no trailing text.
bool ParseNumber(const std::string& text, unsigned long* value) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  errno = 0;
  char* end = nullptr;
  *value = std::strtoul(text.c_str(), &end, 0);
  return errno == 0 && end != nullptr && *end == '\0';
}

bool InRange(const std::string& text, unsigned long low, unsigned long high, unsigned long* value) {
  return ParseNumber(text, value) && *value >= low && *value <= high;
}

// A speed in bits per second (300 to 38400) or a speed code ("0x20").
bool ParseSpeed(const std::string& text, unsigned long* code) {
  unsigned long value = 0;
  if (!ParseNumber(text, &value)) return false;
  for (uint16_t bit = TOWER_SPEED_300; bit <= TOWER_SPEED_38400;
       bit = static_cast<uint16_t>(bit << 1))
    if (SpeedCodeToBitRate(bit) == value || (text.rfind("0x", 0) == 0 && value == bit)) {
      *code = bit;
      return true;
    }
  return false;
}

// Splits "a:b:c" into exactly `count` parts.
bool SplitList(const std::string& text, size_t count, std::string* parts) {
  size_t start = 0;
  for (size_t i = 0;; ++i) {
    const size_t end = text.find(':', start);
    if (i == count) return false;
    parts[i] = text.substr(start, end == std::string::npos ? end : end - start);
    if (end == std::string::npos) return i + 1 == count;
    start = end + 1;
  }
}

bool Check(BOOL ok, const std::string& what) {
  if (!ok) ReportLastError(what);
  return ok != FALSE;
}

std::string Printable(const uint8_t* data, size_t length) {
  std::string text;
  for (size_t i = 0; i < length; ++i)
    text += std::isprint(data[i]) ? static_cast<char>(data[i]) : '.';
  return text;
}

std::string Hex(const uint8_t* data, size_t length) {
  std::string text;
  char byte[4];
  for (size_t i = 0; i < length; ++i) {
    std::snprintf(byte, sizeof(byte), i == 0 ? "%02x" : " %02x", data[i]);
    text += byte;
  }
  return text;
}

std::string BytesText(const uint8_t* data, size_t length) {
  return std::to_string(length) + " bytes: \"" + Printable(data, length) + "\" (" +
         Hex(data, length) + ")";
}

void PrintBytes(const char* label, const uint8_t* data, size_t length) {
  std::printf("%s%s\n", label, BytesText(data, length).c_str());
}

Json BytesJson(const uint8_t* data, size_t length) {
  return Json{{"bytes", length}, {"text", Printable(data, length)}, {"hex", Hex(data, length)}};
}

Json StateJson(WORD state) {
  return Json{{"value", state},
              {"present", (state & TOWER_STATE_PRESENT) != 0},
              {"started", (state & TOWER_STATE_STARTED) != 0},
              {"open", (state & TOWER_STATE_OPEN) != 0},
              {"receiving", (state & TOWER_STATE_READER_ACTIVE) != 0}};
}

std::string StateText(WORD state) {
  std::string text = (state & TOWER_STATE_PRESENT) ? "present" : "absent";
  if (state & TOWER_STATE_STARTED) text += ", started";
  if (state & TOWER_STATE_OPEN) text += ", open";
  if (state & TOWER_STATE_READER_ACTIVE) text += ", receiving";
  return text;
}

// The four counters as the tower reports them, in reply order.
Json CountersJson(const QIROTOWER_COMMSTATS& stats) {
  return Json{{"transmitted_bytes", stats.Counter1},
              {"received_bytes", stats.Counter2},
              {"packets_to_host", stats.Counter3},
              {"errors", stats.Counter4}};
}

std::string CountersText(const QIROTOWER_COMMSTATS& stats) {
  char text[160];
  std::snprintf(text, sizeof(text),
                "transmitted %u bytes, received %u bytes, %u packets to the host, %u errors",
                static_cast<unsigned>(stats.Counter1), static_cast<unsigned>(stats.Counter2),
                static_cast<unsigned>(stats.Counter3), static_cast<unsigned>(stats.Counter4));
  return text;
}

void Apply(HANDLE tower, const Setting& s, bool* ok) {
  const std::string& v = s.value;
  const unsigned long* n = s.numbers;
  BOOL done = FALSE;
  if (s.key == "range") {
    done = QIROTowerSetRange(tower, static_cast<WORD>(n[0]));
  } else if (s.key == "link") {
    done = QIROTowerSetLinkMode(tower, static_cast<WORD>(n[0]));
  } else if (s.key == "endian") {
    done = QIROTowerSetEndianness(tower, static_cast<WORD>(n[0]));
  } else if (s.key == "led-mode") {
    done = QIROTowerSetLedMode(tower, static_cast<BYTE>(n[0]));
  } else if (s.key == "led1" || s.key == "led2") {
    done = QIROTowerSetLedState(tower, s.key == "led1" ? TOWER_LED_1 : TOWER_LED_2,
                                static_cast<BYTE>(n[0]));
  } else if (s.key == "carrier") {
    done = QIROTowerSetCarrierFrequency(tower, static_cast<WORD>(n[0]));
  } else if (s.key == "duty") {
    done = QIROTowerSetCarrierDutyCycle(tower, static_cast<WORD>(n[0]), static_cast<WORD>(n[1]));
  } else if (s.key == "irc-packet") {
    done = QIROTowerSetIRCPacketSize(tower, static_cast<BYTE>(n[0]));
  } else if (s.key == "irc-time") {
    done = QIROTowerSetIRCTimeFrame(tower, static_cast<BYTE>(n[0]));
  } else if (s.key == "speed") {
    done = QIROTowerSetIRSpeed(tower, static_cast<WORD>(n[0]), static_cast<WORD>(n[1]));
  } else if (s.key == "timeouts") {
    done = QIROTowerSetTimeouts(tower, static_cast<DWORD>(n[0]), static_cast<DWORD>(n[1]),
                                static_cast<DWORD>(n[2]));
  } else if (s.key == "flush") {
    done = QIROTowerFlush(tower, static_cast<WORD>(n[0]));
  } else if (s.key == "reset") {
    done = QIROTowerReset(tower);
  } else if (s.key == "reset-stats") {
    done = QIROTowerResetCommStats(tower);
  }
  if (!Check(done, "set " + s.key + (v.empty() ? "" : "=" + v))) *ok = false;
}

}  // namespace

const char kSettingsHelp[] =
    "  range=short|medium|long      link=vll|ir|irc        endian=little|big\n"
    "  led-mode=hardware|software   led1=on|off            led2=on|off\n"
    "  carrier=1..255 (kHz)         duty=S:D (selector 0..3, duty 0..100)\n"
    "  irc-packet=1..64 (bytes)     irc-time=1..255\n"
    "  speed=TX[:RX] (bit/s: 300, 600, 1200, 2400, 4800, 9600, 19200, 38400)\n"
    "  timeouts=FIRST:IC:WRITE (ms: first byte, inter-character, write per byte)\n"
    "  flush=tx|rx|both             reset                  reset-stats\n";

std::string ParseSetting(const std::string& text, Setting* s) {
  const size_t eq = text.find('=');
  s->key = Lower(text.substr(0, eq));
  s->value = eq == std::string::npos ? "" : Lower(text.substr(eq + 1));
  if (s->key == "mode") s->key = "link";
  const std::string& v = s->value;
  unsigned long* n = s->numbers;
  auto bad = [&](const char* valid) {
    return "invalid value '" + v + "' for " + s->key + " (valid: " + valid + ")";
  };
  auto choose = [&](std::initializer_list<std::pair<const char*, unsigned long>> names) {
    for (const auto& [name, value] : names)
      if (v == name) {
        n[0] = value;
        return true;
      }
    return false;
  };
  if (s->key == "range")
    return choose({{"short", TOWER_RANGE_SHORT},
                   {"medium", TOWER_RANGE_MEDIUM},
                   {"long", TOWER_RANGE_LONG}})
               ? ""
               : bad("short, medium, long");
  if (s->key == "link")
    return choose({{"vll", TOWER_LINK_VLL}, {"ir", TOWER_LINK_IR}, {"irc", TOWER_LINK_IRC}})
               ? ""
               : bad("vll, ir, irc");
  if (s->key == "endian")
    return choose({{"little", TOWER_ENDIAN_LITTLE}, {"big", TOWER_ENDIAN_BIG}})
               ? ""
               : bad("little, big");
  if (s->key == "led-mode")
    return choose({{"hardware", TOWER_LED_MODE_HARDWARE}, {"software", TOWER_LED_MODE_SOFTWARE}})
               ? ""
               : bad("hardware, software");
  if (s->key == "led1" || s->key == "led2")
    return choose({{"on", TOWER_LED_ON}, {"off", TOWER_LED_OFF}}) ? "" : bad("on, off");
  // The tower reports its carrier frequency in one byte.
  if (s->key == "carrier") return InRange(v, 1, 255, &n[0]) ? "" : bad("1..255 kHz");
  if (s->key == "duty") {
    std::string parts[2];
    return SplitList(v, 2, parts) && InRange(parts[0], 0, 3, &n[0]) &&
                   InRange(parts[1], 0, 100, &n[1])
               ? ""
               : bad("SELECTOR:DUTY, selector 0..3, duty 0..100");
  }
  if (s->key == "irc-packet") return InRange(v, 1, 64, &n[0]) ? "" : bad("1..64 bytes");
  if (s->key == "irc-time") return InRange(v, 1, 255, &n[0]) ? "" : bad("1..255");
  if (s->key == "speed") {
    const size_t colon = v.find(':');
    const std::string rx = colon == std::string::npos ? v : v.substr(colon + 1);
    return ParseSpeed(v.substr(0, colon), &n[0]) && ParseSpeed(rx, &n[1])
               ? ""
               : bad("TX[:RX] in bit/s, each 300, 600, 1200, 2400, 4800, 9600, 19200 or 38400");
  }
  if (s->key == "timeouts") {
    std::string parts[3];
    bool ok = SplitList(v, 3, parts);
    for (int i = 0; ok && i < 3; ++i) ok = InRange(parts[i], 0, 0xFFFFFFFFul, &n[i]);
    return ok ? ""
              : bad("FIRST:IC:WRITE, three numbers of milliseconds: first byte, "
                    "inter-character, write per byte");
  }
  if (s->key == "flush")
    return choose({{"tx", TOWER_FLUSH_TX},
                   {"rx", TOWER_FLUSH_RX},
                   {"both", TOWER_FLUSH_TX | TOWER_FLUSH_RX},
                   {"", TOWER_FLUSH_TX | TOWER_FLUSH_RX}})
               ? ""
               : bad("tx, rx, both");
  if (s->key == "reset" || s->key == "reset-stats")
    return v.empty() ? "" : s->key + " takes no value (got '" + v + "')";
  return "unknown setting '" + s->key +
         "' (valid: range, link, endian, led-mode, led1, led2, carrier, duty, irc-packet, "
         "irc-time, speed, timeouts, flush, reset, reset-stats)";
}

std::string DescribeError(DWORD error) {
  char text[160];
  if (error != 0 && (error & 0xFFFF0000u) == QIROTOWER_ERROR_BASE) {
    std::snprintf(text, sizeof(text), "the tower answered with status %u",
                  static_cast<unsigned>(error & 0xFFFFu));
    return text;
  }
  const char* meaning = SystemMeaning(error);
  return meaning != nullptr ? meaning : "unknown error";
}

void ReportLastError(const std::string& what) {
  const DWORD error = GetLastError();
  std::fprintf(stderr, "towerctl: %s: error %u (0x%08X): %s\n", what.c_str(),
               static_cast<unsigned>(error), static_cast<unsigned>(error),
               DescribeError(error).c_str());
}

HANDLE Session::Open(int n, std::string* path) {
  failure_ = kExitFailure;
  QIROTOWER_FIND* find = QIROTowerFindFirst(QIROTOWER_FIND_PRESENT);
  if (find == nullptr) {
    if (GetLastError() == ERROR_NO_MORE_ITEMS) {
      std::fprintf(stderr, "towerctl: no tower is plugged in\n");
      failure_ = kExitNotFound;
    } else {
      ReportLastError("search for towers");
    }
    return INVALID_HANDLE_VALUE;
  }
  int present = 1;
  for (; present < n; ++present)
    if (!QIROTowerFindNext(find)) break;
  if (present < n) {
    std::fprintf(stderr,
                 "towerctl: there is no tower %d (%d plugged in; 'towerctl list' shows them)\n", n,
                 present);
    QIROTowerFindStop(find);
    failure_ = kExitNotFound;
    return INVALID_HANDLE_VALUE;
  }
  const std::string name = QIROTowerGetPathName(find);
  QIROTowerFindStop(find);
  if (path != nullptr) *path = name;
  if (auto it = open_.find(name); it != open_.end()) return it->second;
  HANDLE tower = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (tower == INVALID_HANDLE_VALUE) {
    ReportLastError("cannot open " + name);
    return INVALID_HANDLE_VALUE;
  }
  open_[name] = tower;
  return tower;
}

void Session::Close(const std::string& path) {
  auto it = open_.find(path);
  if (it == open_.end()) return;
  CloseHandle(it->second);
  open_.erase(it);
}

void Session::CloseAll() {
  for (auto& [path, tower] : open_) CloseHandle(tower);
  open_.clear();
}

int List(const Output& out) {
  Json towers = Json::array();
  QIROTOWER_FIND* find = QIROTowerFindFirst(QIROTOWER_FIND_PRESENT);
  if (find == nullptr && GetLastError() != ERROR_NO_MORE_ITEMS) {
    ReportLastError("search for towers");
    return kExitFailure;
  }
  if (find != nullptr) {
    int n = 1;
    do towers.push_back(Json{{"tower", n++}, {"path", QIROTowerGetPathName(find)}});
    while (QIROTowerFindNext(find));
    QIROTowerFindStop(find);
  }
  if (out.json) {
    Emit(Json{{"towers", towers}});
  } else if (towers.empty()) {
    std::printf("no tower is plugged in\n");
  } else {
    for (const auto& t : towers)
      std::printf("tower %d: %s\n", t["tower"].get<int>(), t["path"].get<std::string>().c_str());
  }
  return kExitOk;
}

int Info(Session& session, int n, const Output& out) {
  std::string path;
  HANDLE tower = session.Open(n, &path);
  if (tower == INVALID_HANDLE_VALUE) return session.Failure();
  Json info{{"tower", n}, {"path", path}};
  int failures = 0;
  auto check = [&](BOOL ok, const char* what) {
    if (!ok) ++failures;
    return Check(ok, what);
  };
  char line[320];
  std::vector<std::string> text;
  auto add = [&](const char* label, const std::string& value) {
    std::snprintf(line, sizeof(line), "  %-17s%s", label, value.c_str());
    text.push_back(line);
  };
  WORD state = 0;
  if (check(QIROTowerGetState(tower, &state), "state")) {
    info["state"] = StateJson(state);
    add("state:", StateText(state));
  }
  QIROTOWER_VERSION version{};
  if (check(QIROTowerGetVersion(tower, &version), "version")) {
    const std::string driver = std::to_string(version.DriverMajor) + "." +
                               std::to_string(version.DriverMinor) + "." +
                               std::to_string(version.DriverBuild);
    const std::string firmware = std::to_string(version.FirmwareMajor) + "." +
                                 std::to_string(version.FirmwareMinor) + "." +
                                 std::to_string(version.FirmwareBuild);
    info["driver_version"] = driver;
    info["firmware_version"] = firmware;
    add("driver:", driver);
    add("firmware:", firmware);
  }
  WORD word = 0;
  if (check(QIROTowerGetRange(tower, &word), "range")) {
    info["range"] = RangeName(word);
    add("range:", RangeName(word));
  }
  if (check(QIROTowerGetLinkMode(tower, &word), "link mode")) {
    info["link"] = LinkName(word);
    add("link mode:", LinkName(word));
  }
  WORD tx = 0, rx = 0;
  if (check(QIROTowerGetIRSpeed(tower, &tx, &rx), "IR speed")) {
    const unsigned txRate = SpeedCodeToBitRate(tx), rxRate = SpeedCodeToBitRate(rx);
    info["speed_bps"] = Json{{"transmit", txRate}, {"receive", rxRate}};
    add("IR speed:", "transmit " + std::to_string(txRate) + " bit/s, receive " +
                         std::to_string(rxRate) + " bit/s");
  }
  DWORD first = 0, inter = 0, write = 0;
  if (check(QIROTowerGetTimeouts(tower, &first, &inter, &write), "timeouts")) {
    info["timeouts_ms"] =
        Json{{"first_byte", first}, {"inter_character", inter}, {"write_per_byte", write}};
    add("timeouts:", "first byte " + std::to_string(first) + " ms, inter-character " +
                         std::to_string(inter) + " ms, write " + std::to_string(write) +
                         " ms per byte");
  }
  BYTE byte = 0;
  if (check(QIROTowerGetLedMode(tower, &byte), "LED mode")) {
    const char* mode = byte == TOWER_LED_MODE_HARDWARE ? "hardware" : "software";
    info["led_mode"] = mode;
    add("LED mode:", mode);
  }
  BYTE led1 = 0, led2 = 0;
  if (check(QIROTowerGetLedState(tower, TOWER_LED_1, &led1), "LED 1") &&
      check(QIROTowerGetLedState(tower, TOWER_LED_2, &led2), "LED 2")) {
    info["leds"] = Json{{"led1", LedName(led1)}, {"led2", LedName(led2)}};
    add("LEDs:", "led1 " + LedName(led1) + ", led2 " + LedName(led2));
  }
  if (check(QIROTowerGetEndianness(tower, &word), "endianness")) {
    const char* endian = word == TOWER_ENDIAN_LITTLE ? "little" : "big";
    info["endian"] = endian;
    add("endianness:", endian);
  }
  if (check(QIROTowerGetCarrierFrequency(tower, &word), "carrier frequency")) {
    info["carrier_khz"] = word;
    add("carrier:", std::to_string(word) + " kHz");
  }
  Json duty = Json::array();
  std::string dutyText;
  for (WORD selector = 0; selector < 4; ++selector) {
    WORD value = 0;
    if (!check(QIROTowerGetCarrierDutyCycle(tower, selector, &value), "duty cycle")) break;
    duty.push_back(value);
    dutyText +=
        (selector == 0 ? "" : ", ") + std::to_string(selector) + ":" + std::to_string(value);
  }
  info["duty_cycle"] = duty;
  add("duty cycle:", dutyText + " (selector:duty)");
  BYTE packet = 0, frame = 0;
  if (check(QIROTowerGetIRCPacketSize(tower, &packet), "IRC packet size") &&
      check(QIROTowerGetIRCTimeFrame(tower, &frame), "IRC time frame")) {
    info["irc"] = Json{{"packet_size_bytes", packet}, {"time_frame", frame}};
    add("IRC:",
        "packet size " + std::to_string(packet) + " bytes, time frame " + std::to_string(frame));
  }
  if (check(QIROTowerGetErrorState(tower, &word), "error state")) {
    info["error_state"] = word;
    add("error state:", std::to_string(word) + (word == 0 ? " (none)" : ""));
  }
  QIROTOWER_COMMSTATS stats{};
  stats.Size = sizeof(stats);
  if (check(QIROTowerGetCommStats(tower, &stats), "counters")) {
    info["counters"] = CountersJson(stats);
    add("counters:", CountersText(stats));
  }
  char buffer[256];
  if (check(QIROTowerGetCopyright(tower, buffer, sizeof(buffer)), "copyright")) {
    info["copyright"] = buffer;
    add("copyright:", buffer);
  }
  if (check(QIROTowerGetCredits(tower, buffer, sizeof(buffer)), "credits")) {
    info["credits"] = buffer;
    add("credits:", buffer);
  }
  if (out.json) {
    Emit(info);
  } else {
    std::printf("tower %d: %s\n", n, path.c_str());
    for (const auto& l : text) std::printf("%s\n", l.c_str());
  }
  return failures == 0 ? kExitOk : kExitFailure;
}

int Set(Session& session, int n, const Args& settings, const Output& out) {
  // Every setting is checked before any is applied: a bad one changes nothing.
  std::vector<Setting> parsed(settings.size());
  int bad = 0;
  for (size_t i = 0; i < settings.size(); ++i) {
    const std::string error = ParseSetting(settings[i], &parsed[i]);
    if (!error.empty()) {
      std::fprintf(stderr, "towerctl: set: %s\n", error.c_str());
      ++bad;
    }
  }
  if (bad != 0) {
    std::fprintf(stderr, "towerctl: nothing was changed; 'towerctl set --help' lists the keys\n");
    return kExitUsage;
  }
  HANDLE tower = session.Open(n);
  if (tower == INVALID_HANDLE_VALUE) return session.Failure();
  bool ok = true;
  Json applied = Json::array();
  for (const auto& s : parsed) {
    Apply(tower, s, &ok);
    if (!ok) break;
    applied.push_back(s.value.empty() ? s.key : s.key + "=" + s.value);
  }
  if (out.json) Emit(Json{{"tower", n}, {"applied", applied}, {"ok", ok}});
  // Every open of a tower gives it the stored range and link mode again.
  bool linkSettings = false;
  for (const auto& s : parsed) linkSettings = linkSettings || s.key == "range" || s.key == "link";
  if (ok && linkSettings && out.oneShot)
    std::fprintf(stderr,
                 "towerctl: note: a tower takes the stored range and link mode again each time "
                 "it is opened (every towerctl command opens it); to keep them, use 'towerctl "
                 "defaults set', or 'towerctl shell'\n");
  return ok ? kExitOk : kExitFailure;
}

int Send(Session& session, int n, const std::vector<uint8_t>& bytes, const Output& out) {
  HANDLE tower = session.Open(n);
  if (tower == INVALID_HANDLE_VALUE) return session.Failure();
  DWORD written = 0;
  const BOOL ok =
      WriteFile(tower, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  if (out.json)
    Emit(Json{{"tower", n}, {"sent", BytesJson(bytes.data(), written)}, {"ok", ok != FALSE}});
  else
    PrintBytes("sent ", bytes.data(), written);
  return Check(ok, "write") ? kExitOk : kExitFailure;
}

int Recv(Session& session, int n, unsigned count, long long timeoutMs, const Output& out) {
  HANDLE tower = session.Open(n);
  if (tower == INVALID_HANDLE_VALUE) return session.Failure();
  // A timeout of the caller's own governs this read only.
  DWORD first = 0, inter = 0, write = 0;
  const bool withTimeout = timeoutMs >= 0;
  if (withTimeout) {
    if (!Check(QIROTowerGetTimeouts(tower, &first, &inter, &write), "timeouts"))
      return kExitFailure;
    if (!Check(QIROTowerSetTimeouts(tower, static_cast<DWORD>(timeoutMs), inter, write),
               "set timeouts"))
      return kExitFailure;
  }
  std::vector<uint8_t> buffer(count);
  DWORD read = 0;
  const BOOL ok = ReadFile(tower, buffer.data(), static_cast<DWORD>(count), &read, nullptr);
  if (withTimeout) QIROTowerSetTimeouts(tower, first, inter, write);
  if (!Check(ok, "read")) return kExitFailure;
  if (out.json)
    Emit(Json{{"tower", n}, {"received", BytesJson(buffer.data(), read)}});
  else if (read == 0)
    std::printf("received nothing: no byte arrived before the read timed out\n");
  else
    PrintBytes("received ", buffer.data(), read);
  // Nothing heard is not an error of the command: the JSON and the text say so.
  return kExitOk;
}

namespace {
// The gathered document of a --json demo; a null document when not gathering.
Json gathered;
bool gathering = false;
std::string gatherKey = "result";
}  // namespace

void BeginGathering() {
  gathering = true;
  gathered = Json::object();
}

void Step(const std::string& label, const std::string& text, const Json& value, bool many) {
  if (!gathering) {
    std::printf("%-12s %s\n", (label + ":").c_str(), text.c_str());
  } else if (many) {
    gathered[label + "s"].push_back(value);
  } else {
    gathered[label] = value;
  }
}

void GatherUnder(const std::string& key) { gatherKey = key; }

void Emit(const Json& document) {
  if (gathering)
    gathered[gatherKey] = document;
  else
    std::printf("%s\n", document.dump(2).c_str());
}

void PrintGathered() {
  if (!gathering) return;
  gathering = false;
  std::printf("%s\n", gathered.dump(2).c_str());
  gathered = Json();
}

int Demo(Session& session) {
  QIROTOWER_FIND* find = QIROTowerFindFirst(QIROTOWER_FIND_PRESENT);
  if (find == nullptr) {
    ReportLastError("find a tower");
    return kExitNotFound;
  }
  Step("found", QIROTowerGetPathName(find), QIROTowerGetPathName(find));
  QIROTowerFindStop(find);
  std::string path;
  HANDLE tower = session.Open(1, &path);
  if (tower == INVALID_HANDLE_VALUE) return session.Failure();
  Step("opened", path, path);
  if (!Check(QIROTowerSetRange(tower, TOWER_RANGE_LONG), "set range") ||
      !Check(QIROTowerSetLinkMode(tower, TOWER_LINK_IR), "set link mode"))
    return kExitFailure;
  WORD range = 0, mode = 0, state = 0;
  if (!Check(QIROTowerGetRange(tower, &range), "range") ||
      !Check(QIROTowerGetLinkMode(tower, &mode), "link mode") ||
      !Check(QIROTowerGetState(tower, &state), "state"))
    return kExitFailure;
  Step(
      "settings",
      std::string("range ") + RangeName(range) + ", link mode " + LinkName(mode) + ", state " +
          StateText(state),
      Json{
          {"range", RangeName(range)}, {"link_mode", LinkName(mode)}, {"state", StateJson(state)}});

  const char message[] = "Hello, Zembo";
  const DWORD length = sizeof(message) - 1;
  DWORD written = 0;
  if (!Check(WriteFile(tower, message, length, &written, nullptr), "write")) return kExitFailure;
  const auto* sent = reinterpret_cast<const uint8_t*>(message);
  Step("sent", BytesText(sent, written), BytesJson(sent, written));
  // The answer may come in pieces: read until it is all there or a read
  // comes back empty.
  std::vector<uint8_t> answer;
  uint8_t buffer[64];
  while (answer.size() < length) {
    DWORD read = 0;
    if (!Check(ReadFile(tower, buffer, static_cast<DWORD>(length - answer.size()), &read, nullptr),
               "read"))
      return kExitFailure;
    if (read == 0) break;
    answer.insert(answer.end(), buffer, buffer + read);
  }
  Step("heard", BytesText(answer.data(), answer.size()), BytesJson(answer.data(), answer.size()));

  QIROTOWER_COMMSTATS stats{};
  stats.Size = sizeof(stats);
  if (!Check(QIROTowerGetCommStats(tower, &stats), "counters")) return kExitFailure;
  Step("counters", CountersText(stats), CountersJson(stats));
  if (answer.size() != length || std::memcmp(answer.data(), message, length) != 0) {
    std::fprintf(stderr, "towerctl: the answer differs from the message\n");
    return kExitFailure;
  }
  return kExitOk;
}

const char* RangeName(unsigned range) {
  switch (range) {
    case TOWER_RANGE_SHORT:
      return "short";
    case TOWER_RANGE_MEDIUM:
      return "medium";
    case TOWER_RANGE_LONG:
      return "long";
    default:
      return "unknown";
  }
}

const char* LinkName(unsigned mode) {
  switch (mode) {
    case TOWER_LINK_VLL:
      return "VLL";
    case TOWER_LINK_IR:
      return "IR";
    case TOWER_LINK_IRC:
      return "IRC";
    default:
      return "unknown";
  }
}

}  // namespace towerctl
